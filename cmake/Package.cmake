# Debian packages of the installed tree, one per install component; one
# `cpack -G DEB` in the build directory gives
#   contours_<version>_<arch>.deb          the programs and their man pages
#   libcontours-dev_<version>_<arch>.deb   headers, static library, CMake
#                                          package and pkg-config file
#   python3-contours_<version>_<arch>.deb  the Python module (when built)
# The version is the project's VERSION.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development)
if(CONTOURS_PYTHON_MODULE)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_PACKAGE_NAME contours)
set(CPACK_PACKAGE_VENDOR "contours developers")
set(CPACK_PACKAGE_CONTACT "contours developers <maintainers@contours.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE contours)
set(CPACK_STRIP_FILES ON)
# The OpenCV and C++ runtime libraries of the programs and the module come
# from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME contours)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "parallel")  # for contours-parallel
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION
"colour contour analyser that chooses its own thresholds
contours finds the pixels on an image's salient colour contours and writes
them as a black-on-white image. contours-batch analyses many images in one
process; contours-parallel spreads a folder of images over all cores or
several machines.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libcontours-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# A consumer compiles against the OpenCV headers and links OpenCV.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libopencv-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"colour contour analysis library - development files
The static analysis library behind the contours programs, with its headers,
its CMake package (find_package(contours) gives contours::core) and its
pkg-config file.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-contours)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The module is built for one interpreter version.
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${CONTOURS_PYTHON_DEPENDS}, python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
"colour contour analysis for Python 3
The contours package analyses numpy arrays, PIL images and image files: it
finds the pixels on an image's salient colour contours, choosing its
thresholds itself, with the results of the contours programs bit for bit.")
# The package's Python files are byte-compiled when it is installed and their
# compiled forms removed before it is, as Debian's Python packages do, so that
# no file outside the package is left behind.
set(CONTOURS_PYTHON_SCRIPTS ${CMAKE_CURRENT_BINARY_DIR}/debian/python3-contours)
file(WRITE ${CONTOURS_PYTHON_SCRIPTS}/postinst "#!/bin/sh
set -e
if command -v py3compile >/dev/null 2>&1; then
	py3compile -p python3-contours
fi
")
file(WRITE ${CONTOURS_PYTHON_SCRIPTS}/prerm "#!/bin/sh
set -e
if command -v py3clean >/dev/null 2>&1; then
	py3clean -p python3-contours
else
	dpkg -L python3-contours | sed -En -e '/^(.*)\\/(.+)\\.py$/s,,rm \"\\1/__pycache__/\\2\".*,e'
	find /usr/lib/python3/dist-packages/ -type d -name __pycache__ -empty -print0 |
		xargs --null --no-run-if-empty rmdir
fi
")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
  ${CONTOURS_PYTHON_SCRIPTS}/postinst ${CONTOURS_PYTHON_SCRIPTS}/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Every package carries the copyright file and the changelog Debian requires,
# under usr/share/doc/<package>. They are packaging files only: a plain
# `cmake --install` leaves them out.
find_program(CONTOURS_GZIP gzip REQUIRED)
set(CONTOURS_CHANGELOG ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
configure_file(cmake/debian/changelog.in ${CONTOURS_CHANGELOG} @ONLY)
add_custom_command(OUTPUT ${CONTOURS_CHANGELOG}.gz
  COMMAND ${CONTOURS_GZIP} -9nc ${CONTOURS_CHANGELOG} > ${CONTOURS_CHANGELOG}.gz
  DEPENDS ${CONTOURS_CHANGELOG} VERBATIM)
add_custom_target(contours_changelog ALL DEPENDS ${CONTOURS_CHANGELOG}.gz)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES cmake/debian/copyright ${CONTOURS_CHANGELOG}.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
include(CPack)
