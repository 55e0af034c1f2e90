#pragma once
// Keying the solved bone transforms onto the target joints.

#include <vector>

#include <maya/MMatrix.h>
#include <maya/MObjectArray.h>
#include <maya/MTime.h>

#include "common/decomposition_state.h"

// Cuts the target joints' incoming transform-channel connections, gives each
// keyed channel a new curve and keys the solved local matrices: at the rest
// frame from the binding matrices, at every shape frame from the bone
// transforms, each relative to the joint's parent as evaluated at that time.
// Moves the host's current time; the caller restores it.
void bakeTargetJoints(const DecompositionState& state);

// Keys one local matrix onto one joint's curves (translate, rotate and, with
// 12 curves, scale and shear) at `time`. `eulerOrder` is the joint's rotation
// order in MEulerRotation numbering; `jointOrient` the joint's orientation
// matrix, which the keyed rotation must leave room for.
void keyJointMatrix(const MMatrix& local, const MObjectArray& curves, int eulerOrder, const MMatrix& jointOrient,
                    const MTime& time);
