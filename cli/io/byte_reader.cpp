#include "cli/io/byte_reader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "cli/io/io_error.h"

namespace vantrel::io {

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    InputFile file(path);
    return file.prefix(static_cast<std::size_t>(file.size()));
}

InputFile::InputFile(const std::string& path) : path_(path), in_(path, std::ios::binary) {
    if (!in_) throwReadError(path_, "cannot open file");
    const std::streamoff end = in_.seekg(0, std::ios::end) ? std::streamoff(in_.tellg()) : -1;
    if (end >= 0 && in_.seekg(0, std::ios::beg)) {
        size_ = static_cast<std::uint64_t>(end);
        return;
    }
    // A pipe: its size is known only once it has been read.
    seekable_ = false;
    in_.clear();
    whole_.assign(std::istreambuf_iterator<char>(in_), std::istreambuf_iterator<char>());
    if (in_.bad()) throwReadError(path_, "cannot read file");
    size_ = whole_.size();
}

std::vector<std::uint8_t> InputFile::prefix(std::size_t count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(count, size_)));
    read(0, bytes.data(), bytes.size());
    return bytes;
}

void InputFile::read(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    if (count == 0) return;
    if (offset > size_ || count > size_ - offset) {
        throwReadError(path_, "cannot read file", "at byte " + std::to_string(offset));
    }
    if (!seekable_) {
        std::memcpy(out, whole_.data() + offset, count);
        return;
    }
    in_.seekg(static_cast<std::streamoff>(offset), std::ios::beg);
    in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
    if (!in_ || in_.gcount() != static_cast<std::streamsize>(count)) {
        throwReadError(path_, "cannot read file", "at byte " + std::to_string(offset));
    }
}

namespace {

// Whole buffers first, finiteness after: the conversion loop stays free of
// branches, and a bad value (exponent bits all set) is looked for only when
// there is one.
template <bool kBigEndian>
std::size_t decodeF32(const std::uint8_t* src, std::size_t count, double* out) {
    static_assert(sizeof(float) == 4, "4-byte floats");
    constexpr bool kSwap = kBigEndian != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__);
    constexpr std::uint32_t kExponent = 0x7f800000u;
    std::uint32_t allSet = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, src + 4 * i, 4);
        if (kSwap) bits = __builtin_bswap32(bits);
        float value;
        std::memcpy(&value, &bits, 4);
        out[i] = value;
        allSet |= static_cast<std::uint32_t>((bits & kExponent) == kExponent);
    }
    if (allSet == 0) return count;
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(out[i])) return i;
    }
    return count;
}

}  // namespace

std::size_t decodeF32le(const std::uint8_t* src, std::size_t count, double* out) {
    return decodeF32<false>(src, count, out);
}

std::size_t decodeF32be(const std::uint8_t* src, std::size_t count, double* out) {
    return decodeF32<true>(src, count, out);
}

namespace {

// Fresh memory of a frame's size is mapped for it alone, and each page's
// first touch is a fault of its own; asking for all of its pages at once
// halves what filling it costs where faults are dear (virtual machines).
// Only a hint: where the kernel does not know it, the pages fault as usual.
void prefault(std::vector<double>& frame, std::size_t values) {
    frame.reserve(values);
#ifdef MADV_POPULATE_WRITE
    static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(frame.data());
    const std::uintptr_t end = begin + values * sizeof(double);
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = end / page * page;
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#endif
}

}  // namespace

void readPointFrames(InputFile& file, const ByteReader& header, std::uint64_t offset, int frames, int points,
                     bool bigEndian, std::vector<std::vector<double>>& out) {
    out.resize(static_cast<std::size_t>(frames));
    const std::size_t values = 3 * static_cast<std::size_t>(points);
    std::vector<std::uint8_t> raw(4 * values);
    for (int f = 0; f < frames; ++f, offset += raw.size()) {
        std::vector<double>& frame = out[static_cast<std::size_t>(f)];
        prefault(frame, values);
        frame.resize(values);
        file.read(offset, raw.data(), raw.size());
        const std::size_t bad =
            bigEndian ? decodeF32be(raw.data(), values, frame.data()) : decodeF32le(raw.data(), values, frame.data());
        if (bad != values) {
            header.fail("non-finite coordinate in frame " + std::to_string(f) + ", point " + std::to_string(bad / 3),
                        static_cast<std::size_t>(offset + 4 * bad));
        }
    }
}

void ByteReader::fail(const std::string& what, std::size_t offset) const {
    throwReadError(path_, what, "at byte " + std::to_string(offset));
}

void ByteReader::seek(std::size_t offset, const char* what) {
    if (offset > size_) {
        fail(std::string(what) + " starts at byte " + std::to_string(offset) + ", past the end of the " +
                 std::to_string(size_) + "-byte file",
             offset_);
    }
    offset_ = offset;
}

void ByteReader::requireRange(std::uint64_t offset, std::uint64_t count, std::uint64_t itemSize,
                              const char* what) const {
    const std::uint64_t size = size_;
    const bool fits = offset <= size && (itemSize == 0 || count <= (size - offset) / itemSize);
    if (!fits) {
        fail(std::string(what) + ": " + std::to_string(count) + " x " + std::to_string(itemSize) + " bytes from byte " +
                 std::to_string(offset) + " run past the end of the " + std::to_string(size_) + "-byte file",
             static_cast<std::size_t>(offset < size ? offset : size));
    }
}

const std::uint8_t* ByteReader::take(std::size_t count, const char* what) {
    // A reader over a file's prefix never reads past it; the check keeps a
    // caller's mistake from reading outside the buffer.
    if (offset_ > available_ || count > available_ - offset_) {
        fail(std::string("file ends inside ") + what + " (needs " + std::to_string(count) + " bytes, " +
             std::to_string(size_ - offset_) + " left)");
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
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
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
    const std::uint32_t bits =
        (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
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
