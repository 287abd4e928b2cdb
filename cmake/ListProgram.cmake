# add_list_program(<name> [LIBRARIES <target>...])
#
# Builds <name>/main.cpp into the executable <name>, linked against the
# toolkit's core module and any LIBRARIES, and installs it. With BUILD_TESTING
# on, it registers one test per reference case found in <name>/reference/
# (see add_reference_cases). The program's name is added to the global
# property LIST_PROGRAMS, for the tests' other builds of it.
function(add_list_program name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBRARIES")
    set(dir "${CMAKE_CURRENT_SOURCE_DIR}/${name}")

    add_executable(${name} "${dir}/main.cpp")
    target_link_libraries(${name} PRIVATE ${lists_core_library} ${arg_LIBRARIES})
    set_list_program_options(${name} "${dir}")
    # An installed program must go on loading the toolkit it was built and
    # tested against, also where that toolkit lies outside the system's own
    # library paths (for those, CMake adds no run path). CMake leaves out
    # folders within the project's own, where a fetched toolkit is (in
    # build/cache): name its folder itself.
    set_target_properties(${name} PROPERTIES INSTALL_RPATH_USE_LINK_PATH TRUE)
    if(lists_toolkit_library_dir AND NOT lists_toolkit_library_dir IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES
            AND NOT lists_toolkit_library_dir IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES)
        set_property(TARGET ${name} APPEND PROPERTY INSTALL_RPATH "${lists_toolkit_library_dir}")
    endif()
    install(TARGETS ${name})
    set_property(GLOBAL APPEND PROPERTY LIST_PROGRAMS ${name})
    set_property(GLOBAL PROPERTY LIST_PROGRAM_DIR_${name} "${dir}")
    if(BUILD_TESTING)
        add_reference_cases(${name} ${name} "${dir}")
    endif()
endfunction()

# set_list_program_options(<target> <dir>)
#
# What every build of a program's main.cpp, in <dir>, needs.
function(set_list_program_options target dir)
    target_compile_features(${target} PRIVATE cxx_std_17)
    # A failed check names its source file; it must read plain main.cpp, not
    # the path the build hands to the compiler. That path is absolute, unless
    # a compiler launcher rewrites it relative to the compiling folder (as
    # ccache does with base_dir): the top build folder, or the target's own.
    set(source_prefixes "${dir}")
    foreach(compiling_dir IN ITEMS "${CMAKE_BINARY_DIR}" "${CMAKE_CURRENT_BINARY_DIR}")
        file(RELATIVE_PATH relative_dir "${compiling_dir}" "${dir}")
        list(APPEND source_prefixes "${relative_dir}")
    endforeach()
    list(REMOVE_DUPLICATES source_prefixes)
    list(TRANSFORM source_prefixes REPLACE "(.+)" "-fmacro-prefix-map=\\1/=")
    target_compile_options(${target} PRIVATE
        -Wall -Wextra
        ${source_prefixes}
        # The checks are what these programs are for: keep them live even in
        # build types whose flags define NDEBUG (this comes after those flags).
        -UNDEBUG)
    # From 3.24 on, CMake turns warnings into errors itself.
    if(CMAKE_COMPILE_WARNING_AS_ERROR AND CMAKE_VERSION VERSION_LESS 3.24)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(LISTS_SANITIZERS)
        # Any finding ends the run with a report, rather than being let pass.
        set(sanitize -fsanitize=${LISTS_SANITIZERS} -fno-sanitize-recover=all)
        target_compile_options(${target} PRIVATE ${sanitize} -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE ${sanitize})
    endif()
endfunction()

# add_program_test(<name> <command>...)
#
# Registers a test whose command runs a program of this build. Where the
# build is for another CPU, the test scripts run every program through the
# emulator, which they find in LISTS_EMULATOR.
function(add_program_test name)
    add_test(NAME ${name} COMMAND ${ARGN})
    if(CMAKE_CROSSCOMPILING_EMULATOR)
        string(JOIN " " emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
        set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "LISTS_EMULATOR=${emulator}")
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
        add_program_test(${prefix}.${case}
            "${PROJECT_SOURCE_DIR}/tests/check-outcome"
            $<TARGET_FILE:${target}> "${dir}/reference/${case}")
        set_tests_properties(${prefix}.${case} PROPERTIES LABELS reference TIMEOUT 30)
    endforeach()
endfunction()
