# `cpack -G DEB` in the build folder makes zrsnap_<version>_<arch>.deb: the
# installed tree under /usr, the boot-time clean-up unit enabled on install.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zrsnap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zrsnap developers <zrsnap@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "snapshot manager plug-in for Linux backup agents")
set(CPACK_PACKAGE_DESCRIPTION
    "A backup agent loads libkestrelsnap.so to take a point-in-time snapshot of every volume\n"
    "(LVM logical volumes, GPFS file systems and filesets) that holds a job's content, mounts\n"
    "each read-only and removes them all at the end of the job or, after a crash, at boot.\n"
    "Includes the zrsnap command, the headers, a CMake package and a pkg-config file.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installs run with DESTDIR, so CMAKE_INSTALL_PREFIX is /usr while the files
# that name absolute paths (the unit, the .pc file) are made.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libmount, the C++ runtime and the C library, from what the binaries link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS lvm2)
# Agents that build against the headers need Boost's.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libboost-dev (>= 1.74)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
