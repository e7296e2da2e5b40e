#include "image_header.hpp"

#include <cstdint>
#include <cstring>

namespace contours {

namespace {

// The file's bytes, read only through checked offsets.
class Bytes {
 public:
  Bytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

  // Whether count bytes from offset on lie within the data.
  bool has(std::size_t offset, std::size_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  bool matches(std::size_t offset, const char* text, std::size_t count) const {
    return has(offset, count) && std::memcmp(data_ + offset, text, count) == 0;
  }
  // The callers check has() first.
  unsigned at(std::size_t offset) const { return data_[offset]; }
  std::uint32_t big16(std::size_t o) const { return at(o) << 8 | at(o + 1); }
  std::uint32_t big32(std::size_t o) const { return big16(o) << 16 | big16(o + 2); }
  std::uint32_t little16(std::size_t o) const { return at(o) | at(o + 1) << 8; }
  std::uint32_t little24(std::size_t o) const { return little16(o) | at(o + 2) << 16; }
  std::uint32_t little32(std::size_t o) const { return little16(o) | little16(o + 2) << 16; }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

// Sides past 2^31 - 1 are beyond any decoder, and would let their product
// pass the range of long long.
bool accept(long long w, long long h, long long& width, long long& height) {
  if (w <= 0 || h <= 0 || w > 0x7FFFFFFF || h > 0x7FFFFFFF) return false;
  width = w;
  height = h;
  return true;
}

bool probePng(const Bytes& b, long long& width, long long& height) {
  // Signature, then the IHDR chunk: length 13, type, width, height.
  if (!b.matches(0, "\x89PNG\r\n\x1a\n", 8) || !b.has(8, 16) || b.big32(8) != 13 ||
      !b.matches(12, "IHDR", 4))
    return false;
  return accept(b.big32(16), b.big32(20), width, height);
}

bool probeJpeg(const Bytes& b, long long& width, long long& height) {
  if (!b.has(0, 2) || b.at(0) != 0xFF || b.at(1) != 0xD8) return false;
  std::size_t at = 2;
  for (;;) {
    if (!b.has(at, 1) || b.at(at) != 0xFF) return false;
    while (b.has(at, 1) && b.at(at) == 0xFF) ++at;  // fill bytes
    if (!b.has(at, 1)) return false;
    const unsigned marker = b.at(at++);
    // Markers without a segment: TEM and RST0 to RST7.
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    // A stuffed zero, a second SOI, the end of the image or the scan data
    // before any frame header.
    if (marker == 0x00 || marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return false;
    if (!b.has(at, 2)) return false;
    const std::size_t length = b.big16(at);  // counts itself
    if (length < 2) return false;
    // SOF0 to SOF15, which are all of 0xC0 to 0xCF but DHT, JPG and DAC:
    // length, precision, height, width, components.
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
        marker != 0xCC) {
      if (length < 8 || !b.has(at, 7)) return false;
      return accept(b.big16(at + 5), b.big16(at + 3), width, height);
    }
    at += length;
  }
}

bool probeBmp(const Bytes& b, long long& width, long long& height) {
  // The 14-byte file header, then the size of the header that follows it.
  if (!b.matches(0, "BM", 2) || !b.has(14, 4)) return false;
  const std::uint32_t headerSize = b.little32(14);
  if (headerSize == 12) {  // core header: unsigned 16-bit sides
    if (!b.has(18, 4)) return false;
    return accept(b.little16(18), b.little16(20), width, height);
  }
  if (headerSize < 16 || !b.has(18, 8)) return false;
  // Info headers: signed 32-bit sides, a negative height for rows top-down.
  const long long w = static_cast<std::int32_t>(b.little32(18));
  long long h = static_cast<std::int32_t>(b.little32(22));
  if (h < 0) h = -h;
  return accept(w, h, width, height);
}

bool probeWebp(const Bytes& b, long long& width, long long& height) {
  // RIFF header, then the first chunk: its type, size and data from byte 20.
  if (!b.matches(0, "RIFF", 4) || !b.matches(8, "WEBP", 4) || !b.has(12, 8)) return false;
  const std::uint32_t chunkSize = b.little32(16);
  if (b.matches(12, "VP8 ", 4)) {
    // Frame tag (a key frame has bit 0 clear), start code, 14-bit sides.
    if (chunkSize < 10 || !b.has(20, 10) || (b.at(20) & 1) != 0 ||
        !b.matches(23, "\x9d\x01\x2a", 3))
      return false;
    return accept(b.little16(26) & 0x3FFF, b.little16(28) & 0x3FFF, width, height);
  }
  if (b.matches(12, "VP8L", 4)) {
    // Signature byte, then 14 bits of width - 1, 14 of height - 1, the alpha
    // hint and a 3-bit version that must be 0.
    if (chunkSize < 5 || !b.has(20, 5) || b.at(20) != 0x2F) return false;
    const std::uint32_t bits = b.little32(21);
    if (bits >> 29 != 0) return false;
    return accept((bits & 0x3FFF) + 1, (bits >> 14 & 0x3FFF) + 1, width, height);
  }
  if (b.matches(12, "VP8X", 4)) {
    // Flags, three reserved bytes, then 24 bits each of canvas width - 1 and
    // height - 1.
    if (chunkSize < 10 || !b.has(20, 10)) return false;
    return accept(b.little24(24) + 1LL, b.little24(27) + 1LL, width, height);
  }
  return false;
}

bool probeTiff(const Bytes& b, long long& width, long long& height) {
  bool little;
  if (b.matches(0, "II*\0", 4))
    little = true;
  else if (b.matches(0, "MM\0*", 4))
    little = false;
  else
    return false;
  const auto u16 = [&](std::size_t o) { return little ? b.little16(o) : b.big16(o); };
  const auto u32 = [&](std::size_t o) { return little ? b.little32(o) : b.big32(o); };
  if (!b.has(4, 4)) return false;
  const std::size_t directory = u32(4);
  if (directory < 8 || !b.has(directory, 2)) return false;
  const std::size_t entries = u16(directory);
  long long w = -1, h = -1;
  for (std::size_t i = 0; i < entries && (w < 0 || h < 0); ++i) {
    // Tag, type, count, then the value itself when it fits in 4 bytes.
    const std::size_t entry = directory + 2 + 12 * i;
    if (!b.has(entry, 12)) return false;
    const std::uint32_t tag = u16(entry);
    if (tag != 256 && tag != 257) continue;  // ImageWidth, ImageLength
    const std::uint32_t type = u16(entry + 2);
    if (u32(entry + 4) != 1) return false;
    long long value;
    if (type == 3)  // SHORT, in the first two bytes of the field
      value = u16(entry + 8);
    else if (type == 4)  // LONG
      value = u32(entry + 8);
    else
      return false;
    (tag == 256 ? w : h) = value;
  }
  return accept(w, h, width, height);
}

bool pnmSpace(unsigned c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads a decimal header field at offset at, after any whitespace and comments
// (from # to the end of the line), and moves at past it. The field must be
// followed by whitespace or a comment, so that one cut short is not taken for
// a smaller number.
bool pnmNumber(const Bytes& b, std::size_t& at, long long& value) {
  for (;;) {
    while (b.has(at, 1) && pnmSpace(b.at(at))) ++at;
    if (!b.has(at, 1) || b.at(at) != '#') break;
    while (b.has(at, 1) && b.at(at) != '\n' && b.at(at) != '\r') ++at;
  }
  if (!b.has(at, 1) || b.at(at) < '0' || b.at(at) > '9') return false;
  value = 0;
  while (b.has(at, 1) && b.at(at) >= '0' && b.at(at) <= '9') {
    value = value * 10 + (b.at(at++) - '0');
    if (value > 0x7FFFFFFF) return false;
  }
  return b.has(at, 1) && (pnmSpace(b.at(at)) || b.at(at) == '#');
}

bool probePnm(const Bytes& b, long long& width, long long& height) {
  if (!b.has(0, 3) || b.at(0) != 'P' || b.at(1) < '1' || b.at(1) > '6' ||
      !(pnmSpace(b.at(2)) || b.at(2) == '#'))
    return false;
  std::size_t at = 2;
  long long w = 0, h = 0;
  if (!pnmNumber(b, at, w) || !pnmNumber(b, at, h)) return false;
  return accept(w, h, width, height);
}

}  // namespace

bool probeImageSize(const unsigned char* data, std::size_t size, long long& width,
                    long long& height) {
  if (data == nullptr) return false;
  const Bytes b(data, size);
  return probePng(b, width, height) || probeJpeg(b, width, height) ||
         probeBmp(b, width, height) || probeWebp(b, width, height) ||
         probeTiff(b, width, height) || probePnm(b, width, height);
}

}  // namespace contours
