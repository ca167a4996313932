# Packages of what cmake/install.cmake installs: a .deb and a portable .tar.gz with the same
# bin/ and share/ layout (setup finds share/castmill-setup/Resources from bin/).
#   cmake --build build/default --target package     (or cpack in the build folder)
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

include(CPack)
