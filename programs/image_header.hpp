#pragma once
// The width and height an image file declares, read from its first bytes
// without decoding it: enough to tell how much memory decoding it will take.

#include <cstddef>

namespace contours {

// Reads the width and height declared at the start of an in-memory image file
// of size bytes: PNG (IHDR), JPEG (the first SOFn segment), BMP (both the core
// and the info header kinds; a negative height, top-down rows, counts as its
// size), WebP (VP8, VP8L and VP8X), TIFF (ImageWidth and ImageLength of the
// first directory, either byte order) or PNM (P1 to P6, comments allowed).
//
// Returns false, leaving width and height as they were, for any other kind of
// data, for a header cut short by size or malformed, for a side of zero or
// past 2^31 - 1 (so that width * height always fits a long long), and for a
// side the header does not give (a JPEG whose height comes later). Nothing at
// or past data + size is read, whatever the bytes claim.
//
// These are the dimensions as stored: a decoder that applies an orientation
// tag may swap them, which leaves their product as it is.
bool probeImageSize(const unsigned char* data, std::size_t size, long long& width,
                    long long& height);

}  // namespace contours
