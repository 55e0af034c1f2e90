#include <host/point_frames.h>

#include <string>

#include <host/error.h>

namespace host {

PointFrames::PointFrames(std::vector<std::vector<double>>&& frames) {
    if (frames.empty()) return;
    const std::size_t values = frames.front().size();
    if (values % 3 != 0) throw Error("point frames: " + std::to_string(values) + " values are not whole points");
    pointCount_ = values / 3;
    floats_.reserve(frames.size() * values);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        if (frames[f].size() != values)
            throw Error("point frames: frame " + std::to_string(f) + " has " + std::to_string(frames[f].size()) +
                        " values, frame 0 has " + std::to_string(values));
        storeFrame(frames[f].data());
        std::vector<double>().swap(frames[f]);
    }
}

PointFrames::PointFrames(const std::vector<MPointArray>& frames) {
    if (frames.empty()) return;
    pointCount_ = frames.front().length();
    floats_.reserve(frames.size() * 3 * pointCount_);
    std::vector<double> xyz(3 * pointCount_);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        if (frames[f].length() != pointCount_)
            throw Error("point frames: frame " + std::to_string(f) + " has " + std::to_string(frames[f].length()) +
                        " points, frame 0 has " + std::to_string(pointCount_));
        for (unsigned p = 0; p < frames[f].length(); ++p) {
            xyz[3 * p] = frames[f][p].x;
            xyz[3 * p + 1] = frames[f][p].y;
            xyz[3 * p + 2] = frames[f][p].z;
        }
        storeFrame(xyz.data());
    }
}

void PointFrames::storeFrame(const double* xyz) {
    const std::size_t values = 3 * pointCount_;
    if (doubles_.empty()) {
        // Floats while every value round-trips; one that does not moves the
        // whole store to doubles (the floats so far convert back exactly).
        const std::size_t start = floats_.size();
        floats_.resize(start + values);
        float* out = floats_.data() + start;
        bool exact = true;
        for (std::size_t i = 0; i < values; ++i) {
            out[i] = static_cast<float>(xyz[i]);
            exact &= static_cast<double>(out[i]) == xyz[i];
        }
        if (exact) {
            ++frameCount_;
            return;
        }
        floats_.resize(start);
        doubles_.reserve(floats_.capacity());
        doubles_.assign(floats_.begin(), floats_.end());
        std::vector<float>().swap(floats_);
    }
    doubles_.insert(doubles_.end(), xyz, xyz + values);
    ++frameCount_;
}

void PointFrames::copyFrame(std::size_t frame, double* xyz) const {
    const std::size_t values = 3 * pointCount_;
    const std::size_t start = frame * values;
    if (doubles_.empty()) {
        const float* in = floats_.data() + start;
        for (std::size_t i = 0; i < values; ++i) xyz[i] = in[i];
    } else {
        const double* in = doubles_.data() + start;
        for (std::size_t i = 0; i < values; ++i) xyz[i] = in[i];
    }
}

std::vector<double> PointFrames::frame(std::size_t frame) const {
    std::vector<double> xyz(3 * pointCount_);
    copyFrame(frame, xyz.data());
    return xyz;
}

namespace {

template <class Value>
void fillPoints(const Value* xyz, std::vector<MPoint>& points) {
    for (MPoint& point : points) {
        point.x = xyz[0];
        point.y = xyz[1];
        point.z = xyz[2];
        xyz += 3;
    }
}

}  // namespace

std::vector<MPoint> PointFrames::framePoints(std::size_t frame) const {
    // The sampler asks for every frame of every run: one pass over the frame,
    // the storage chosen once rather than per value.
    std::vector<MPoint> points(pointCount_);
    const std::size_t start = frame * 3 * pointCount_;
    if (doubles_.empty())
        fillPoints(floats_.data() + start, points);
    else
        fillPoints(doubles_.data() + start, points);
    return points;
}

}  // namespace host
