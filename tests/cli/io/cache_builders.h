// Writes PC2 and MDD point caches by hand for the reader tests.
#pragma once

#include <vector>

#include "test_files.h"

namespace vantrel::io::test {

// Three points over two samples, every coordinate distinct.
inline float cacheCoordinate(int frame, int point, int c) { return 0.5f * frame + 10.0f * point + 0.25f * c - 3.0f; }

inline Bytes buildPc2(int points, int samples, float startFrame, float sampleRate) {
    Bytes b;
    b.text("POINTCACHE2", 12).i32le(1).i32le(points).f32le(startFrame).f32le(sampleRate).i32le(samples);
    for (int f = 0; f < samples; ++f) {
        for (int p = 0; p < points; ++p) {
            for (int c = 0; c < 3; ++c) b.f32le(cacheCoordinate(f, p, c));
        }
    }
    return b;
}

inline Bytes buildMdd(int points, const std::vector<float>& times) {
    Bytes b;
    b.i32be(int(times.size())).i32be(points);
    for (float t : times) b.f32be(t);
    for (int f = 0; f < int(times.size()); ++f) {
        for (int p = 0; p < points; ++p) {
            for (int c = 0; c < 3; ++c) b.f32be(cacheCoordinate(f, p, c));
        }
    }
    return b;
}

}  // namespace vantrel::io::test
