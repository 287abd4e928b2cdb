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
    set_toolkit_run_path(${name})
    install(TARGETS ${name})
    set_property(GLOBAL APPEND PROPERTY LIST_PROGRAMS ${name})
    set_property(GLOBAL PROPERTY LIST_PROGRAM_DIR_${name} "${dir}")
    if(BUILD_TESTING)
        add_reference_cases(${name} ${name} "${dir}")
        # The installed check (see device/run-ptest) runs the same cases.
        install(DIRECTORY "${dir}/reference/" DESTINATION "${LISTS_PTEST_DIR}/reference/${name}")
    endif()
endfunction()

# Where the installed check goes, as Yocto's ptest has it: the package's
# folder under lib, whatever the system's library folder is called.
set(LISTS_PTEST_DIR lib/list-exercises/ptest)

# The toolkit's library folders that lie within the source or build tree (a
# toolkit unpacked into the cache folder), outside any system root: CMake
# never takes those into an install run path by itself.
set(lists_toolkit_run_path "")
foreach(library IN LISTS lists_core_library lists_linked_list_library)
    get_target_property(location ${library} LOCATION)
    if(NOT location)
        continue()
    endif()
    get_filename_component(folder "${location}" DIRECTORY)
    set(in_root -1)
    if(CMAKE_SYSROOT)
        string(FIND "${folder}/" "${CMAKE_SYSROOT}/" in_root)
    endif()
    foreach(tree IN ITEMS "${PROJECT_SOURCE_DIR}" "${PROJECT_BINARY_DIR}")
        string(FIND "${folder}/" "${tree}/" in_tree)
        if(in_tree EQUAL 0 AND NOT in_root EQUAL 0)
            list(APPEND lists_toolkit_run_path "${folder}")
        endif()
    endforeach()
endforeach()
list(REMOVE_DUPLICATES lists_toolkit_run_path)

# set_toolkit_run_path(<target>)
#
# An installed program must go on loading the toolkit it was built and
# tested against, also where that toolkit lies outside the system's own
# library paths (for those, CMake adds no run path). The copy in the build
# tree is linked with that same run path: a run path that CMake would
# rewrite when installing, it pads at the end with ':', an empty entry with
# which the loader also searches the folder the program is started from.
function(set_toolkit_run_path target)
    set_target_properties(${target} PROPERTIES
        INSTALL_RPATH_USE_LINK_PATH TRUE
        BUILD_WITH_INSTALL_RPATH TRUE
        INSTALL_RPATH "${lists_toolkit_run_path}")
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

# How this build's programs are run: directly, or for another CPU under
# CMAKE_CROSSCOMPILING_EMULATOR, kept as a list of words (a path in it may
# hold spaces). qemu-user given a system root but not told of it would look
# for the programs' loader on this machine: it is told with -L. A build for
# a device runs them there instead, over ssh (test.sh PRESET --device).
option(LISTS_ON_DEVICE "Run the tests' programs on a device over ssh (test.sh PRESET --device)" OFF)
set(LISTS_RUNNER ${CMAKE_CROSSCOMPILING_EMULATOR})
if(LISTS_ON_DEVICE)
    set(LISTS_RUNNER "${PROJECT_SOURCE_DIR}/scripts/lib/run-on-device")
elseif(CMAKE_SYSROOT AND LISTS_RUNNER)
    list(GET LISTS_RUNNER 0 emulator)
    get_filename_component(emulator "${emulator}" NAME)
    if(emulator MATCHES "^qemu-" AND NOT "-L" IN_LIST LISTS_RUNNER)
        list(APPEND LISTS_RUNNER -L "${CMAKE_SYSROOT}")
    endif()
endif()

# How the tests check a case: check-outcome, with the build's own reader of a
# program's wait status (device/wait_status), which runs as the programs run
# (under the emulator too). A device build's runner runs only programs sent to
# the device, so there the shell's status is all there is.
set(lists_check_outcome "${PROJECT_SOURCE_DIR}/device/check-outcome")
if(NOT LISTS_ON_DEVICE)
    list(APPEND lists_check_outcome --wait-status $<TARGET_FILE:wait_status>)
endif()

# add_program_test(<name> COMMAND <command>... PROGRAM <target>)
#
# Registers a test that runs <command> with, as its last arguments, how to
# run the program <target>: LISTS_RUNNER's words, then the program's path.
# The test scripts take those last words as the command that runs the
# program, and the words before the program's path as the emulator.
function(add_program_test name)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "PROGRAM" "COMMAND")
    add_test(NAME ${name} COMMAND ${arg_COMMAND} ${LISTS_RUNNER} $<TARGET_FILE:${arg_PROGRAM}>)
endfunction()

# add_reference_cases(<test prefix> <target> <dir>)
#
# Registers a test <test prefix>.<case> that runs <target> for each case in
# <dir>/reference/: the files <case>.stdout, .stderr and .ending, with an
# optional .stdin and .redirect (see device/check-outcome).
function(add_reference_cases prefix target dir)
    file(GLOB endings CONFIGURE_DEPENDS "${dir}/reference/*.ending")
    foreach(ending IN LISTS endings)
        get_filename_component(case "${ending}" NAME_WLE)
        add_program_test(${prefix}.${case}
            COMMAND ${lists_check_outcome} "${dir}/reference/${case}"
            PROGRAM ${target})
        # A case that cannot be set up on this machine (no /dev/full) is
        # skipped, not passed.
        set_tests_properties(${prefix}.${case} PROPERTIES LABELS reference TIMEOUT 30
            SKIP_RETURN_CODE 77)
    endforeach()
endfunction()
