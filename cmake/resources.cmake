# Copies the Resources folder beside the executable, with the fonts taken from
# the system's Open Sans package.
set(CASTMILL_RESOURCES_DIR ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/Resources)
file(GLOB_RECURSE RESOURCE_FILES CONFIGURE_DEPENDS
    RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/resources ${CMAKE_CURRENT_SOURCE_DIR}/resources/*)
set(RESOURCE_OUTPUTS)
foreach(res ${RESOURCE_FILES})
    add_custom_command(OUTPUT ${CASTMILL_RESOURCES_DIR}/${res}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different
            ${CMAKE_CURRENT_SOURCE_DIR}/resources/${res} ${CASTMILL_RESOURCES_DIR}/${res}
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/resources/${res})
    list(APPEND RESOURCE_OUTPUTS ${CASTMILL_RESOURCES_DIR}/${res})
endforeach()
add_custom_target(castmill_resources ALL DEPENDS ${RESOURCE_OUTPUTS})
add_dependencies(setup castmill_resources)
