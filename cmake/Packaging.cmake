# Installs the command runner as a CMake package (find_package(CorvantisShell)
# with the target Corvantis::shell) and with a pkg-config file (corvantis-shell).
# Only the command runner and the part of the platform layer it stands on are
# installed, as the component CorvantisShell; the installer application is not
# a library.
if(NOT TARGET shell)
  return()
endif()

include(CMakePackageConfigHelpers)

set(CORVANTIS_SHELL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CorvantisShell)

# Installed library files get project-specific names so they never clash.
set_target_properties(platform_system PROPERTIES EXPORT_NAME platform_system
  OUTPUT_NAME corvantis-platform-system)
set_target_properties(shell PROPERTIES EXPORT_NAME shell OUTPUT_NAME corvantis-shell)

# The public headers need C++20; users of the package get it with the target.
target_compile_features(shell PUBLIC cxx_std_20)
target_compile_features(platform_system PUBLIC cxx_std_20)

install(TARGETS shell platform_system
  EXPORT CorvantisShellTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT CorvantisShell
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT CorvantisShell)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/shell/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/shell
  COMPONENT CorvantisShell FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/system/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform/system
  COMPONENT CorvantisShell FILES_MATCHING PATTERN "*.h")
install(EXPORT CorvantisShellTargets
  NAMESPACE Corvantis::
  DESTINATION ${CORVANTIS_SHELL_CMAKE_DIR}
  COMPONENT CorvantisShell)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/CorvantisShellConfig.cmake.in
  ${PROJECT_BINARY_DIR}/CorvantisShellConfig.cmake
  INSTALL_DESTINATION ${CORVANTIS_SHELL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CorvantisShellConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CorvantisShellConfig.cmake
  ${PROJECT_BINARY_DIR}/CorvantisShellConfigVersion.cmake
  DESTINATION ${CORVANTIS_SHELL_CMAKE_DIR}
  COMPONENT CorvantisShell)

# The prefix is found from the file's own place, so the package works
# wherever it is installed (cmake --install --prefix) or moved to later.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(CORVANTIS_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CORVANTIS_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  # One step up for each folder between the prefix and the .pc file.
  set(CORVANTIS_PC_PREFIX "\${pcfiledir}")
  string(REGEX MATCHALL "[^/]+" steps "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
  foreach(step IN LISTS steps)
    string(APPEND CORVANTIS_PC_PREFIX "/..")
  endforeach()
  set(CORVANTIS_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(CORVANTIS_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(CORVANTIS_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/corvantis-shell.pc.in
  ${PROJECT_BINARY_DIR}/corvantis-shell.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/corvantis-shell.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT CorvantisShell)
