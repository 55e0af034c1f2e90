// Helpers the reader and writer tests share: a scratch directory per test and
// a byte builder for writing binary files by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::io::test {

// A fresh directory, removed with its contents on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Bytes {
    std::vector<std::uint8_t> data;
    Bytes& u8(std::uint8_t v);
    Bytes& i16le(std::int16_t v);
    Bytes& i32le(std::int32_t v);
    Bytes& f32le(float v);
    Bytes& i32be(std::int32_t v);
    Bytes& f32be(float v);
    // The characters of `s`, then NULs up to `width` bytes (width 0: no padding).
    Bytes& text(const std::string& s, std::size_t width = 0);
    void patchI32le(std::size_t offset, std::int32_t v);
    std::size_t size() const { return data.size(); }
};

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
std::vector<std::uint8_t> readBytes(const std::string& path);

// Directory where writer tests leave their glTF outputs for the validator
// test (VANTREL_GLTF_OUTPUT_DIR, set by CMake); created if missing.
std::string gltfOutputDir();

}  // namespace vantrel::io::test

#include <functional>
#include <initializer_list>

#include <gtest/gtest.h>

#include "cli/io/io_error.h"

namespace vantrel::io::test {

// Runs `read`, expects a ReadError whose message contains every fragment.
inline ::testing::AssertionResult failsWith(const std::function<void()>& read,
                                            std::initializer_list<std::string> fragments) {
    try {
        read();
    } catch (const ReadError& e) {
        const std::string message = e.what();
        for (const std::string& f : fragments) {
            if (message.find(f) == std::string::npos) {
                return ::testing::AssertionFailure() << "message \"" << message << "\" lacks \"" << f << "\"";
            }
        }
        return ::testing::AssertionSuccess() << message;
    }
    return ::testing::AssertionFailure() << "no ReadError thrown";
}

// Runs `read`, expects a ReadError whose message is exactly `message`.
inline ::testing::AssertionResult failsExactly(const std::function<void()>& read, const std::string& message) {
    try {
        read();
    } catch (const ReadError& e) {
        if (message == e.what()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "message \"" << e.what() << "\", expected \"" << message << "\"";
    }
    return ::testing::AssertionFailure() << "no ReadError thrown";
}

}  // namespace vantrel::io::test
