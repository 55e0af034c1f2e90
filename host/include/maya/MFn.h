#pragma once
// Function-set types: what an MObject is and which function sets accept it.
// A node answers hasFn for its own type and for every type it derives from
// (a joint is also a transform, a DAG node, a dependency node and a base).

class MFn {
public:
    enum Type {
        kInvalid = 0,
        kBase = 1,
        kNamedObject = 2,
        kDependencyNode = 4,
        kAnimCurve = 7,
        kDagNode = 107,
        kWorld = 108,
        kJoint = 110,
        kTransform = 111,
        kShape = 248,
        kMesh = 295,
        kComponent = 531,
        kSingleIndexedComponent = 532,
        kMeshVertComponent = 533,
        kData = 571,
        kDoubleArrayData = 573,
        kIntArrayData = 574,
        kStringArrayData = 575,
        kGeometryFilt = 671,
        kSkinClusterFilter = 672,
        kPlugin = 900,
        kLast
    };
};
