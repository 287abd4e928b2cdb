# Finds the Qt toolkit of major version LISTS_QT_VERSION and sets
# lists_core_library (the core module's target) and lists_linked_list_library
# (what the linked list takes besides it, if anything) and
# lists_toolkit_version (the version found).
#
# A toolkit may be named: CMAKE_PREFIX_PATH (as a variable or in the
# environment), or Qt5_DIR or Qt6_DIR in the environment. A named toolkit is
# the one to check, so the toolkit found must lie within what was named;
# where it does not (a mistyped prefix, and the system's toolkit found
# instead), configuring fails rather than quietly checking another toolkit.

# find_package keeps where it found the toolkit in the cache and does not look
# again. Where the toolkit is named anew, forget what was found, so that a
# build folder never goes on checking the toolkit it was first given.
set(toolkit_naming "${CMAKE_PREFIX_PATH}|$ENV{CMAKE_PREFIX_PATH}|$ENV{Qt5_DIR}|$ENV{Qt6_DIR}")
if(DEFINED LISTS_TOOLKIT_NAMING AND NOT LISTS_TOOLKIT_NAMING STREQUAL toolkit_naming)
    message(STATUS "The toolkit is named anew: looking for it again")
    get_property(cached_variables DIRECTORY PROPERTY CACHE_VARIABLES)
    foreach(variable IN LISTS cached_variables)
        if(variable MATCHES "^Qt[56].*_DIR$")
            unset(${variable} CACHE)
        endif()
    endforeach()
endif()
set(LISTS_TOOLKIT_NAMING "${toolkit_naming}" CACHE INTERNAL "How the toolkit was named when it was found")

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

if(named)
    list(JOIN named ", " named_text)
    # Under a system root, find_package also looks for a named prefix within it.
    set(rooted_folders ${named_folders})
    foreach(root IN LISTS CMAKE_SYSROOT CMAKE_FIND_ROOT_PATH)
        foreach(folder IN LISTS named_folders)
            list(APPEND rooted_folders "${root}${folder}")
        endforeach()
    endforeach()
    set(outside "")
    foreach(module IN LISTS modules)
        set(found_folder "${Qt${LISTS_QT_VERSION}${module}_DIR}")
        if(NOT Qt${LISTS_QT_VERSION}${module}_FOUND OR NOT found_folder)
            message(FATAL_ERROR "The toolkit named (${named_text}) was not found: "
                "no Qt ${LISTS_QT_VERSION} ${module} module there. Nothing else is checked in its place.")
        endif()
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
        message(FATAL_ERROR "The toolkit named (${named_text}) was not found: "
            "the Qt ${LISTS_QT_VERSION} found instead is outside it (${outside_text}). "
            "Nothing else is checked in its place: name the folder that holds your "
            "toolkit, or name none to check the system's.")
    endif()
endif()

set(lists_core_library Qt${LISTS_QT_VERSION}::Core)
set(lists_toolkit_version "${Qt${LISTS_QT_VERSION}Core_VERSION}")
set(lists_linked_list_library "")
if(LISTS_QT_VERSION EQUAL 6)
    set(lists_linked_list_library Qt6::Core5Compat)
endif()
