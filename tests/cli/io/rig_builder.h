// Small skinned rigs for the writer tests, and skinning computed here (not
// with the library's helpers) to check what is written and read back.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "cli/io/skinned_rig.h"

namespace vantrel::io::test {

// Row-vector matrix of a rotation by `angle` about the unit axis (x, y, z),
// scaled by s along each axis and then translated by t.
inline Matrix4 rotationScaleTranslation(double x, double y, double z, double angle, Vec3 s, Vec3 t) {
    const double c = std::cos(angle), n = std::sin(angle), k = 1 - c;
    // Column-vector rotation R; the row-vector matrix holds S R^T.
    const double r[3][3] = {{c + x * x * k, x * y * k - z * n, x * z * k + y * n},
                            {y * x * k + z * n, c + y * y * k, y * z * k - x * n},
                            {z * x * k - y * n, z * y * k + x * n, c + z * z * k}};
    Matrix4 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[std::size_t(4 * i + j)] = s[std::size_t(i)] * r[j][i];
        m[std::size_t(12 + i)] = t[std::size_t(i)];
    }
    m[15] = 1;
    return m;
}

inline Matrix4 product(const Matrix4& a, const Matrix4& b) {
    Matrix4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k)
                r[std::size_t(4 * i + j)] += a[std::size_t(4 * i + k)] * b[std::size_t(4 * k + j)];
    return r;
}

inline Vec3 applyMatrix(const Vec3& p, const Matrix4& m) {
    return {p[0] * m[0] + p[1] * m[4] + p[2] * m[8] + m[12], p[0] * m[1] + p[1] * m[5] + p[2] * m[9] + m[13],
            p[0] * m[2] + p[1] * m[6] + p[2] * m[10] + m[14]};
}

// p_f for every vertex of the rig at frame f (weights normalised here).
inline std::vector<double> skinFrame(const SkinnedRig& rig, std::size_t f) {
    std::vector<double> out(rig.restPositions.size(), 0.0);
    for (std::size_t v = 0; v < rig.influences.size(); ++v) {
        double total = 0;
        for (const auto& s : rig.influences[v]) total += s.weight;
        const Vec3 p{rig.restPositions[3 * v], rig.restPositions[3 * v + 1], rig.restPositions[3 * v + 2]};
        for (const auto& s : rig.influences[v]) {
            const std::size_t j = std::size_t(s.joint);
            const Vec3 q = applyMatrix(applyMatrix(p, rig.bindingMatrices[j]), rig.boneWorld[f][j]);
            for (std::size_t c = 0; c < 3; ++c) out[3 * v + c] += s.weight / total * q[c];
        }
    }
    return out;
}

struct RigShape {
    int joints = 3;
    int frames = 6;
    int influencesPerVertex = 3;
    bool shear = false;
    bool uvs = true;
    bool triangles = true;
};

// A tube of rings x 8 vertices along y, one joint per band, bent over time.
inline SkinnedRig makeRig(const RigShape& shape) {
    SkinnedRig rig;
    const int rings = 5, around = 8;
    for (int r = 0; r < rings; ++r) {
        for (int a = 0; a < around; ++a) {
            const double phi = 2 * M_PI * a / around;
            rig.restPositions.insert(rig.restPositions.end(), {std::cos(phi), 1.0 * r, std::sin(phi)});
            if (shape.uvs) rig.uvs.insert(rig.uvs.end(), {double(a) / around, double(r) / (rings - 1)});
        }
    }
    if (shape.triangles) {
        for (int r = 0; r + 1 < rings; ++r) {
            for (int a = 0; a < around; ++a) {
                const int i = r * around + a, j = r * around + (a + 1) % around;
                rig.triangles.push_back({i, i + around, j});
                rig.triangles.push_back({j, i + around, j + around});
            }
        }
    }
    for (int j = 0; j < shape.joints; ++j) {
        rig.jointNames.push_back("bone" + std::to_string(j));
        const Matrix4 rest = rotationScaleTranslation(0, 1, 0, 0.1 * j, {1, 1, 1}, {0, 4.0 * j / shape.joints, 0});
        rig.restWorld.push_back(rest);
        // Inverse of a rotation about y plus a translation along y.
        rig.bindingMatrices.push_back(
            product(rotationScaleTranslation(0, 1, 0, 0, {1, 1, 1}, {0, -4.0 * j / shape.joints, 0}),
                    rotationScaleTranslation(0, 1, 0, -0.1 * j, {1, 1, 1}, {0, 0, 0})));
    }
    for (int f = 0; f < shape.frames; ++f) {
        rig.frameTimes.push_back(f / 24.0);
        std::vector<Matrix4> bones;
        for (int j = 0; j < shape.joints; ++j) {
            const double s = std::sqrt(1.0 / 3.0);
            Matrix4 m = rotationScaleTranslation(s, s, s, 0.1 * j + 0.3 * f * (j + 1) / shape.joints,
                                                 {1.0 + 0.05 * f, 1.0, 1.0 - 0.03 * j},
                                                 {0.2 * f, 4.0 * j / shape.joints + 0.1 * f * j, -0.1 * f});
            if (shape.shear && j == 1 && f > 0) {
                Matrix4 shear = rotationScaleTranslation(1, 0, 0, 0, {1, 1, 1}, {0, 0, 0});
                shear[4] = 0.2 * f;  // y picks up x: a shear
                m = product(shear, m);
            }
            bones.push_back(m);
        }
        rig.boneWorld.push_back(bones);
    }
    const int V = int(rig.restPositions.size() / 3);
    for (int v = 0; v < V; ++v) {
        std::vector<SkinInfluence> inf;
        const double y = rig.restPositions[std::size_t(3 * v + 1)];
        for (int k = 0; k < shape.influencesPerVertex; ++k) {
            const int joint = (int(y * shape.joints / rings) + k) % shape.joints;
            inf.push_back({joint, 1.0 / (1 + k) + 0.01 * (v % 3)});
        }
        rig.influences.push_back(inf);
    }
    return rig;
}

inline double sceneSize(const std::vector<std::vector<double>>& frames) {
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (const auto& f : frames) {
        for (std::size_t i = 0; i < f.size(); ++i) {
            lo[i % 3] = std::min(lo[i % 3], f[i]);
            hi[i % 3] = std::max(hi[i % 3], f[i]);
        }
    }
    return std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                     (hi[2] - lo[2]) * (hi[2] - lo[2]));
}

}  // namespace vantrel::io::test
