#pragma once
// The host's current time. Setting it makes every later read (plug values,
// matrices, points, bounding boxes) belong to that time.

#include <maya/MStatus.h>
#include <maya/MTime.h>

class MAnimControl {
public:
    static MTime currentTime();
    static MStatus setCurrentTime(const MTime& time);
};
