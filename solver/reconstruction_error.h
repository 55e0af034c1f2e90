#pragma once
// Reconstruction error: the rig's root-mean-square error per coordinate over
// all used vertices, axes and shapes, times 1000 over inputs.diagonalSum.

struct DecompositionState;

// Appends the error to solver.errorHistory and its change against the
// previous entry, in percent (1.0 on the first call), to
// solver.improvementHistory. Sums are taken over fixed blocks of vertices and
// added in block order, so the result does not depend on the thread count.
void measureReconstructionError(DecompositionState& state);
