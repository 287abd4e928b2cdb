# Builds for another CPU, or for this one in another Debian release, with
# Debian's cross compiler for it and a system root of that CPU's and
# release's Debian packages, so that nothing of the other CPU or release is
# installed into this machine. LISTS_DEBIAN_ARCH names the CPU as Debian does
# (s390x, arm64, armhf, i386, amd64, ...), LISTS_DEBIAN_SUITE the release its
# packages come from (the presets name both); dpkg tells the CPU's GNU
# triplet and library folder. LISTS_SYSROOT names the root's folder, as the
# command that made it hands it on (scripts/build-preset, for test.sh and
# run.sh; by hand, what scripts/make-sysroot SUITE ARCH prints): this file
# runs none of the project's commands. The tests run the programs in the
# root, under qemu-user: also where the root is of this machine's own CPU
# but of another release, for run directly they would take this machine's
# loader and libraries.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT LISTS_DEBIAN_ARCH)
    message(FATAL_ERROR "Set LISTS_DEBIAN_ARCH to the Debian architecture to build for (arm64, s390x, ...)")
endif()
if(NOT LISTS_DEBIAN_SUITE)
    message(FATAL_ERROR "Set LISTS_DEBIAN_SUITE to the release whose packages the system root holds "
        "(bookworm, trixie, jammy, ...; the cross presets name it)")
endif()
# Builds that CMake makes to test the compiler read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LISTS_DEBIAN_ARCH LISTS_DEBIAN_SUITE LISTS_SYSROOT)

if(NOT LISTS_SYSROOT)
    message(FATAL_ERROR "No system root named for the ${LISTS_DEBIAN_SUITE} ${LISTS_DEBIAN_ARCH} build "
        "(LISTS_SYSROOT): ./test.sh PRESET and ./run.sh PRESET make it and name it; by hand, "
        "scripts/make-sysroot ${LISTS_DEBIAN_SUITE} ${LISTS_DEBIAN_ARCH} makes it and prints its folder, "
        "to name as -DLISTS_SYSROOT=FOLDER")
endif()
if(NOT EXISTS "${LISTS_SYSROOT}/usr/include")
    message(FATAL_ERROR "No system root for ${LISTS_DEBIAN_ARCH} at ${LISTS_SYSROOT}: make it with "
        "scripts/make-sysroot ${LISTS_DEBIAN_SUITE} ${LISTS_DEBIAN_ARCH} (run.sh and test.sh do), "
        "and name the folder it prints with LISTS_SYSROOT")
endif()
# A root without Qt 6 would fail further on, and less clearly.
if(LISTS_QT_VERSION EQUAL 6)
    file(GLOB qt6_compat_headers "${LISTS_SYSROOT}/usr/include/*/qt6/QtCore5Compat")
    if(NOT qt6_compat_headers)
        message(FATAL_ERROR "The system root ${LISTS_SYSROOT} holds no Qt 6 (one made before roots held "
            "it, or of a release without it): scripts/make-sysroot ${LISTS_DEBIAN_SUITE} "
            "${LISTS_DEBIAN_ARCH} makes one that does (run.sh and test.sh run it)")
    endif()
endif()
set(CMAKE_SYSROOT "${LISTS_SYSROOT}")

# What dpkg knows of that CPU: in its words, the CPU built for is the host.
foreach(variable IN ITEMS HOST_GNU_TYPE HOST_GNU_CPU HOST_MULTIARCH)
    execute_process(
        COMMAND dpkg-architecture --host-arch "${LISTS_DEBIAN_ARCH}" --query DEB_${variable}
        OUTPUT_VARIABLE ${variable} OUTPUT_STRIP_TRAILING_WHITESPACE
        # It warns that the host's compiler is not for that CPU; of course not.
        ERROR_QUIET
        RESULT_VARIABLE failed)
    if(failed OR NOT ${variable})
        message(FATAL_ERROR "dpkg-architecture (packages dpkg and dpkg-dev) cannot tell DEB_${variable} for '${LISTS_DEBIAN_ARCH}'")
    endif()
endforeach()

