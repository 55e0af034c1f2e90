// The one checked byte reader every binary reader goes through: each access is
// bounds-checked against the buffer, and a failure throws ReadError naming the
// file, what was being read and the byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace vantrel::io {

// Reads a whole file into memory; throws ReadError when it cannot be opened
// or read.
std::vector<std::uint8_t> readWholeFile(const std::string& path);

// A file read piece by piece, so that large point caches go straight from
// the file into their frames instead of being held whole beside them. A file
// that cannot seek (a pipe) is read whole on opening. Throws ReadError when it
// cannot be opened or read.
class InputFile {
public:
    explicit InputFile(const std::string& path);

    const std::string& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    // The first min(count, size()) bytes.
    std::vector<std::uint8_t> prefix(std::size_t count);
    // `count` bytes from `offset`, which the caller has checked lie in the file
    // (ByteReader::requireRange); a file that shrank since is a read error.
    void read(std::uint64_t offset, std::uint8_t* out, std::size_t count);

private:
    std::string path_;
    std::ifstream in_;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> whole_;  // only for files that cannot seek
    bool seekable_ = true;
};

// Converts `count` 4-byte floats at `src`, little or big endian, into `out`.
// Returns the index of the first non-finite value, or `count` when all are
// finite; every value is converted either way.
std::size_t decodeF32le(const std::uint8_t* src, std::size_t count, double* out);
std::size_t decodeF32be(const std::uint8_t* src, std::size_t count, double* out);

class ByteReader;

// Reads `frames` frames of `points` xyz 4-byte floats (little or big endian)
// stored one after another from `offset` of `file`, one frame at a time
// straight into out[f] (3 x points values). The first non-finite coordinate
// is refused through `header` with its frame, point and byte offset. The
// caller has checked the range (ByteReader::requireRange).
void readPointFrames(InputFile& file, const ByteReader& header, std::uint64_t offset, int frames, int points,
                     bool bigEndian, std::vector<std::vector<double>>& out);

class ByteReader {
public:
    ByteReader(const std::vector<std::uint8_t>& bytes, std::string path)
        : data_(bytes.data()), size_(bytes.size()), available_(bytes.size()), path_(std::move(path)) {}
    // Reads the header `prefix` of a file of `fileSize` bytes: sizes, ranges and
    // messages refer to the whole file, and everything read through this reader
    // must lie in the prefix (InputFile::prefix gives all of a short file).
    ByteReader(const std::vector<std::uint8_t>& prefix, std::uint64_t fileSize, std::string path)
        : data_(prefix.data()),
          size_(static_cast<std::size_t>(fileSize)),
          available_(prefix.size()),
          path_(std::move(path)) {}

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
    void requireRange(std::uint64_t offset, std::uint64_t count, std::uint64_t itemSize, const char* what) const;

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
    std::size_t available_;  // bytes held from the start, <= size_
    std::size_t offset_ = 0;
    std::string path_;
};

}  // namespace vantrel::io
