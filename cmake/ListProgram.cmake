# add_list_program(<name> [LIBRARIES <target>...])
#
# Builds <name>/main.cpp into the executable <name>, linked against Qt::Core
# and any LIBRARIES, installs it, and registers one test per reference case
# found in <name>/reference/ (a case is the files <case>.stdout, .stderr and
# .ending, with an optional .stdin and .redirect; see tests/check-outcome).
function(add_list_program name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBRARIES")
    set(dir "${CMAKE_CURRENT_SOURCE_DIR}/${name}")

    add_executable(${name} "${dir}/main.cpp")
    target_link_libraries(${name} PRIVATE Qt::Core ${arg_LIBRARIES})
    target_compile_features(${name} PRIVATE cxx_std_17)
    target_compile_options(${name} PRIVATE
        -Wall -Wextra
        # A failed check names its source file; it must read plain main.cpp,
        # not the absolute path the build hands to the compiler.
        "-fmacro-prefix-map=${dir}/="
        # The checks are what these programs are for: keep them live even in
        # build types whose flags define NDEBUG (this comes after those flags).
        -UNDEBUG)
    install(TARGETS ${name})

    file(GLOB endings CONFIGURE_DEPENDS "${dir}/reference/*.ending")
    foreach(ending IN LISTS endings)
        get_filename_component(case "${ending}" NAME_WLE)
        add_test(NAME ${name}.${case}
            COMMAND "${PROJECT_SOURCE_DIR}/tests/check-outcome"
                    $<TARGET_FILE:${name}> "${dir}/reference/${case}")
        set_tests_properties(${name}.${case} PROPERTIES LABELS reference TIMEOUT 30)
    endforeach()
endfunction()
