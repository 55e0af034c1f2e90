// Writes MD2 files by hand for the reader tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "test_files.h"

namespace vantrel::io::test {

struct Md2Model {
    struct Frame {
        std::array<float, 3> scale;
        std::array<float, 3> translate;
        std::string name;
        std::vector<std::array<std::uint8_t, 3>> vertices;
    };
    int skinWidth = 64;
    int skinHeight = 32;
    std::vector<std::array<std::int16_t, 2>> st;
    std::vector<std::array<std::int16_t, 6>> triangles;  // 3 vertex then 3 st indices
    std::vector<Frame> frames;
};

inline std::size_t md2TrianglesOffset(const Md2Model& m) { return 68 + 4 * m.st.size(); }
inline std::size_t md2FrameSize(const Md2Model& m) {
    return 40 + 4 * (m.frames.empty() ? 0 : m.frames[0].vertices.size());
}
inline std::size_t md2FrameOffset(const Md2Model& m, std::size_t f) {
    return md2TrianglesOffset(m) + 12 * m.triangles.size() + f * md2FrameSize(m);
}

inline Bytes buildMd2(const Md2Model& m) {
    const int vertexCount = m.frames.empty() ? 0 : int(m.frames[0].vertices.size());
    const int end = int(md2FrameOffset(m, m.frames.size()));
    Bytes b;
    b.text("IDP2").i32le(8).i32le(m.skinWidth).i32le(m.skinHeight).i32le(int(md2FrameSize(m)));
    b.i32le(0).i32le(vertexCount).i32le(int(m.st.size())).i32le(int(m.triangles.size()));
    b.i32le(0).i32le(int(m.frames.size()));
    b.i32le(68).i32le(68).i32le(int(md2TrianglesOffset(m))).i32le(int(md2FrameOffset(m, 0)));
    b.i32le(end).i32le(end);
    for (const auto& st : m.st) b.i16le(st[0]).i16le(st[1]);
    for (const auto& t : m.triangles) {
        for (std::int16_t i : t) b.i16le(i);
    }
    for (const auto& f : m.frames) {
        for (float s : f.scale) b.f32le(s);
        for (float t : f.translate) b.f32le(t);
        b.text(f.name, 16);
        for (const auto& v : f.vertices) b.u8(v[0]).u8(v[1]).u8(v[2]).u8(0);
    }
    return b;
}

// A quad of 4 vertices, 2 triangles, frames "run1".."run3" and "stand".
inline Md2Model sampleMd2() {
    Md2Model m;
    m.st = {{0, 0}, {32, 0}, {32, 16}, {0, 16}};
    m.triangles = {{0, 1, 2, 0, 1, 2}, {0, 2, 3, 0, 2, 3}};
    const char* names[] = {"run1", "run2", "run3", "stand"};
    for (int f = 0; f < 4; ++f) {
        Md2Model::Frame frame;
        frame.scale = {0.5f + 0.25f * f, 0.125f, 1.0f};
        frame.translate = {-10.0f, 2.5f * f, 3.0f};
        frame.name = names[f];
        for (int v = 0; v < 4; ++v) {
            frame.vertices.push_back({std::uint8_t(10 * v + f), std::uint8_t(255 - 7 * v), std::uint8_t(3 * f + v)});
        }
        m.frames.push_back(frame);
    }
    return m;
}

}  // namespace vantrel::io::test
