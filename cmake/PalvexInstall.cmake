include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS palvex palvex_media EXPORT palvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/palvex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT palvexTargets NAMESPACE palvex:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/palvex)
configure_package_config_file(cmake/palvexConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/palvexConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/palvex)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/palvexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/palvexConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/palvexConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/palvex)
configure_file(cmake/palvex.pc.in ${CMAKE_CURRENT_BINARY_DIR}/palvex.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/palvex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
