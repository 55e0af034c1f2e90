#include "cli/io/pc2_reader.h"

#include <cmath>

#include "cli/io/byte_reader.h"
#include "cli/io/io_error.h"
#include "cli/io/obj_reader.h"

namespace vantrel::io {

namespace {
constexpr char kMagic[] = "POINTCACHE2";  // followed by a NUL: 12 bytes
constexpr std::size_t kHeaderSize = 32;
constexpr double kAssumedSceneRate = 24.0;
}  // namespace

MeshAnimation readPc2(const std::string& path, const ReadOptions& options) {
    InputFile file(path);
    const std::vector<std::uint8_t> header = file.prefix(kHeaderSize);
    ByteReader in(header, file.size(), path);
    // NOLINTNEXTLINE(bugprone-string-constructor): the magic's 12 bytes end in its NUL
    if (in.bytes(12, "the PC2 magic") != std::string(kMagic, 12)) {
        in.fail("bad magic, not a PC2 file (expected \"POINTCACHE2\")", 0);
    }
    const std::int32_t version = in.i32le("the PC2 version");
    if (version != 1) in.fail("unsupported PC2 version " + std::to_string(version) + " (expected 1)", 12);
    const std::int32_t points = in.i32le("the point count");
    const float startFrame = in.f32le("the start frame");
    const float sampleRate = in.f32le("the sample rate");
    const std::int32_t samples = in.i32le("the sample count");
    if (points <= 0) in.fail("point count " + std::to_string(points) + " is not positive", 16);
    if (samples <= 0) in.fail("sample count " + std::to_string(samples) + " is not positive", 28);
    if (!std::isfinite(startFrame)) in.fail("non-finite start frame", 20);
    if (!std::isfinite(sampleRate) || sampleRate <= 0) in.fail("sample rate is not a positive number", 24);
    in.requireRange(in.offset(), std::uint64_t(points) * std::uint64_t(samples), 12, "point samples");

    MeshAnimation anim;
    anim.sourcePath = path;
    anim.vertexCount = points;
    anim.frameRate = options.frameRate.value_or(kAssumedSceneRate / sampleRate);
    readPointFrames(file, in, in.offset(), samples, points, false, anim.frames);
    if (options.topologyPath) applyObjTopology(anim, *options.topologyPath, options.topologyBindPose);
    return anim;
}

}  // namespace vantrel::io
