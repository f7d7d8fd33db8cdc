# What `cpack` makes of an installed build: on Linux a Debian package of
# everything cmake/Install.cmake installs, under /usr; on Windows a zip of the
# tool and a short text on its use, for a technician to unpack and run.
set(CPACK_PACKAGE_NAME ${ZUL_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZUL Tools <zul-tools@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware download tool for B4K devices on USB serial ports")
set(CPACK_PACKAGE_DESCRIPTION
    "Download_ZUL_Console programs a firmware file (.ctf) into a B4K device
attached through a USB serial port, logging every step, so that a factory
script can follow a run through a log, a progress file and the exit status.
.
The package also holds zul-station, which programs every B4K plugged into the
machine, several at once, one Download_ZUL_Console run per USB socket;
b4k-sim, a simulated B4K device on a pseudo-terminal; ctf-gen, which writes
firmware files for trying things; and a udev rule that gives the dialout
group the B4K's port and keeps ModemManager away from it.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    install(TARGETS Download_ZUL_Console RUNTIME DESTINATION .)
    configure_file(packaging/windows/README.txt ${PROJECT_BINARY_DIR}/README.txt @ONLY
                   NEWLINE_STYLE WIN32)
    install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ${ZUL_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
    set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst
                                           ${PROJECT_SOURCE_DIR}/packaging/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
