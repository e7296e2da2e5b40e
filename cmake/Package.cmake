# A Debian package of the installed tree: cpack -G DEB in the build directory
# gives contours_<version>_<arch>.deb. The version is the project's VERSION.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME contours)
set(CPACK_PACKAGE_VENDOR "contours developers")
set(CPACK_PACKAGE_CONTACT "contours developers <maintainers@contours.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "colour contour analyser that chooses its own thresholds")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"contours finds the pixels on an image's salient colour contours and writes
them as a black-on-white image. contours-batch analyses many images in one
process; contours-parallel spreads a folder of images over all cores or
several machines.

The package also holds the static analysis library with its headers, its
CMake package and its pkg-config file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The OpenCV runtime libraries come from dpkg-shlibdeps; contours-parallel
# needs GNU parallel.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "parallel")
# Building against the library needs the OpenCV headers.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libopencv-dev")
include(CPack)
