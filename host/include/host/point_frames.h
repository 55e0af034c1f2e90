#pragma once
// Positions of a mesh's points over frames, held compactly for a point cache:
// frame f, point p, coordinate c (x, y, z) is value(f, 3 * p + c). Stored as
// 4-byte floats when every coordinate is exactly a float (positions read from
// float32 files such as PC2, MDD or MD2 are), else as doubles: 12 or 24 bytes
// a point instead of an MPoint's 32. Reading back gives the very doubles that
// went in. Immutable once built, so that a scene and its builder can share
// one copy (std::shared_ptr<const PointFrames>).

#ifdef VANTREL_HOST_API_SUBSET
#error "<host/...> is the headless host's own API: the plug-in reaches the scene through <maya/...> only"
#endif

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <maya/MPoint.h>
#include <maya/MPointArray.h>

namespace host {

class PointFrames {
public:
    PointFrames() = default;
    // Takes frames[f][3 * p + c] and releases each source frame as soon as it
    // is stored, so the positions are never held twice over: `frames` keeps
    // its length, every frame in it left empty. Every frame must
    // hold the same number of values, a multiple of 3; throws host::Error
    // otherwise (the source is then left partly released).
    explicit PointFrames(std::vector<std::vector<double>>&& frames);
    // From point arrays (w is not kept).
    explicit PointFrames(const std::vector<MPointArray>& frames);

    std::size_t frameCount() const { return frameCount_; }
    std::size_t pointCount() const { return pointCount_; }
    bool empty() const { return frameCount_ == 0; }
    // Whether the values are held as floats (else as doubles).
    bool holdsFloats() const { return doubles_.empty() && frameCount_ > 0; }
    // Bytes held for the positions (in memory or in the file).
    std::size_t bytes() const {
        return (mapped_ ? frameCount_ * 3 * pointCount_ : floats_.size()) * sizeof(float) +
               doubles_.size() * sizeof(double);
    }

    double value(std::size_t frame, std::size_t index) const {
        const std::size_t at = frame * 3 * pointCount_ + index;
        return doubles_.empty() ? static_cast<double>(floatData()[at]) : doubles_[at];
    }

    // Moves float positions into an unlinked temporary file in `folder`,
    // mapped read-only, so that they cost page cache the system can reclaim
    // rather than the process's memory: a frame copied out (copyFrame,
    // frame, framePoints) gives its pages back at once, and
    // releaseResident() gives back whatever reads by value() brought in.
    // Values read back are unchanged. Returns false, keeping the positions
    // in memory, when they are held as doubles or the file cannot be made.
    bool keepInFile(const std::string& folder);
    bool inFile() const { return mapped_ != nullptr; }
    // Drops the file's pages from the process's memory (they are read again
    // from the page cache when next used); nothing to do in memory.
    void releaseResident() const;
    MPoint point(std::size_t frame, std::size_t p) const {
        return MPoint(value(frame, 3 * p), value(frame, 3 * p + 1), value(frame, 3 * p + 2));
    }
    // The 3 * pointCount() values of a frame into `xyz`.
    void copyFrame(std::size_t frame, double* xyz) const;
    std::vector<double> frame(std::size_t frame) const;
    // The points of a frame as MPoints (w = 1).
    std::vector<MPoint> framePoints(std::size_t frame) const;

private:
    void storeFrame(const double* xyz);
    const float* floatData() const { return mapped_ ? mapped_.get() : floats_.data(); }
    // Gives back the file's pages that lie wholly inside one frame's values.
    void releaseFrame(std::size_t frame) const;

    std::size_t frameCount_ = 0;
    std::size_t pointCount_ = 0;
    std::vector<float> floats_;            // while every value so far is exactly a float
    std::vector<double> doubles_;          // otherwise
    std::shared_ptr<const float> mapped_;  // the floats, when kept in a file (unmapped with the last copy)
};

}  // namespace host
