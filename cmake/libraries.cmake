# The libraries below the window and what they share, for the product's build
# and for the fuzz targets' own (fuzz/), which links them as the program does.
get_filename_component(RUDIREZE_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# Each library shows only its own folder's headers (a link in the build tree
# named after the folder), so including another subsystem's header fails to
# compile unless the library links that subsystem.
function(rudireze_expose_headers target folder)
    set(root ${PROJECT_BINARY_DIR}/include/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${RUDIREZE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE ${root})
    else()
        target_include_directories(${target} PUBLIC ${root})
    endif()
endfunction()

add_library(rudireze_common INTERFACE)
rudireze_expose_headers(rudireze_common common)
target_link_libraries(rudireze_common INTERFACE Qt5::Core)
add_library(rudireze_core INTERFACE)

foreach(folder platform discovery firmware upload)
    add_subdirectory(${RUDIREZE_SOURCE_DIR}/${folder} ${PROJECT_BINARY_DIR}/${folder})
endforeach()
