# What `cmake --install` and the packages hold: setup with its Resources folder, and the
# vendor's tools. Test programs, distserver, the benchmarks and draw_resources stay in the
# build tree. Included after every target is defined.
install(TARGETS setup RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool publish logkey releasekey)
    if(TARGET ${tool})
        install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# The same content cmake/resources.cmake copies beside the executable in the build tree,
# taken from the sources and the font package rather than from bin/Resources, which may
# hold files since removed from resources/. setup looks beside itself first, then here.
if(DEFINED CASTMILL_FONT_COPIES)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/
        DESTINATION ${CASTMILL_INSTALL_RESOURCESDIR} PATTERN .keep EXCLUDE)
    foreach(copy ${CASTMILL_FONT_COPIES})
        string(REPLACE "=" ";" pair ${copy})
        list(GET pair 0 source_name)
        list(GET pair 1 target_name)
        install(FILES ${CASTMILL_FONT_SOURCE_DIR}/${source_name}
            DESTINATION ${CASTMILL_INSTALL_RESOURCESDIR}/font RENAME ${target_name})
    endforeach()
endif()
