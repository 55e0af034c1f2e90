// The one checked byte reader every binary reader goes through: each access is
// bounds-checked against the buffer, and a failure throws ReadError naming the
// file, what was being read and the byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::io {

// Reads a whole file into memory; throws ReadError when it cannot be opened
// or read.
std::vector<std::uint8_t> readWholeFile(const std::string& path);

class ByteReader {
 public:
  ByteReader(const std::vector<std::uint8_t>& bytes, std::string path)
      : data_(bytes.data()), size_(bytes.size()), path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  std::size_t size() const { return size_; }
  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return size_ - offset_; }

  // Moves to an absolute offset (may equal size()); `what` names the target
  // in the error message.
  void seek(std::size_t offset, const char* what);
  // Throws unless `count` items of `itemSize` bytes starting at `offset` lie
  // inside the buffer (overflow safe). Use it before loops over counts read
  // from the file so that absurd counts fail early, with the count in the
  // message.
  void requireRange(std::uint64_t offset, std::uint64_t count, std::uint64_t itemSize,
                    const char* what) const;

  std::uint8_t u8(const char* what);
  std::int16_t i16le(const char* what);
  std::int32_t i32le(const char* what);
  std::uint32_t u32le(const char* what);
  float f32le(const char* what);
  std::int32_t i32be(const char* what);
  float f32be(const char* what);
  // `count` raw bytes.
  std::string bytes(std::size_t count, const char* what);

  // Throws ReadError "FILE: WHAT (at byte OFFSET)".
  [[noreturn]] void fail(const std::string& what, std::size_t offset) const;
  [[noreturn]] void fail(const std::string& what) const { fail(what, offset_); }

 private:
  const std::uint8_t* take(std::size_t count, const char* what);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  std::string path_;
};

}  // namespace vantrel::io
