# Install layout:
#   bin/                      contours, contours-batch, contours-parallel
#   include/contours/         every header of include/
#   lib/                      libcontours_core.a
#   lib/cmake/contours/       CMake package: find_package(contours) gives
#                             contours::core
#   lib/pkgconfig/contours.pc
#   share/man/man1/           contours.1, contours-batch.1, contours-parallel.1
include(CMakePackageConfigHelpers)

set(CONTOURS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/contours)

install(TARGETS contours contours-batch
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS scripts/contours-parallel
  DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS contours_core EXPORT contoursTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/contours
  FILES_MATCHING PATTERN "*.hpp")

install(EXPORT contoursTargets
  NAMESPACE contours::
  FILE contoursTargets.cmake
  DESTINATION ${CONTOURS_CMAKE_DIR})
configure_package_config_file(cmake/contoursConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfig.cmake
  INSTALL_DESTINATION ${CONTOURS_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfigVersion.cmake
  DESTINATION ${CONTOURS_CMAKE_DIR})

# The pkg-config file finds its prefix from its own location, so that the tree
# works wherever it is installed (cmake --install --prefix, or the package).
file(RELATIVE_PATH CONTOURS_PC_TO_PREFIX
  /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" CONTOURS_PC_TO_PREFIX "${CONTOURS_PC_TO_PREFIX}")
# The library needs OpenCV's core alone. OpenCV's own pkg-config file names
# every module, the codecs among them, so the core is named here directly.
get_target_property(CONTOURS_OPENCV_CORE_LIBRARY opencv_core LOCATION)
get_filename_component(CONTOURS_OPENCV_LIBDIR "${CONTOURS_OPENCV_CORE_LIBRARY}" DIRECTORY)
list(GET OpenCV_INCLUDE_DIRS 0 CONTOURS_OPENCV_INCLUDEDIR)
configure_file(cmake/contours.pc.in ${CMAKE_CURRENT_BINARY_DIR}/contours.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/contours.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(page contours contours-batch contours-parallel)
  configure_file(man/${page}.1.in ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
