# Installs the command runner as a CMake package (find_package(CorvantisShell)
# with the target Corvantis::shell) and with a pkg-config file (corvantis-shell).
# Only the command runner and the part of the platform layer it stands on are
# installed; the installer application is not a library.
if(NOT TARGET shell)
  return()
endif()

include(CMakePackageConfigHelpers)

set(CORVANTIS_SHELL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CorvantisShell)

# Installed library files get project-specific names so they never clash.
set_target_properties(platform_system PROPERTIES EXPORT_NAME platform_system
  OUTPUT_NAME corvantis-platform-system)
set_target_properties(shell PROPERTIES EXPORT_NAME shell OUTPUT_NAME corvantis-shell)

install(TARGETS shell platform_system
  EXPORT CorvantisShellTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/shell/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/shell
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/system/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform/system
  FILES_MATCHING PATTERN "*.h")
install(EXPORT CorvantisShellTargets
  NAMESPACE Corvantis::
  DESTINATION ${CORVANTIS_SHELL_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/CorvantisShellConfig.cmake.in
  ${PROJECT_BINARY_DIR}/CorvantisShellConfig.cmake
  INSTALL_DESTINATION ${CORVANTIS_SHELL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CorvantisShellConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CorvantisShellConfig.cmake
  ${PROJECT_BINARY_DIR}/CorvantisShellConfigVersion.cmake
  DESTINATION ${CORVANTIS_SHELL_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/corvantis-shell.pc.in
  ${PROJECT_BINARY_DIR}/corvantis-shell.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/corvantis-shell.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
