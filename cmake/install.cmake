# Installation: the shared library with its SONAME links, the public header, the command-line tool
# and its man page, a pkg-config file and a CMake package whose find_package(quiremark) defines
# quiremark::quiremark. Also registers the tests of what users consume: the install test (a C
# program built against an installed copy); the Python package's tests are in bindings/python.
#
#   cmake --install build --prefix /opt/quiremark                 # everything
#   cmake --install build --prefix /opt/quiremark --component Runtime   # library .so.N, tool, man page
#   cmake --install build --prefix /opt/quiremark --component Development   # header, .so, .pc, CMake files

include(CMakePackageConfigHelpers)

set(QUIREMARK_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/quiremark")

install(TARGETS quiremark EXPORT quiremarkTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
  PUBLIC_HEADER DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT Development
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
if(TARGET quiremark_cli)
  install(TARGETS quiremark_cli RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime)
endif()
# The man page, when the tree has one.
install(FILES "${PROJECT_SOURCE_DIR}/docs/quiremark.1" OPTIONAL
  DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT Runtime)

# CMake package: relocatable (every path is relative to where the files end up).
install(EXPORT quiremarkTargets NAMESPACE quiremark:: FILE quiremarkTargets.cmake
  DESTINATION "${QUIREMARK_INSTALL_CMAKEDIR}" COMPONENT Development)
configure_package_config_file("${CMAKE_CURRENT_LIST_DIR}/quiremarkConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/quiremarkConfig.cmake" INSTALL_DESTINATION "${QUIREMARK_INSTALL_CMAKEDIR}")
# Same major version, same ABI: the SONAME carries the major version too.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/quiremarkConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/quiremarkConfig.cmake"
  "${PROJECT_BINARY_DIR}/quiremarkConfigVersion.cmake"
  DESTINATION "${QUIREMARK_INSTALL_CMAKEDIR}" COMPONENT Development)
# The same package for the build tree: find_package(quiremark) with quiremark_DIR=<build dir>.
export(EXPORT quiremarkTargets NAMESPACE quiremark::
  FILE "${PROJECT_BINARY_DIR}/quiremarkTargets.cmake")

# pkg-config file. Its prefix is that of the actual installation, so it is written at install
# time: `cmake --install --prefix DIR` gives a file that names DIR. Here everything else is filled
# in and the prefix placeholder is kept for the install step.
set(QM_PC_PREFIX "@QM_PC_PREFIX@")
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(QM_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(QM_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file("${CMAKE_CURRENT_LIST_DIR}/quiremark.pc.in"
  "${PROJECT_BINARY_DIR}/pkgconfig/quiremark.pc.stage" @ONLY)
install(CODE "
  set(QM_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/quiremark.pc.stage\"
    \"${PROJECT_BINARY_DIR}/pkgconfig/quiremark.pc\" @ONLY)
" COMPONENT Development)
install(FILES "${PROJECT_BINARY_DIR}/pkgconfig/quiremark.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT Development)

# The test of the installed form. It links the shared library into a program that is not built
# with the sanitizers, so it is left out of a sanitizer build.
if(QUIREMARK_BUILD_TESTS AND NOT QUIREMARK_SANITIZE)
  add_test(NAME install_consumer
    COMMAND bash "${PROJECT_SOURCE_DIR}/tests/install/run.sh" --build-dir "${PROJECT_BINARY_DIR}")
  set_tests_properties(install_consumer PROPERTIES LABELS "install" TIMEOUT 900)
endif()
