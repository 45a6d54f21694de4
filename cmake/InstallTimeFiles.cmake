# SPDX-License-Identifier: Apache-2.0
# Runs at install time, where the prefix is final (cmake --install --prefix, or
# CPack's /usr), so the files that must name absolute paths get the right ones.
# Set by the install(CODE) before it: ZR_SOURCE_DIR, ZR_OUTPUT_DIR, PROJECT_VERSION,
# CMAKE_INSTALL_LIBDIR, ZR_INSTALL_PRIVATE_LIBDIR, CMAKE_INSTALL_INCLUDEDIR,
# CMAKE_INSTALL_SBINDIR.
set(ZR_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
configure_file("${ZR_SOURCE_DIR}/cmake/kestrelsnap.pc.in" "${ZR_OUTPUT_DIR}/kestrelsnap.pc" @ONLY)
configure_file("${ZR_SOURCE_DIR}/packaging/zrsnap-cleanup.service.in" "${ZR_OUTPUT_DIR}/zrsnap-cleanup.service" @ONLY)
