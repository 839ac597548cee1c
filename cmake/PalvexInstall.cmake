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

# pkg-config files that find the installed tree from their own place (${pcfiledir}), so that
# the tree works wherever it is installed or moved to: palvex (the shared library) and
# palvex-media (the media classes, which brings palvex along).
# An absolute CMAKE_INSTALL_LIBDIR or CMAKE_INSTALL_INCLUDEDIR is used as given.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PALVEX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(PALVEX_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(PALVEX_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(PALVEX_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
foreach(pc palvex palvex-media)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
