# The Debian package: `cpack -G DEB` in the build folder (or `cmake --build build --target package`)
# makes corvina_<version>_<arch>.deb from the install rules above, installed under /usr.

# Runtime packages of Debian 12 for every library the programs link, the windows' Qt modules
# included. The install test checks that each library an installed program needs belongs to one
# of them.
set(CORVINA_DEB_DEPENDS
    "libc6 (>= 2.36)"
    "libstdc++6 (>= 12)"
    "libgcc-s1"
    "liblzo2-2"
    "zlib1g"
    "libhidapi-hidraw0"
    "libedf1"
    "libqt6core6 (>= 6.4)"
    "libqt6gui6 (>= 6.4)"
    "libqt6widgets6 (>= 6.4)"
    "libqt6charts6 (>= 6.4)"
    "libqt6printsupport6 (>= 6.4)"
    "libqt6dbus6 (>= 6.4)"
    "libqt6svg6 (>= 6.4)"
    "qt6-qpa-plugins (>= 6.4)")
list(JOIN CORVINA_DEB_DEPENDS ", " deb_depends)

set(CORVINA_PACKAGE_MAINTAINER "Onyx Corvina developers <corvina@onyx.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvina)
set(CPACK_PACKAGE_VENDOR Onyx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CORVINA_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "finger photoplethysmograph: live pulse wave, recording and analyses")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${deb_depends})
# The summary above is the description's first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Corvina works with the Kestrel-9 USB finger photoplethysmograph: live pulse
wave with automatic LED and gain regulation, live heart rate, recording to
record files, review with fragment selection, heart rate, heart rate
variability and pulse wave contour analyses, a diagnosis database, a printed
report, text export and unattended recording from the command line.
.
The package also holds corvina-tool for batch work on records and the udev
rule that gives the user at the seat access to the device.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Source packages are not made here.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
