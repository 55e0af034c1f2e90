#include "test_files.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <gtest/gtest.h>

namespace vantrel::io::test {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "_" + info->name() : "scratch";
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    path_ = (fs::temp_directory_path() / ("vantrel_io_" + std::to_string(::getpid()) + "_" + name)).string();
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

Bytes& Bytes::u8(std::uint8_t v) {
    data.push_back(v);
    return *this;
}

Bytes& Bytes::i16le(std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    data.push_back(std::uint8_t(u & 0xff));
    data.push_back(std::uint8_t(u >> 8));
    return *this;
}

Bytes& Bytes::i32le(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int k = 0; k < 4; ++k) data.push_back(std::uint8_t(u >> (8 * k)));
    return *this;
}

Bytes& Bytes::f32le(float v) {
    std::int32_t bits;
    std::memcpy(&bits, &v, 4);
    return i32le(bits);
}

Bytes& Bytes::i32be(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int k = 3; k >= 0; --k) data.push_back(std::uint8_t(u >> (8 * k)));
    return *this;
}

Bytes& Bytes::f32be(float v) {
    std::int32_t bits;
    std::memcpy(&bits, &v, 4);
    return i32be(bits);
}

Bytes& Bytes::text(const std::string& s, std::size_t width) {
    data.insert(data.end(), s.begin(), s.end());
    for (std::size_t k = s.size(); k < width; ++k) data.push_back(0);
    return *this;
}

void Bytes::patchI32le(std::size_t offset, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int k = 0; k < 4; ++k) data.at(offset + std::size_t(k)) = std::uint8_t(u >> (8 * k));
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text) {
    writeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string gltfOutputDir() {
    const char* env = std::getenv("VANTREL_GLTF_OUTPUT_DIR");
    const std::string dir = env && *env ? env : VANTREL_DEFAULT_GLTF_OUTPUT_DIR;
    fs::create_directories(dir);
    return dir;
}

}  // namespace vantrel::io::test
