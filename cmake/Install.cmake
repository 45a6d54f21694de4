# SPDX-License-Identifier: Apache-2.0
# The installed tree: libzrplatform (what agents link) in the library folder; the
# plug-in and libflrsnapos in a private folder below it; zrsnap in sbin/; the
# public headers, a CMake package and a pkg-config file for agent builders; the
# configuration file, the manual pages, the boot-time clean-up unit and the
# documentation. debian/ splits it into zrsnap, libzrplatform1 and zrsnap-dev.
include(CMakePackageConfigHelpers)

set(ZR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestrelSnap)
# Relative to the prefix, or absolute (debian/rules: /lib/systemd/system).
set(ZR_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit goes")

# Only libzrplatform is exported for linking: it is all an agent needs.
install(TARGETS zrplatform EXPORT KestrelSnapTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS flrsnapos kestrelsnap LIBRARY DESTINATION ${ZR_INSTALL_PRIVATE_LIBDIR})
install(TARGETS zrsnap RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# include/ holds the public headers only; internal/ is never installed.
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrsnap)

install(EXPORT KestrelSnapTargets NAMESPACE KestrelSnap:: DESTINATION ${ZR_CMAKE_DIR})
configure_package_config_file(cmake/KestrelSnapConfig.cmake.in ${PROJECT_BINARY_DIR}/KestrelSnapConfig.cmake
                              INSTALL_DESTINATION ${ZR_CMAKE_DIR} PATH_VARS ZR_INSTALL_PRIVATE_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrelSnapConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrelSnapConfig.cmake ${PROJECT_BINARY_DIR}/KestrelSnapConfigVersion.cmake
        DESTINATION ${ZR_CMAKE_DIR})

set(ZR_INSTALL_TIME_DIR ${PROJECT_BINARY_DIR}/install-time)
install(CODE "set(ZR_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
set(ZR_OUTPUT_DIR \"${ZR_INSTALL_TIME_DIR}\")
set(PROJECT_VERSION \"${PROJECT_VERSION}\")
set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(ZR_INSTALL_PRIVATE_LIBDIR \"${ZR_INSTALL_PRIVATE_LIBDIR}\")
set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
set(CMAKE_INSTALL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")")
install(SCRIPT cmake/InstallTimeFiles.cmake)
install(FILES ${ZR_INSTALL_TIME_DIR}/kestrelsnap.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${ZR_INSTALL_TIME_DIR}/zrsnap-cleanup.service DESTINATION ${ZR_SYSTEMD_UNIT_DIR})

# Every key at its default, commented out; a conffile of the Debian package.
install(FILES packaging/agent.ini DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/zrsnap)

# The manual pages, compressed as Debian ships them (no name or time stamp inside).
set(ZR_MAN_PAGES zrsnap.8 agent.ini.5)
foreach(page ${ZR_MAN_PAGES})
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/${page} ${PROJECT_BINARY_DIR}/man/${page}
                     COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${page}
                     DEPENDS packaging/${page} VERBATIM)
  list(APPEND ZR_MAN_GZ ${PROJECT_BINARY_DIR}/man/${page}.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${ZR_MAN_GZ})

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/CMakeLists.txt examples/agent.cpp examples/SimSetup.h examples/SimSetup.cpp DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES packaging/zrsnap.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME zrsnap)
