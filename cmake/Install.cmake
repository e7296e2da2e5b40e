# Install layout:
#   bin/                      contours, contours-batch, contours-parallel
#   include/contours/         every header of include/contours, and
#                             version.hpp made in the build tree
#   lib/<triplet>/            libcontours_core.a (CMAKE_INSTALL_LIBDIR)
#   lib/<triplet>/cmake/contours/
#                             CMake package: find_package(contours) gives
#                             contours::core
#   lib/<triplet>/pkgconfig/contours.pc
#   lib/python3/dist-packages/contours/
#                             the Python package (python/): __init__.py, the
#                             compiled _contours, its stub and py.typed
#   share/man/man1/           contours.1.gz, contours-batch.1.gz,
#                             contours-parallel.1.gz
# Each file belongs to the component of its Debian package: programs
# (contours), development (libcontours-dev) or python (python3-contours).
include(CMakePackageConfigHelpers)

set(CONTOURS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/contours)

install(TARGETS contours contours-batch
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(PROGRAMS scripts/contours-parallel
  DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(TARGETS contours_core EXPORT contoursTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY include/contours/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/contours COMPONENT development
  FILES_MATCHING PATTERN "*.hpp")
install(FILES ${PROJECT_BINARY_DIR}/include/contours/version.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/contours COMPONENT development)

install(EXPORT contoursTargets
  NAMESPACE contours::
  FILE contoursTargets.cmake
  DESTINATION ${CONTOURS_CMAKE_DIR} COMPONENT development)
configure_package_config_file(cmake/contoursConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfig.cmake
  INSTALL_DESTINATION ${CONTOURS_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/contoursConfigVersion.cmake
  DESTINATION ${CONTOURS_CMAKE_DIR} COMPONENT development)

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
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# Manual pages are installed compressed, as Debian installs them: gzip -9n,
# without a name or time stamp, so that the same page gives the same bytes.
find_program(CONTOURS_GZIP gzip REQUIRED)
set(compressed_pages "")
foreach(page contours contours-batch contours-parallel)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1)
  configure_file(man/${page}.1.in ${source} @ONLY)
  add_custom_command(OUTPUT ${source}.gz
    COMMAND ${CONTOURS_GZIP} -9nc ${source} > ${source}.gz
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed_pages ${source}.gz)
endforeach()
add_custom_target(contours_man_pages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
