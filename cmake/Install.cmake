# The installed tree: the plug-in with its two libraries, zrsnap, the headers, a
# CMake package and a pkg-config file for agent builders, the manual page, the
# boot-time clean-up unit and the documentation.
include(CMakePackageConfigHelpers)

set(ZR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestrelSnap)
# Relative to the prefix; CPack installs it under /usr.
set(ZR_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit goes, relative to the prefix")

# Only libzrplatform is exported for linking: it is all an agent needs.
install(TARGETS zrplatform EXPORT KestrelSnapTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS flrsnapos kestrelsnap LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zrsnap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zrsnap)

install(EXPORT KestrelSnapTargets NAMESPACE KestrelSnap:: DESTINATION ${ZR_CMAKE_DIR})
configure_package_config_file(cmake/KestrelSnapConfig.cmake.in ${PROJECT_BINARY_DIR}/KestrelSnapConfig.cmake
                              INSTALL_DESTINATION ${ZR_CMAKE_DIR} PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrelSnapConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrelSnapConfig.cmake ${PROJECT_BINARY_DIR}/KestrelSnapConfigVersion.cmake
        DESTINATION ${ZR_CMAKE_DIR})

set(ZR_INSTALL_TIME_DIR ${PROJECT_BINARY_DIR}/install-time)
install(CODE "set(ZR_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
set(ZR_OUTPUT_DIR \"${ZR_INSTALL_TIME_DIR}\")
set(PROJECT_VERSION \"${PROJECT_VERSION}\")
set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
set(CMAKE_INSTALL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT cmake/InstallTimeFiles.cmake)
install(FILES ${ZR_INSTALL_TIME_DIR}/kestrelsnap.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${ZR_INSTALL_TIME_DIR}/zrsnap-cleanup.service DESTINATION ${ZR_SYSTEMD_UNIT_DIR})

# The manual page, compressed as Debian ships them (no name or time stamp inside).
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/zrsnap.1.gz
                   COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/zrsnap.1 ${PROJECT_BINARY_DIR}/man/zrsnap.1
                   COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/zrsnap.1
                   DEPENDS packaging/zrsnap.1 VERBATIM)
add_custom_target(manpage ALL DEPENDS ${PROJECT_BINARY_DIR}/man/zrsnap.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/man/zrsnap.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/CMakeLists.txt examples/agent.cpp examples/SimSetup.h examples/SimSetup.cpp DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
