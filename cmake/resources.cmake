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

# Fonts: the Open Sans faces the window registers, from Debian's fonts-open-sans,
# into Resources/font. Its bold face also serves as "ondo-bold.ttf".
set(CASTMILL_FONT_SOURCE_DIR /usr/share/fonts/truetype/open-sans CACHE PATH
    "Folder holding the Open Sans TrueType files")
set(CASTMILL_FONT_COPIES
    OpenSans-Regular.ttf=OpenSans-Regular.ttf
    OpenSans-Bold.ttf=OpenSans-Bold.ttf
    OpenSans-ExtraBold.ttf=OpenSans-ExtraBold.ttf
    OpenSans-Semibold.ttf=OpenSans-Semibold.ttf
    OpenSans-Light.ttf=OpenSans-Light.ttf
    OpenSans-Bold.ttf=ondo-bold.ttf)
set(FONT_OUTPUTS)
foreach(copy ${CASTMILL_FONT_COPIES})
    string(REPLACE "=" ";" pair ${copy})
    list(GET pair 0 source_name)
    list(GET pair 1 target_name)
    set(source ${CASTMILL_FONT_SOURCE_DIR}/${source_name})
    if(NOT EXISTS ${source})
        message(FATAL_ERROR "Font ${source} is missing: install fonts-open-sans "
            "(scripts/bootstrap) or set CASTMILL_FONT_SOURCE_DIR")
    endif()
    add_custom_command(OUTPUT ${CASTMILL_RESOURCES_DIR}/font/${target_name}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source}
            ${CASTMILL_RESOURCES_DIR}/font/${target_name}
        DEPENDS ${source})
    list(APPEND FONT_OUTPUTS ${CASTMILL_RESOURCES_DIR}/font/${target_name})
endforeach()
add_custom_target(castmill_fonts ALL DEPENDS ${FONT_OUTPUTS})
add_dependencies(castmill_resources castmill_fonts)
