#include <maya/MBoundingBox.h>

#include <algorithm>

MBoundingBox::MBoundingBox(const MPoint& corner1, const MPoint& corner2) {
    expand(corner1);
    expand(corner2);
}

void MBoundingBox::clear() {
    min_ = max_ = MPoint();
    empty_ = true;
}

void MBoundingBox::transformUsing(const MMatrix& matrix) {
    if (empty_) return;
    const MPoint low = min_, high = max_;
    clear();
    for (int corner = 0; corner < 8; ++corner) {
        const MPoint p((corner & 1) ? high.x : low.x, (corner & 2) ? high.y : low.y, (corner & 4) ? high.z : low.z);
        expand(p * matrix);
    }
}

void MBoundingBox::expand(const MPoint& point) {
    if (empty_) {
        min_ = max_ = MPoint(point.x, point.y, point.z);
        empty_ = false;
        return;
    }
    min_.x = std::min(min_.x, point.x), min_.y = std::min(min_.y, point.y), min_.z = std::min(min_.z, point.z);
    max_.x = std::max(max_.x, point.x), max_.y = std::max(max_.y, point.y), max_.z = std::max(max_.z, point.z);
}

void MBoundingBox::expand(const MBoundingBox& box) {
    if (box.empty_) return;
    expand(box.min_);
    expand(box.max_);
}

bool MBoundingBox::contains(const MPoint& p) const {
    return !empty_ && p.x >= min_.x && p.y >= min_.y && p.z >= min_.z && p.x <= max_.x && p.y <= max_.y &&
           p.z <= max_.z;
}

double MBoundingBox::width() const { return max_.x - min_.x; }
double MBoundingBox::height() const { return max_.y - min_.y; }
double MBoundingBox::depth() const { return max_.z - min_.z; }

MPoint MBoundingBox::center() const {
    return MPoint((min_.x + max_.x) / 2, (min_.y + max_.y) / 2, (min_.z + max_.z) / 2);
}

MPoint MBoundingBox::min() const { return min_; }
MPoint MBoundingBox::max() const { return max_; }
