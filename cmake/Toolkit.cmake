# Finds the Qt toolkit of major version LISTS_QT_VERSION and sets
# lists_core_library (the core module's target), lists_linked_list_library
# (what the linked list takes besides it, if anything) and
# lists_toolkit_version (the version found).
#
# A toolkit may be named: CMAKE_PREFIX_PATH (as a variable or in the
# environment), or Qt5_DIR or Qt6_DIR in the environment; a Qt 4 by its
# qmake, QT_QMAKE_EXECUTABLE (as a variable or in the environment), as
# FindQt4 takes it. A named toolkit is the one to check, so the toolkit found
# must lie within what was named (for Qt 4: be the one its qmake describes);
# where it does not (a mistyped prefix, and the system's toolkit found
# instead), configuring fails rather than quietly checking another toolkit.
#
# A Qt 4 that is not named is the one of the system root (Ubuntu 18.04's
# root holds Qt 4.8.7 beside Qt 5: the qt4 presets build against it).

# Qt 4: which qmake describes it. One named with -DQT_QMAKE_EXECUTABLE stays
# in the cache, as whatever is set so does; this file also keeps its choice
# there for FindQt4, so it tells the two apart by remembering its own.
set(qmake "")
set(qmake_named "")
if(LISTS_QT_VERSION EQUAL 4)
    if(QT_QMAKE_EXECUTABLE AND NOT QT_QMAKE_EXECUTABLE MATCHES "-NOTFOUND$"
            AND (LISTS_QMAKE_FROM STREQUAL "variable" OR NOT QT_QMAKE_EXECUTABLE STREQUAL LISTS_QMAKE_CHOSEN))
        set(qmake "${QT_QMAKE_EXECUTABLE}")
        set(qmake_from variable)
        set(qmake_named "QT_QMAKE_EXECUTABLE=${qmake}")
    elseif(NOT "$ENV{QT_QMAKE_EXECUTABLE}" STREQUAL "")
        set(qmake "$ENV{QT_QMAKE_EXECUTABLE}")
        set(qmake_from environment)
        set(qmake_named "QT_QMAKE_EXECUTABLE=${qmake} (environment)")
    elseif(CMAKE_SYSROOT)
        # The Qt 4 of the system root (Ubuntu 18.04's): its qmake is a
        # program of the root's, run as the root's programs are.
        set(qmake_from root)
        set(root_qmake "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/qt4/bin/qmake")
        if(NOT EXISTS "${root_qmake}")
            message(FATAL_ERROR "No Qt 4 to build against: none is named, and the system root "
                "${CMAKE_SYSROOT} holds none (the roots of Ubuntu 18.04, bionic, do: the qt4 presets). "
                "Or name the qmake of a Qt 4 of your own (QT_QMAKE_EXECUTABLE).")
        endif()
        set(qmake "${CMAKE_BINARY_DIR}/qt4-qmake")
        set(run_qmake "")
        foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR root_qmake)
            string(APPEND run_qmake "'${word}' ")
        endforeach()
        file(WRITE "${qmake}" "#!/bin/sh\nexec ${run_qmake}\"$@\"\n")
        file(CHMOD "${qmake}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
            WORLD_READ WORLD_EXECUTE)
    else()
        message(FATAL_ERROR "No Qt 4 to build against: none is named. The qt4 presets build against "
            "the Qt 4 of Ubuntu 18.04's root; or name the qmake of a Qt 4 of your own (QT_QMAKE_EXECUTABLE).")
    endif()
elseif(NOT "$ENV{QT_QMAKE_EXECUTABLE}" STREQUAL "")
    message(FATAL_ERROR "QT_QMAKE_EXECUTABLE=$ENV{QT_QMAKE_EXECUTABLE} (environment) names a Qt 4, which "
        "this build (LISTS_QT_VERSION ${LISTS_QT_VERSION}) does not use: nothing else is checked in its "
        "place. Name a Qt ${LISTS_QT_VERSION} through CMAKE_PREFIX_PATH or Qt${LISTS_QT_VERSION}_DIR.")
endif()

