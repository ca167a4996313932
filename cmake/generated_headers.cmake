# Headers written at configure time into build/<preset>/generated/layout, seen by every target
# defined after this file is included: project()'s version, so that it is set in one
# place, and the installed layout, so that an installed setup finds its Resources.
include(GNUInstallDirs)

set(CASTMILL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# Where `cmake --install` and the packages put the Resources folder, and the same place
# seen from the installed executable's folder (bin/../share/castmill-setup/Resources).
set(CASTMILL_INSTALL_RESOURCESDIR ${CMAKE_INSTALL_DATADIR}/castmill-setup/Resources)
file(RELATIVE_PATH CASTMILL_RESOURCES_FROM_BINDIR
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/castmill-setup/Resources)

configure_file(${CMAKE_CURRENT_LIST_DIR}/castmill_version.h.in
    ${CASTMILL_GENERATED_DIR}/layout/castmill_version.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/castmill_install_layout.h.in
    ${CASTMILL_GENERATED_DIR}/layout/castmill_install_layout.h @ONLY)

# Directory-wide rather than per target: the engine, the window, the tools, the tests and
# the fuzz targets all include layout/defaults.h. The headers belong to the layout layer.
include_directories(${CASTMILL_GENERATED_DIR})
