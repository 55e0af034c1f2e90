#include <host/point_frames.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
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
        const float* in = floatData() + start;
        for (std::size_t i = 0; i < values; ++i) xyz[i] = in[i];
        releaseFrame(frame);
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
    if (doubles_.empty()) {
        fillPoints(floatData() + start, points);
        releaseFrame(frame);
    } else {
        fillPoints(doubles_.data() + start, points);
    }
    return points;
}

namespace {

// An unlinked file in `folder` holding `bytes` bytes of `data`; -1 when it
// cannot be made or written.
int unlinkedFileWith(const std::string& folder, const void* data, std::size_t bytes) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // File systems without O_TMPFILE: a named file, unlinked at once.
        std::string name = folder + "/vantrel-positions-XXXXXX";
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        ::unlink(name.c_str());
    }
    const char* at = static_cast<const char*>(data);
    std::size_t left = bytes;
    while (left > 0) {
        const ssize_t written = ::write(fd, at, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            ::close(fd);
            return -1;
        }
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    return fd;
}

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

bool PointFrames::keepInFile(const std::string& folder) {
    if (mapped_ || !doubles_.empty() || floats_.empty()) return false;
    const std::size_t bytes = floats_.size() * sizeof(float);
    const int fd = unlinkedFileWith(folder, floats_.data(), bytes);
    if (fd < 0) return false;
    void* address = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);  // the mapping keeps the file
    if (address == MAP_FAILED) return false;
    mapped_ = std::shared_ptr<const float>(static_cast<const float*>(address),
                                           [bytes](const float* p) { ::munmap(const_cast<float*>(p), bytes); });
    std::vector<float>().swap(floats_);
    releaseResident();
    return true;
}

void PointFrames::releaseResident() const {
    if (!mapped_) return;
    const std::size_t bytes = frameCount_ * 3 * pointCount_ * sizeof(float);
    ::madvise(const_cast<float*>(mapped_.get()), bytes, MADV_DONTNEED);
}

void PointFrames::releaseFrame(std::size_t frame) const {
    if (!mapped_) return;
    const std::size_t page = pageSize();
    const std::size_t frameBytes = 3 * pointCount_ * sizeof(float);
    const std::size_t first = (frame * frameBytes + page - 1) / page * page;
    const std::size_t last = (frame + 1) * frameBytes / page * page;
    if (last > first)
        ::madvise(reinterpret_cast<char*>(const_cast<float*>(mapped_.get())) + first, last - first, MADV_DONTNEED);
}

}  // namespace host
