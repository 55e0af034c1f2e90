#include "cli/io/md2_reader.h"

#include <cctype>
#include <cmath>

#include "cli/io/byte_reader.h"
#include "cli/io/io_error.h"

namespace vantrel::io {

namespace {

constexpr int kMd2Version = 8;
constexpr double kQuakeFrameRate = 10.0;
constexpr std::size_t kFrameHeaderBytes = 40;  // scale, translate, name[16]

struct Md2Header {
    std::int32_t skinWidth, skinHeight, frameSize, numSkins, numVertices, numSt, numTris, numGlCmds, numFrames,
        ofsSkins, ofsSt, ofsTris, ofsFrames, ofsGlCmds, ofsEnd;
};

std::int32_t nonNegative(ByteReader& in, const char* what) {
    const std::size_t at = in.offset();
    const std::int32_t value = in.i32le(what);
    if (value < 0) in.fail(std::string("negative ") + what + " " + std::to_string(value), at);
    return value;
}

}  // namespace

std::vector<Clip> clipsFromFrameNames(const std::vector<std::string>& names) {
    std::vector<Clip> clips;
    for (std::size_t f = 0; f < names.size(); ++f) {
        std::string base = names[f];
        while (!base.empty() && std::isdigit(static_cast<unsigned char>(base.back()))) base.pop_back();
        if (base.empty()) base = names[f];
        if (!clips.empty() && clips.back().name == base &&
            clips.back().firstFrame + clips.back().frameCount == static_cast<int>(f)) {
            ++clips.back().frameCount;
        } else {
            clips.push_back(Clip{base, static_cast<int>(f), 1});
        }
    }
    return clips;
}

namespace {

// The header, checked against itself and the file's size.
Md2Header readMd2Header(ByteReader& in) {
    const std::string magic = in.bytes(4, "the MD2 magic");
    if (magic != "IDP2") in.fail("bad magic, not an MD2 file (expected \"IDP2\")", 0);
    const std::int32_t version = in.i32le("the MD2 version");
    if (version != kMd2Version) {
        in.fail("unsupported MD2 version " + std::to_string(version) + " (expected 8)", 4);
    }
    Md2Header h{};
    h.skinWidth = nonNegative(in, "skin width");
    h.skinHeight = nonNegative(in, "skin height");
    h.frameSize = nonNegative(in, "frame size");
    h.numSkins = nonNegative(in, "skin count");
    h.numVertices = nonNegative(in, "vertex count");
    h.numSt = nonNegative(in, "texture coordinate count");
    h.numTris = nonNegative(in, "triangle count");
    h.numGlCmds = nonNegative(in, "GL command count");
    h.numFrames = nonNegative(in, "frame count");
    h.ofsSkins = nonNegative(in, "skin offset");
    h.ofsSt = nonNegative(in, "texture coordinate offset");
    h.ofsTris = nonNegative(in, "triangle offset");
    h.ofsFrames = nonNegative(in, "frame offset");
    h.ofsGlCmds = nonNegative(in, "GL command offset");
    h.ofsEnd = nonNegative(in, "end offset");

    if (h.numVertices == 0) in.fail("MD2 file has no vertices", 24);
    if (h.numFrames == 0) in.fail("MD2 file has no frames", 40);
    const std::int64_t expectedFrameSize = std::int64_t(kFrameHeaderBytes) + 4 * std::int64_t(h.numVertices);
    if (h.frameSize != expectedFrameSize) {
        in.fail("frame size " + std::to_string(h.frameSize) + " does not match " + std::to_string(h.numVertices) +
                    " vertices (expected " + std::to_string(expectedFrameSize) + ")",
                16);
    }
    if (h.numSt > 0 && (h.skinWidth == 0 || h.skinHeight == 0)) {
        in.fail("texture coordinates with a zero skin size", 8);
    }
    in.requireRange(std::uint64_t(h.ofsSt), std::uint64_t(h.numSt), 4, "texture coordinates");
    in.requireRange(std::uint64_t(h.ofsTris), std::uint64_t(h.numTris), 12, "triangles");
    in.requireRange(std::uint64_t(h.ofsFrames), std::uint64_t(h.numFrames), std::uint64_t(h.frameSize), "frames");
    return h;
}

// Texture coordinates and triangles: each vertex takes the texture coordinate
// of the first triangle corner that uses it.
void readMd2Triangles(ByteReader& in, const Md2Header& h, MeshAnimation& anim) {
    // Texture coordinates, in texels.
    std::vector<std::array<double, 2>> st(static_cast<std::size_t>(h.numSt));
    in.seek(std::size_t(h.ofsSt), "texture coordinates");
    for (auto& uv : st) {
        const double s = in.i16le("a texture coordinate");
        const double t = in.i16le("a texture coordinate");
        uv = {s / h.skinWidth, t / h.skinHeight};
    }

    in.seek(std::size_t(h.ofsTris), "triangles");
    std::vector<char> hasUv(static_cast<std::size_t>(h.numVertices), 0);
    if (h.numSt > 0 && h.numTris > 0) anim.uvs.assign(2 * std::size_t(h.numVertices), 0.0);
    anim.triangles.reserve(static_cast<std::size_t>(h.numTris));
    for (std::int32_t t = 0; t < h.numTris; ++t) {
        const std::size_t at = in.offset();
        std::array<int, 3> v{}, s{};
        for (int& i : v) i = in.i16le("a triangle");
        for (int& i : s) i = in.i16le("a triangle");
        for (int c = 0; c < 3; ++c) {
            if (v[c] < 0 || v[c] >= h.numVertices) {
                in.fail("triangle " + std::to_string(t) + " uses vertex " + std::to_string(v[c]) + " of " +
                            std::to_string(h.numVertices),
                        at);
            }
            if (h.numSt == 0) continue;  // a model without texture coordinates
            if (s[c] < 0 || s[c] >= h.numSt) {
                in.fail("triangle " + std::to_string(t) + " uses texture coordinate " + std::to_string(s[c]) + " of " +
                            std::to_string(h.numSt),
                        at);
            }
            const std::size_t vi = std::size_t(v[c]);
            if (!hasUv[vi]) {
                hasUv[vi] = 1;
                anim.uvs[2 * vi] = st[std::size_t(s[c])][0];
                anim.uvs[2 * vi + 1] = st[std::size_t(s[c])][1];
            }
        }
        // MD2 front faces are clockwise; ours are counter-clockwise.
        anim.triangles.push_back({v[0], v[2], v[1]});
    }
}

// Every frame's positions into anim.frames; returns the frames' names.
std::vector<std::string> readMd2Frames(ByteReader& in, const Md2Header& h, MeshAnimation& anim) {
    std::vector<std::string> names;
    anim.frames.resize(std::size_t(h.numFrames));
    for (std::int32_t f = 0; f < h.numFrames; ++f) {
        in.seek(std::size_t(h.ofsFrames) + std::size_t(f) * std::size_t(h.frameSize), "a frame");
        const std::size_t at = in.offset();
        double scale[3], translate[3];
        for (double& x : scale) x = in.f32le("a frame's scale");
        for (double& x : translate) x = in.f32le("a frame's translation");
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(scale[c]) || !std::isfinite(translate[c])) {
                in.fail("frame " + std::to_string(f) + " has a non-finite scale or translation", at);
            }
        }
        std::string name = in.bytes(16, "a frame's name");
        name = name.substr(0, name.find('\0'));
        names.push_back(name);
        std::vector<double>& out = anim.frames[std::size_t(f)];
        out.resize(3 * std::size_t(h.numVertices));
        for (std::int32_t v = 0; v < h.numVertices; ++v) {
            const std::size_t vertexAt = in.offset();
            for (int c = 0; c < 3; ++c) {
                const double x = in.u8("a vertex") * scale[c] + translate[c];
                if (!fitsFloat32(x)) {
                    in.fail("frame " + std::to_string(f) + ", vertex " + std::to_string(v) +
                                " has a coordinate too large for 32-bit floats",
                            vertexAt);
                }
                // Rounded to float32, as point caches and glTF store positions:
                // the same animation converted to them reads as the same numbers,
                // and the solve, which can tell apart starts that differ by a
                // rounding, gives the same rig.
                out[3 * std::size_t(v) + std::size_t(c)] = static_cast<float>(x);
            }
            in.u8("a vertex normal index");
        }
    }
    return names;
}

}  // namespace

MeshAnimation readMd2(const std::string& path, const ReadOptions& options) {
    const std::vector<std::uint8_t> bytes = readWholeFile(path);
    ByteReader in(bytes, path);
    const Md2Header h = readMd2Header(in);

    MeshAnimation anim;
    anim.sourcePath = path;
    anim.vertexCount = h.numVertices;
    anim.frameRate = options.frameRate.value_or(kQuakeFrameRate);

    readMd2Triangles(in, h, anim);
    anim.clips = clipsFromFrameNames(readMd2Frames(in, h, anim));
    return anim;
}

}  // namespace vantrel::io
