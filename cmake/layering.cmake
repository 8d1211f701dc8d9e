# The folders' layering, held by the build. Each folder is a target that exposes only its own
# headers, under the folder's name: a consumer writes #include "util/utils.h" and sees nothing of
# a folder whose target it does not link, so an include that crosses the layering the wrong way
# fails to compile.
#
#   expose_folder(<target>)   from the folder's own CMakeLists.txt
#
# The target's include folder is ${CMAKE_BINARY_DIR}/include/<folder>, which holds one symbolic
# link, <folder>, to the source folder.
function(expose_folder target)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set(include_dir ${CMAKE_BINARY_DIR}/include/${folder})
    file(MAKE_DIRECTORY ${include_dir})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E create_symlink ${CMAKE_CURRENT_SOURCE_DIR}
                ${include_dir}/${folder}
        RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot link ${include_dir}/${folder} to ${CMAKE_CURRENT_SOURCE_DIR}")
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE ${include_dir})
    else()
        target_include_directories(${target} PUBLIC ${include_dir})
    endif()
endfunction()

#   expose_headers(<target> <header>...)   an INTERFACE target that exposes only these headers
#
# For a folder whose consumers may see a few of its headers and nothing else: the target's include
# folder holds <folder>/<header> links to the named headers alone.
function(expose_headers target)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set(include_dir ${CMAKE_BINARY_DIR}/include/${target})
    file(MAKE_DIRECTORY ${include_dir}/${folder})
    foreach(header ${ARGN})
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E create_symlink ${CMAKE_CURRENT_SOURCE_DIR}/${header}
                    ${include_dir}/${folder}/${header}
            RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "cannot link ${include_dir}/${folder}/${header}")
        endif()
    endforeach()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${include_dir})
endfunction()
