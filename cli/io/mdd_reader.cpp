#include "cli/io/mdd_reader.h"

#include <cmath>
#include <sstream>

#include "cli/io/byte_reader.h"
#include "cli/io/io_error.h"
#include "cli/io/obj_reader.h"

namespace vantrel::io {

MeshAnimation readMdd(const std::string& path, const ReadOptions& options) {
    InputFile file(path);
    const std::vector<std::uint8_t> header = file.prefix(8);
    ByteReader in(header, file.size(), path);
    const std::int32_t frames = in.i32be("the frame count");
    const std::int32_t points = in.i32be("the point count");
    if (frames <= 0) in.fail("frame count " + std::to_string(frames) + " is not positive", 0);
    if (points <= 0) in.fail("point count " + std::to_string(points) + " is not positive", 4);
    in.requireRange(in.offset(), std::uint64_t(frames), 4, "frame times");
    in.requireRange(in.offset() + 4 * std::uint64_t(frames), std::uint64_t(frames) * std::uint64_t(points), 12,
                    "point samples");

    MeshAnimation anim;
    anim.sourcePath = path;
    anim.vertexCount = points;
    anim.frameTimes.resize(std::size_t(frames));
    std::uint64_t at = in.offset();
    std::vector<std::uint8_t> raw(4 * std::size_t(frames));
    file.read(at, raw.data(), raw.size());
    const std::size_t badTime = decodeF32be(raw.data(), anim.frameTimes.size(), anim.frameTimes.data());
    if (badTime != anim.frameTimes.size()) {
        in.fail("non-finite time of frame " + std::to_string(badTime), static_cast<std::size_t>(at + 4 * badTime));
    }
    at += raw.size();
    readPointFrames(file, in, at, frames, points, true, anim.frames);

    const double span = anim.frameTimes.back() - anim.frameTimes.front();
    std::size_t notIncreasing = 0;  // first frame whose time is not after the one before, or 0
    for (std::size_t f = 1; f < anim.frameTimes.size() && notIncreasing == 0; ++f) {
        if (!(anim.frameTimes[f] > anim.frameTimes[f - 1])) notIncreasing = f;
    }
    if (options.frameRate) {
        anim.frameRate = *options.frameRate;
        anim.frameTimes.clear();
    } else if (frames > 1 && notIncreasing == 0) {
        anim.frameRate = (frames - 1) / span;
    } else {
        // Times that do not increase cannot place the frames; fall back to
        // evenly spaced frames at the default rate, and say so.
        if (notIncreasing > 0) {
            std::ostringstream note;
            note << "frame times do not increase (frame " << notIncreasing << " at " << anim.frameTimes[notIncreasing]
                 << " s follows " << anim.frameTimes[notIncreasing - 1]
                 << " s); the frames are taken as evenly spaced at " << anim.frameRate
                 << " per second (--fps sets another rate)";
            anim.notes.push_back(note.str());
        }
        anim.frameTimes.clear();
    }
    if (options.topologyPath) applyObjTopology(anim, *options.topologyPath, options.topologyBindPose);
    return anim;
}

}  // namespace vantrel::io
