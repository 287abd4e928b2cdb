# add_list_program(<name> [LIBRARIES <target>...])
#
# Builds <name>/main.cpp into the executable <name>, linked against Qt::Core
# and any LIBRARIES, installs it, and registers one test per reference case
# found in <name>/reference/ (see add_reference_cases). The program's name is
# added to the global property LIST_PROGRAMS, for builds of it against other
# lists.
function(add_list_program name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBRARIES")
    set(dir "${CMAKE_CURRENT_SOURCE_DIR}/${name}")

    add_executable(${name} "${dir}/main.cpp")
    target_link_libraries(${name} PRIVATE Qt::Core ${arg_LIBRARIES})
    set_list_program_options(${name} "${dir}")
    install(TARGETS ${name})
    add_reference_cases(${name} ${name} "${dir}")
    set_property(GLOBAL APPEND PROPERTY LIST_PROGRAMS ${name})
    set_property(GLOBAL PROPERTY LIST_PROGRAM_DIR_${name} "${dir}")
endfunction()

# set_list_program_options(<target> <dir>)
#
# What every build of a program's main.cpp, in <dir>, needs.
function(set_list_program_options target dir)
    target_compile_features(${target} PRIVATE cxx_std_17)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra
        # A failed check names its source file; it must read plain main.cpp,
        # not the absolute path the build hands to the compiler.
        "-fmacro-prefix-map=${dir}/="
        # The checks are what these programs are for: keep them live even in
        # build types whose flags define NDEBUG (this comes after those flags).
        -UNDEBUG)
    if(LISTS_SANITIZERS)
        # Any finding ends the run with a report, rather than being let pass.
        set(sanitize -fsanitize=${LISTS_SANITIZERS} -fno-sanitize-recover=all)
        target_compile_options(${target} PRIVATE ${sanitize} -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE ${sanitize})
    endif()
endfunction()

# add_reference_cases(<test prefix> <target> <dir>)
#
# Registers a test <test prefix>.<case> that runs <target> for each case in
# <dir>/reference/: the files <case>.stdout, .stderr and .ending, with an
# optional .stdin and .redirect (see tests/check-outcome).
function(add_reference_cases prefix target dir)
    file(GLOB endings CONFIGURE_DEPENDS "${dir}/reference/*.ending")
    foreach(ending IN LISTS endings)
        get_filename_component(case "${ending}" NAME_WLE)
        add_test(NAME ${prefix}.${case}
            COMMAND "${PROJECT_SOURCE_DIR}/tests/check-outcome"
                    $<TARGET_FILE:${target}> "${dir}/reference/${case}")
        set_tests_properties(${prefix}.${case} PROPERTIES LABELS reference TIMEOUT 30)
    endforeach()
endfunction()
