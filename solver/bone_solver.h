#pragma once
// Bone step: with the weights fixed, refits every bone's transform per shape,
// rigid or affine as inputs.rigidMatrices says.

struct DecompositionState;

// Rewrites solver.boneTransforms. Shapes run in parallel; within a shape the
// bones are refitted in ascending order, each against the bones already
// refitted (Gauss-Seidel). A bone with no listed vertices or a listed weight
// sum below 1e-7 keeps its transforms.
void solveBones(DecompositionState& state);
