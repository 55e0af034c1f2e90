#pragma once
// Axis-aligned box. A new box is empty (no point yet); expanding it by a point
// makes it that point.

#include <maya/MMatrix.h>
#include <maya/MPoint.h>

class MBoundingBox {
public:
    MBoundingBox() = default;
#ifndef VANTREL_HOST_API_SUBSET
    // The box around the two corners.
    MBoundingBox(const MPoint& corner1, const MPoint& corner2);
#endif

#ifndef VANTREL_HOST_API_SUBSET
    void clear();
#endif
    // Transforms the 8 corners (p * matrix) and becomes their axis-aligned
    // box. An empty box stays empty.
    void transformUsing(const MMatrix& matrix);
    void expand(const MPoint& point);
#ifndef VANTREL_HOST_API_SUBSET
    void expand(const MBoundingBox& box);
    bool contains(const MPoint& point) const;
#endif

#ifndef VANTREL_HOST_API_SUBSET
    // Width, height and depth along x, y and z; 0 for an empty box.
    double width() const;
    double height() const;
    double depth() const;
    MPoint center() const;
#endif
    // Corners; (0, 0, 0) for an empty box.
    MPoint min() const;
    MPoint max() const;
#ifndef VANTREL_HOST_API_SUBSET
    bool isEmpty() const { return empty_; }
#endif

private:
    MPoint min_;
    MPoint max_;
    bool empty_ = true;
};
