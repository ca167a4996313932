# Compiles through ccache when it is installed: CI runs on the developers' machine and
# shares its cache. A packager's build can turn it off with -DCASTMILL_USE_CCACHE=OFF.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
    set(castmill_ccache_default ON)
else()
    set(castmill_ccache_default OFF)
endif()
option(CASTMILL_USE_CCACHE "Compile through ccache" ${castmill_ccache_default})

# A launcher given on the command line wins.
if(CASTMILL_USE_CCACHE AND NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER)
    if(CCACHE_PROGRAM)
        set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
        set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
    else()
        message(WARNING "CASTMILL_USE_CCACHE is ON but ccache was not found; compiling without it")
    endif()
endif()
