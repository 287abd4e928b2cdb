# Packages of what cmake --install puts in place, made by cpack in the build
# folder: a Debian package for the CPU built for (list-exercises_VERSION_ARCH.deb,
# installing into /usr) and a tarball of the same tree for devices without
# dpkg (list-exercises-VERSION-ARCH.tar.gz). Either carries the installed
# check, lib/list-exercises/ptest/run-ptest.

# A toolkit of the system's (of the system root, for a cross build) comes
# from the distribution's packages, which the package then depends on, in
# the names Debian gives them for every CPU (cmake/debian-releases.txt): each
# of the core library and its modules in any of the names that a release
# gives it (from Debian 13 and Ubuntu 24.04 on, those of the 64-bit time
# move). A toolkit of one's own does not: the programs find it by their run
# path, so it must be on the device there.
include("${CMAKE_CURRENT_LIST_DIR}/DebianReleases.cmake")
set(toolkit_packages "")
get_target_property(core_location ${lists_core_library} LOCATION)
get_filename_component(core_location "${core_location}" REALPATH)
set(system_toolkit NO)
foreach(folder IN ITEMS /usr/lib /lib)
    string(FIND "${core_location}" "${CMAKE_SYSROOT}${folder}/" at)
    if(at EQUAL 0)
        set(system_toolkit YES)
    endif()
endforeach()
set(known_packages "")
if(system_toolkit)
    lists_toolkit_packages(qt${LISTS_QT_VERSION} known_packages)
endif()
if(known_packages)
    # The core library at the version built against; a module at its own.
    string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+" core_version "${lists_toolkit_version}")
    string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+" compat_version "${Qt6Core5Compat_VERSION}")
    set(version "${core_version}")
    foreach(alternatives IN LISTS known_packages)
        string(REPLACE "|" " (>= ${version}) | " dependency "${alternatives} (>= ${version})")
        list(APPEND toolkit_packages "${dependency}")
        set(version "${compat_version}")
    endforeach()
elseif(system_toolkit)
    message(STATUS "Package: no Debian package of the Qt ${LISTS_QT_VERSION} toolkit is known: "
        "the package depends on none")
else()
    message(STATUS "Package: the toolkit (${core_location}) is not the system's: the package "
        "depends on no toolkit package, and its programs look for the toolkit where it is here")
endif()
# A sanitizer's runtime, as Debian names its package (libasan.so.8: libasan8).
set(sanitizer_packages "")
string(REPLACE "," ";" sanitizers "${LISTS_SANITIZERS}")
foreach(sanitizer IN LISTS sanitizers)
    set(runtime "")
    if(sanitizer STREQUAL "address")
        set(runtime asan)
    elseif(sanitizer STREQUAL "undefined")
        set(runtime ubsan)
    elseif(sanitizer STREQUAL "thread")
        set(runtime tsan)
    elseif(sanitizer STREQUAL "leak")
        set(runtime lsan)
    endif()
    if(runtime)
        execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=lib${runtime}.so
            OUTPUT_VARIABLE library OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        get_filename_component(library "${library}" REALPATH)
        if(library MATCHES "/lib${runtime}\\.so\\.([0-9]+)")
            list(APPEND sanitizer_packages "lib${runtime}${CMAKE_MATCH_1}")
        endif()
    endif()
endforeach()

set(CPACK_PACKAGE_NAME list-exercises)
set(CPACK_PACKAGE_VENDOR "The list exercises' developers")
set(CPACK_PACKAGE_CONTACT "The list exercises' developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "Seven programs that check the integer lists of a Qt toolkit build, with their check, lib/list-exercises/ptest/run-ptest.")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SYSTEM_NAME "${lists_debian_arch}")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${lists_debian_arch}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${lists_debian_arch}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
foreach(package IN LISTS sanitizer_packages toolkit_packages)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${package}")
endforeach()
# What cpack reads for each kind of package: the tarball holds the tree
# below the prefix (bin, lib), to unpack anywhere; with a multi-config
# generator, the first configuration is packed unless another is named
# (cpack -C Release).
set(pack_config "if(CPACK_GENERATOR STREQUAL \"TGZ\")\n    set(CPACK_PACKAGING_INSTALL_PREFIX \"\")\nendif()\n")
get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
if(multi_config)
    list(GET CMAKE_CONFIGURATION_TYPES 0 first_config)
    string(APPEND pack_config "if(NOT CPACK_BUILD_CONFIG)\n    set(CPACK_BUILD_CONFIG \"${first_config}\")\nendif()\n")
endif()
file(WRITE "${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake" "${pack_config}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake")
include(CPack)