# find_package keeps where it found the toolkit in the cache and does not look
# again (FindQt4 means to where its qmake changes, but keeps some of what it
# found). Where the toolkit is named anew, or Qt 4's qmake is another, forget
# what was found, so that a build folder never goes on checking the toolkit
# it was first given.
set(toolkit_naming "${CMAKE_PREFIX_PATH}|$ENV{CMAKE_PREFIX_PATH}|$ENV{Qt5_DIR}|$ENV{Qt6_DIR}|${qmake_named}")
set(look_again NO)
if(DEFINED LISTS_TOOLKIT_NAMING AND NOT LISTS_TOOLKIT_NAMING STREQUAL toolkit_naming)
    message(STATUS "The toolkit is named anew: looking for it again")
    set(look_again YES)
elseif(qmake AND DEFINED LISTS_QMAKE_CHOSEN AND NOT qmake STREQUAL LISTS_QMAKE_CHOSEN)
    message(STATUS "Qt 4's qmake is now ${qmake}: looking for Qt 4 again")
    set(look_again YES)
endif()
if(look_again)
    get_property(cached_variables DIRECTORY PROPERTY CACHE_VARIABLES)
    foreach(variable IN LISTS cached_variables)
        if(variable MATCHES "^Qt[56].*_DIR$|^QT_|^Q_WS_")
            unset(${variable} CACHE)
        endif()
    endforeach()
endif()
set(LISTS_TOOLKIT_NAMING "${toolkit_naming}" CACHE INTERNAL "How the toolkit was named when it was found")
if(qmake)
    set(LISTS_QMAKE_CHOSEN "${qmake}" CACHE INTERNAL "The qmake given to FindQt4")
    set(LISTS_QMAKE_FROM "${qmake_from}" CACHE INTERNAL "Where that qmake came from")
    set(QT_QMAKE_EXECUTABLE "${qmake}" CACHE FILEPATH "The qmake of the Qt 4 to build against" FORCE)
endif()

# What was named, as the user wrote it (for messages), and the folders the
# toolkit found must lie within.
set(named "")
set(named_folders "")
if(CMAKE_PREFIX_PATH)
    list(JOIN CMAKE_PREFIX_PATH ";" prefixes)
    list(APPEND named "CMAKE_PREFIX_PATH=${prefixes}")
    list(APPEND named_folders ${CMAKE_PREFIX_PATH})
endif()
if(NOT "$ENV{CMAKE_PREFIX_PATH}" STREQUAL "")
    list(APPEND named "CMAKE_PREFIX_PATH=$ENV{CMAKE_PREFIX_PATH} (environment)")
    string(REPLACE ":" ";" prefixes "$ENV{CMAKE_PREFIX_PATH}")
    list(APPEND named_folders ${prefixes})
endif()
foreach(variable IN ITEMS Qt5_DIR Qt6_DIR)
    if(NOT "$ENV{${variable}}" STREQUAL "")
        list(APPEND named "${variable}=$ENV{${variable}} (environment)")
        # A package folder, PREFIX/lib/cmake/Qt5: its module folders are its
        # siblings.
        get_filename_component(packages_folder "$ENV{${variable}}/.." ABSOLUTE)
        list(APPEND named_folders "${packages_folder}")
    endif()
endforeach()
if(qmake_named)
    list(APPEND named "${qmake_named}")
endif()
list(JOIN named ", " named_text)

