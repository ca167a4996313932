# Packages of what cmake/install.cmake installs: a .deb and a portable .tar.gz with the same
# bin/ and share/ layout (setup finds share/castmill-setup/Resources from bin/).
#   cmake --preset release -DCASTMILL_RELEASE_PUBLIC_KEY=<vendor key>
#   cmake --build --preset release && cpack --config build/release/CPackConfig.cmake
# A test build (no key, the test key, environment overrides) is refused unless cpack is
# given -D CASTMILL_PACKAGE_TEST_BUILD=ON.
set(CASTMILL_PACKAGE_CONTACT "Castmill Setup developers <setup@castmill.tv>" CACHE STRING
    "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME castmill-setup)
set(CPACK_PACKAGE_VENDOR Castmill)
set(CPACK_PACKAGE_CONTACT ${CASTMILL_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Installer and in-place updater of the Castmill live-streaming suite")
set(CPACK_PACKAGE_DESCRIPTION
    "setup installs the Castmill desktop live-streaming suite and updates its modules in \
place from a signed release: resumable downloads, files held by running programs, \
rollback on failure, desktop integration and event reports. Also holds the vendor's \
release tools publish, releasekey and logkey.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://web.castmill.tv")
# The version comes from project().
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB TGZ)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(CASTMILL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(CASTMILL_DPKG_SHLIBDEPS)
if(CASTMILL_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    # Debian 12's runtime packages of what setup and the tools link; the fonts are bundled.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6, libcurl4, libminizip1, libsodium23, zlib1g")
endif()

# What makes this build unsafe to ship: no key (unsigned releases install), the public test
# key (anyone can sign), or services the environment can redirect.
file(STRINGS ${PROJECT_SOURCE_DIR}/tests/keys/release_test.pub CASTMILL_TEST_PUBLIC_KEY LIMIT_COUNT 1)
set(CASTMILL_PACKAGE_UNSAFE "")
if(CASTMILL_RELEASE_PUBLIC_KEY STREQUAL "")
    list(APPEND CASTMILL_PACKAGE_UNSAFE "it pins no release key")
elseif(CASTMILL_TEST_PUBLIC_KEY IN_LIST CASTMILL_RELEASE_PUBLIC_KEY)
    list(APPEND CASTMILL_PACKAGE_UNSAFE "it pins the public test key")
endif()
if(CASTMILL_ENV_OVERRIDES)
    list(APPEND CASTMILL_PACKAGE_UNSAFE "the environment can redirect its services")
endif()
list(JOIN CASTMILL_PACKAGE_UNSAFE ", " CASTMILL_PACKAGE_UNSAFE)
configure_file(${PROJECT_SOURCE_DIR}/cmake/package_check.cmake.in
    ${CMAKE_BINARY_DIR}/CPackPackageCheck.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackPackageCheck.cmake)

include(CPack)
