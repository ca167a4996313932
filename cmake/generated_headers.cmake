# Headers written at configure time into build/<preset>/generated, seen by every target
# defined after this file is included: project()'s version, so that it is set in one place.
set(CASTMILL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

configure_file(${CMAKE_CURRENT_LIST_DIR}/castmill_version.h.in
    ${CASTMILL_GENERATED_DIR}/castmill_version.h @ONLY)

# Directory-wide rather than per target: the engine, the window, the tools, the tests and
# the fuzz targets all include app/defaults.h.
include_directories(${CASTMILL_GENERATED_DIR})
