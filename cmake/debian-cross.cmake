# Builds for another CPU on a Debian or Ubuntu machine: with Debian's cross
# compiler for it (crossbuild-essential-ARCH) and its libraries from multiarch
# (dpkg --add-architecture ARCH, then qtbase5-dev:ARCH). LISTS_DEBIAN_ARCH
# names the CPU as Debian does (arm64, armhf, ppc64el, i386, ...); dpkg tells
# its GNU triplet and library folder. Where this machine cannot run that
# CPU's programs itself, the tests run them under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT LISTS_DEBIAN_ARCH)
    message(FATAL_ERROR "Set LISTS_DEBIAN_ARCH to the Debian architecture to build for (arm64, armhf, ...)")
endif()
# Builds that CMake makes to test the compiler read this file too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LISTS_DEBIAN_ARCH)

# What dpkg knows of that CPU, and of this machine: in its words, the CPU
# built for is the host, and the machine building is the build.
foreach(variable IN ITEMS HOST_GNU_TYPE HOST_GNU_CPU HOST_MULTIARCH BUILD_ARCH)
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
set(CMAKE_CXX_COMPILER ${HOST_GNU_TYPE}-g++)
# Where find_package looks for that CPU's toolkit.
set(CMAKE_LIBRARY_ARCHITECTURE ${HOST_MULTIARCH})

if(NOT LISTS_DEBIAN_ARCH STREQUAL BUILD_ARCH
        AND NOT (BUILD_ARCH STREQUAL "amd64" AND LISTS_DEBIAN_ARCH STREQUAL "i386"))
    # qemu names most CPUs as GNU does; these not.
    set(qemu_cpu ${HOST_GNU_CPU})
    if(HOST_GNU_CPU MATCHES "^i[3-6]86$")
        set(qemu_cpu i386)
    elseif(HOST_GNU_CPU STREQUAL "powerpc64le")
        set(qemu_cpu ppc64le)
    elseif(HOST_GNU_CPU STREQUAL "powerpc64")
        set(qemu_cpu ppc64)
    elseif(HOST_GNU_CPU STREQUAL "powerpc")
        set(qemu_cpu ppc)
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu_cpu})
endif()
