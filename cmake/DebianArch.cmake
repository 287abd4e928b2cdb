# Sets lists_debian_arch: the CPU built for, in Debian's words, which names
# the Debian package that cpack makes. It is the one a
# cross build is for, else the one the compiler's library folder names, else
# this machine's.
set(lists_debian_arch "${LISTS_DEBIAN_ARCH}")
if(NOT lists_debian_arch AND CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(
        COMMAND dpkg-architecture -t "${CMAKE_LIBRARY_ARCHITECTURE}" -q DEB_HOST_ARCH
        OUTPUT_VARIABLE lists_debian_arch OUTPUT_STRIP_TRAILING_WHITESPACE
        # (It warns that this machine's compiler is not for that CPU.)
        ERROR_QUIET RESULT_VARIABLE failed)
    if(failed)
        set(lists_debian_arch "")
    endif()
endif()
if(NOT lists_debian_arch)
    execute_process(COMMAND dpkg --print-architecture
        OUTPUT_VARIABLE lists_debian_arch OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET RESULT_VARIABLE failed)
    if(failed OR NOT lists_debian_arch)
        set(lists_debian_arch "${CMAKE_SYSTEM_PROCESSOR}")
    endif()
endif()
