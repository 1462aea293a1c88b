# The Debian package (cpack -G DEB in the build tree): both libraries, the headers, the CMake and
# pkg-config files, tarn with its manual page and completion. dpkg-shlibdeps finds the Depends.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tarn)
set(CPACK_PACKAGE_CONTACT "Tarn maintainers <tarn@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Zephyrcastle appliance web client and contactless card-reader client")
set(CPACK_PACKAGE_DESCRIPTION
    "Two C libraries, TarnWebCom (sign-in, job-log, user-list and proxy-settings transfers with the
print-management appliance) and TarnIccr (card identifiers from a contactless reader on a serial
port), their headers, CMake and pkg-config files, and the command-line host tarn.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/deb)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for the two libraries, and the ldconfig trigger on install and removal.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "man-db, bash-completion")
set(CPACK_STRIP_FILES ON)
include(CPack)
