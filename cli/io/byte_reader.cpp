#include "cli/io/byte_reader.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "cli/io/io_error.h"

namespace vantrel::io {

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throwReadError(path, "cannot open file");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throwReadError(path, "cannot read file");
  return bytes;
}

void ByteReader::fail(const std::string& what, std::size_t offset) const {
  throwReadError(path_, what, "at byte " + std::to_string(offset));
}

void ByteReader::seek(std::size_t offset, const char* what) {
  if (offset > size_) {
    fail(std::string(what) + " starts at byte " + std::to_string(offset) +
             ", past the end of the " + std::to_string(size_) + "-byte file",
         offset_);
  }
  offset_ = offset;
}

void ByteReader::requireRange(std::uint64_t offset, std::uint64_t count, std::uint64_t itemSize,
                              const char* what) const {
  const std::uint64_t size = size_;
  const bool fits = offset <= size && (itemSize == 0 || count <= (size - offset) / itemSize);
  if (!fits) {
    fail(std::string(what) + ": " + std::to_string(count) + " x " + std::to_string(itemSize) +
             " bytes from byte " + std::to_string(offset) + " run past the end of the " +
             std::to_string(size_) + "-byte file",
         static_cast<std::size_t>(offset < size ? offset : size));
  }
}

const std::uint8_t* ByteReader::take(std::size_t count, const char* what) {
  if (count > size_ - offset_) {
    fail(std::string("file ends inside ") + what + " (needs " + std::to_string(count) +
         " bytes, " + std::to_string(size_ - offset_) + " left)");
  }
  const std::uint8_t* p = data_ + offset_;
  offset_ += count;
  return p;
}

std::uint8_t ByteReader::u8(const char* what) { return *take(1, what); }

std::int16_t ByteReader::i16le(const char* what) {
  const std::uint8_t* p = take(2, what);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

std::uint32_t ByteReader::u32le(const char* what) {
  const std::uint8_t* p = take(4, what);
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

std::int32_t ByteReader::i32le(const char* what) { return static_cast<std::int32_t>(u32le(what)); }

float ByteReader::f32le(const char* what) {
  const std::uint32_t bits = u32le(what);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::int32_t ByteReader::i32be(const char* what) {
  const std::uint8_t* p = take(4, what);
  const std::uint32_t bits = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                             (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
  return static_cast<std::int32_t>(bits);
}

float ByteReader::f32be(const char* what) {
  const std::int32_t bits = i32be(what);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string ByteReader::bytes(std::size_t count, const char* what) {
  const std::uint8_t* p = take(count, what);
  return std::string(reinterpret_cast<const char*>(p), count);
}

}  // namespace vantrel::io