if(LISTS_QT_VERSION EQUAL 4)
    # FindQt4, which CMake still ships, with the qmake chosen above; QtCore
    # holds the linked list too.
    if(named)
        find_package(Qt4 4.8 COMPONENTS QtCore)
    else()
        find_package(Qt4 4.8 REQUIRED COMPONENTS QtCore)
    endif()
    # Where that qmake was not a Qt 4's, FindQt4 looks for another by other
    # names: keep the choice in the cache, whatever it did.
    set(found_qmake "${QT_QMAKE_EXECUTABLE}")
    set(QT_QMAKE_EXECUTABLE "${qmake}" CACHE FILEPATH "The qmake of the Qt 4 to build against" FORCE)
    set(found_library "${QT_QTCORE_LIBRARY_RELEASE}")
    if(NOT found_library)
        set(found_library "${QT_QTCORE_LIBRARY_DEBUG}")
    endif()
    if(named)
        set(sought "The toolkit named (${named_text})")
    else()
        set(sought "The Qt 4 of the system root (${root_qmake})")
    endif()
    if(NOT Qt4_FOUND OR NOT TARGET Qt4::QtCore)
        message(FATAL_ERROR "${sought} was not found: no Qt 4 with its core module there. "
            "Nothing else is checked in its place.")
    endif()
    get_filename_component(found_qmake_real "${found_qmake}" REALPATH)
    get_filename_component(qmake_real "${qmake}" REALPATH)
    if(NOT found_qmake_real STREQUAL qmake_real)
        message(FATAL_ERROR "${sought} was not found: the Qt 4 found instead is the one of "
            "${found_qmake}. Nothing else is checked in its place: name the qmake of your Qt 4, "
            "or name none to check the system root's.")
    endif()
    # The Qt 4 found is the one that qmake describes; what else was named
    # must hold it.
    set(found_folders "${found_qmake}" "${found_library}")
    set(lists_core_library Qt4::QtCore)
    set(lists_toolkit_version "${QT_VERSION_MAJOR}.${QT_VERSION_MINOR}.${QT_VERSION_PATCH}")
    set(lists_linked_list_library "")
else()
    set(modules Core)
    if(LISTS_QT_VERSION EQUAL 6)
        # Qt 6 keeps the linked list in its Qt 5 compatibility module.
        list(APPEND modules Core5Compat)
    endif()
    # The versioned targets, which every Qt 5 and 6 release provides.
    if(named)
        find_package(Qt${LISTS_QT_VERSION} COMPONENTS ${modules})
    else()
        find_package(Qt${LISTS_QT_VERSION} REQUIRED COMPONENTS ${modules})
    endif()
    set(found_folders "")
    foreach(module IN LISTS modules)
        set(found_folder "${Qt${LISTS_QT_VERSION}${module}_DIR}")
        if(named AND (NOT Qt${LISTS_QT_VERSION}${module}_FOUND OR NOT found_folder))
            message(FATAL_ERROR "The toolkit named (${named_text}) was not found: "
                "no Qt ${LISTS_QT_VERSION} ${module} module there. Nothing else is checked in its place.")
        endif()
        list(APPEND found_folders "${found_folder}")
    endforeach()
    set(lists_core_library Qt${LISTS_QT_VERSION}::Core)
    set(lists_toolkit_version "${Qt${LISTS_QT_VERSION}Core_VERSION}")
    set(lists_linked_list_library "")
    if(LISTS_QT_VERSION EQUAL 6)
        set(lists_linked_list_library Qt6::Core5Compat)
    endif()
endif()

if(named_folders)
    # Under a system root, find_package also looks for a named prefix within it.
    set(rooted_folders ${named_folders})
    foreach(root IN LISTS CMAKE_SYSROOT CMAKE_FIND_ROOT_PATH)
        foreach(folder IN LISTS named_folders)
            list(APPEND rooted_folders "${root}${folder}")
        endforeach()
    endforeach()
    set(outside "")
    foreach(found_folder IN LISTS found_folders)
        get_filename_component(found_real "${found_folder}" REALPATH)
        set(within NO)
        foreach(folder IN LISTS rooted_folders)
            get_filename_component(folder_real "${folder}" REALPATH)
            string(FIND "${found_real}/" "${folder_real}/" at)
            if(at EQUAL 0)
                set(within YES)
            endif()
        endforeach()
        if(NOT within)
            list(APPEND outside "${found_folder}")
        endif()
    endforeach()
    if(outside)
        list(JOIN outside ", " outside_text)
        if(LISTS_QT_VERSION EQUAL 4)
            set(advice "name the qmake of your Qt 4 (QT_QMAKE_EXECUTABLE), and only folders that "
                "hold it, or name none to check the system root's")
        else()
            set(advice "name the folder that holds your toolkit, or name none to check the system's")
        endif()
        message(FATAL_ERROR "The toolkit named (${named_text}) was not found: "
            "the Qt ${LISTS_QT_VERSION} found instead is outside it (${outside_text}). "
            "Nothing else is checked in its place: " ${advice} ".")
    endif()
endif()

