#pragma once
// The direct implementation of the solver steps, kept as the reference of the
// benchmark and the tests: it forms every product and design matrix where it
// is used and walks the weight maps inside its loops. The fast steps of
// solver/ must give the same results up to rounding; the benchmark times and
// checks both, the tests check them.

struct DecompositionState;

namespace reference {

void solveWeights(DecompositionState& state, int iteration);
void solveBones(DecompositionState& state);
void updateBindingMatrices(DecompositionState& state);
// The error measureReconstructionError appends, without appending it.
double reconstructionError(const DecompositionState& state);
void measureReconstructionError(DecompositionState& state);
void rebuildBoneInfluenceIndex(DecompositionState& state);

}  // namespace reference
