#pragma once
// Binding update: moves every bone's rest pivot to the weighted centroid of
// the rest positions it drives, keeping the linear part of its rest matrix.

struct DecompositionState;

// Rewrites solver.bindingMatrices; the run driver reports it. A bone with no
// listed vertices, whose listed weights sum to zero, or whose rest matrix
// (before or after the move) cannot be inverted keeps its binding matrix.
void updateBindingMatrices(DecompositionState& state);
