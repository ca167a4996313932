# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threads variant),
# linked statically so the programs need no MinGW runtime DLLs. The libraries come
# from scripts/windows-deps; CASTMILL_WINDOWS_DEPS names its cache folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CASTMILL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CASTMILL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CASTMILL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CASTMILL_MINGW_TRIPLE}-windres)

if(DEFINED ENV{CASTMILL_WINDOWS_DEPS})
    set(CASTMILL_WINDOWS_DEPS_DEFAULT $ENV{CASTMILL_WINDOWS_DEPS})
else()
    get_filename_component(CASTMILL_WINDOWS_DEPS_DEFAULT
        ${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps ABSOLUTE)
endif()
set(CASTMILL_WINDOWS_DEPS ${CASTMILL_WINDOWS_DEPS_DEFAULT} CACHE PATH
    "Cache folder of scripts/windows-deps")
set(CASTMILL_WINDOWS_PREFIX ${CASTMILL_WINDOWS_DEPS}/install)

# Qt for mingw sits in its own folder of the cache (scripts/windows-deps); its moc, rcc
# and uic are the host's, of the same version.
set(CMAKE_FIND_ROOT_PATH /usr/${CASTMILL_MINGW_TRIPLE} ${CASTMILL_WINDOWS_PREFIX}
    ${CASTMILL_WINDOWS_PREFIX}/qt6)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

# pkg-config sees only the cross libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${CASTMILL_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
