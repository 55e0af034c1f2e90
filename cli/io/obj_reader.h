// Wavefront OBJ: one file (one frame, or the topology of a point cache) and
// sequences of files with one topology (one frame per file).
//
// Only "v", "vt" and "f" records matter; polygons are triangulated as fans
// from their first corner; negative (relative) indices are resolved; each
// vertex takes the uv of the first face corner that uses it (no vertex is
// split). A sequence's files must all have the vertex count and faces of the
// first file.
#pragma once

#include <string>
#include <vector>

#include "cli/io/mesh_animation.h"

namespace vantrel::io {

struct ObjMesh {
    std::vector<double> positions;  // 3 per vertex
    std::vector<std::array<int, 3>> triangles;
    std::vector<double> uvs;  // 2 per vertex, or empty when no face uses a "vt"
    int vertexCount() const { return static_cast<int>(positions.size() / 3); }
};

ObjMesh readObj(const std::string& path);

// One OBJ file as a one-frame animation.
MeshAnimation readObjAnimation(const std::string& path, const ReadOptions& options = {});

// The files a sequence names, sorted naturally ("f2" before "f10"): every
// .obj file of a directory, or the files matching a pattern whose file name
// part has either one printf-style integer ("walk_%04d.obj", "walk_%d.obj")
// or glob wildcards ("walk_*.obj", "walk_??.obj"). Throws ReadError when none
// match.
std::vector<std::string> listObjSequence(const std::string& directoryOrPattern);

MeshAnimation readObjSequence(const std::string& directoryOrPattern, const ReadOptions& options = {});

// Gives `anim` the faces and uvs of an OBJ file whose vertex count must match
// and, with `asBindPose`, its positions as anim.topologyBindPose.
void applyObjTopology(MeshAnimation& anim, const std::string& objPath, bool asBindPose = false);

// True when `a` sorts before `b` with digit runs compared as numbers.
bool naturalLess(const std::string& a, const std::string& b);

}  // namespace vantrel::io