set(CMAKE_SYSTEM_PROCESSOR ${HOST_GNU_CPU})
# Debian 12 has riscv64's cross compiler only under its version's name.
find_program(cross_compiler NAMES ${HOST_GNU_TYPE}-g++ ${HOST_GNU_TYPE}-g++-14 ${HOST_GNU_TYPE}-g++-13 ${HOST_GNU_TYPE}-g++-12
    NO_CMAKE_FIND_ROOT_PATH)
if(NOT cross_compiler)
    message(FATAL_ERROR "No C++ cross compiler for ${LISTS_DEBIAN_ARCH} (${HOST_GNU_TYPE}-g++): "
        "install crossbuild-essential-${LISTS_DEBIAN_ARCH} (or g++-12-${HOST_GNU_TYPE})")
endif()
set(CMAKE_CXX_COMPILER "${cross_compiler}")
# Where find_package looks for that CPU's toolkit: in the root only.
set(CMAKE_LIBRARY_ARCHITECTURE ${HOST_MULTIARCH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The cross compiler searches its own copy of the C and C++ libraries before
# the root's; where the root's release is newer, its toolkit needs the
# root's (the C++ library's link is in the folder of the root's compiler).
file(GLOB root_compiler_folders "${CMAKE_SYSROOT}/usr/lib/gcc/${HOST_GNU_TYPE}/*")
set(root_libraries "")
foreach(folder IN LISTS root_compiler_folders ITEMS "${CMAKE_SYSROOT}/lib/${HOST_MULTIARCH}" "${CMAKE_SYSROOT}/usr/lib/${HOST_MULTIARCH}")
    string(APPEND root_libraries " -L${folder} -Wl,-rpath-link,${folder}")
endforeach()
# A root of an older release than the compiler's (bullseye's, with GCC 10's
# C++ library, under GCC 12) needs its own C++ headers, for the compiler's
# newer ones call functions that the older library lacks
# (__throw_bad_array_new_length), and its own start-up files, for those of a
# newer C library leave an older one's static constructors unrun.
execute_process(COMMAND "${cross_compiler}" -dumpversion
    OUTPUT_VARIABLE compiler_major OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "\\..*" "" compiler_major "${compiler_major}")
file(GLOB root_cxx_versions RELATIVE "${CMAKE_SYSROOT}/usr/include/c++" "${CMAKE_SYSROOT}/usr/include/c++/*")
list(FILTER root_cxx_versions INCLUDE REGEX "^[0-9]+$")
list(SORT root_cxx_versions COMPARE NATURAL ORDER DESCENDING)
set(root_cxx_major "")
if(root_cxx_versions)
    list(GET root_cxx_versions 0 root_cxx_major)
endif()
if(root_cxx_major AND compiler_major AND root_cxx_major LESS compiler_major)
    set(root_cxx "${CMAKE_SYSROOT}/usr/include/c++/${root_cxx_major}")
    set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${root_cxx} -isystem ${CMAKE_SYSROOT}/usr/include/${HOST_MULTIARCH}/c++/${root_cxx_major} -isystem ${root_cxx}/backward")
    string(APPEND root_libraries " -B${CMAKE_SYSROOT}/usr/lib/${HOST_MULTIARCH}")
endif()
foreach(kind IN ITEMS EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "${root_libraries}")
endforeach()
# A build folder keeps what it found in the root it was first configured
# against (these link flags, the toolkit's folders): one configured against
# another root (LISTS_SYSROOT changed, or a root of an older name) would mix
# the two, so it is to be configured afresh.
get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT in_try_compile AND DEFINED CACHE{CMAKE_EXE_LINKER_FLAGS})
    string(FIND "${CMAKE_EXE_LINKER_FLAGS} " "-L${CMAKE_SYSROOT}/" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "This build folder was configured against another system root than "
            "${CMAKE_SYSROOT}: configure it afresh (cmake --fresh, or remove the folder)")
    endif()
endif()

# The programs run in the root: under qemu-user, also for this machine's own
# CPU (a root of another release), so that the root's loader loads the root's
# libraries.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/debian-cpus.txt" cpu_row REGEX "^${LISTS_DEBIAN_ARCH}[ \t]")
if(NOT cpu_row MATCHES "^[^ \t]+[ \t]+([^ \t]+)")
    message(FATAL_ERROR "cmake/debian-cpus.txt does not name qemu's CPU for ${LISTS_DEBIAN_ARCH}")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_MATCH_1} -L "${CMAKE_SYSROOT}")
