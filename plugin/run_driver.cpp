// The decomposition run: the alternating loop, its stop rule, the outputs and
// the clean-up that returns the host to the state it had before.
#include <omp.h>

#include <chrono>
#include <cstdint>
#include <ostream>

#include <maya/MAnimControl.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MThreadUtils.h>

#include "common/progress_log.h"
#include "input/node_lookup.h"
#include "output/joint_baking.h"
#include "output/result_writeback.h"
#include "plugin/vantrel_command.h"
#include "solver/binding_update.h"
#include "solver/bone_influence_index.h"
#include "solver/bone_solver.h"
#include "solver/reconstruction_error.h"
#include "solver/weight_solver.h"

namespace {

// A wrapping 32-bit millisecond tick; only differences are used.
uint32_t millisecondTick() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

MStatus Vantrel::runDecomposition() {
    const uint32_t startTick = millisecondTick();
    DecompositionState& state = *this;

    solver.iterationDone = 0;
    omp_set_num_threads(MThreadUtils::getNumThreads());

    for (int i = 0; i < inputs.maxIteration; ++i) {
        ++solver.iterationDone;
        const unsigned int iterationNumber = static_cast<unsigned int>(i) + 1u;
        if (i > 0) {
            if (inputs.updateRestMatrices) {
                updateBindingMatrices(state);
                logStream << "Vantrel : bindingMatrices updated" << std::endl;
            }
            logStream << "Vantrel : Iteration " << iterationNumber << " Solving Bones" << std::endl;
            solveBones(state);
        }
        logStream << "Vantrel : Iteration " << iterationNumber << " Solving Skinning" << std::endl;
        solveWeights(state, i);
        measureReconstructionError(state);
        logStream << "Vantrel : Iteration " << iterationNumber << " Error = " << solver.errorHistory.back()
                  << std::endl;

        if (inputs.maxIteration > 1) {
            if (inputs.errorPercentBreak > 0.0 && inputs.errorPercentBreak > solver.improvementHistory.back()) {
                logStream << "Vantrel : Result not improved by " << inputs.errorPercentBreak << " %, break"
                          << std::endl;
                break;
            }
            if (i == 0 || i < inputs.iterationFullSolver) rebuildBoneInfluenceIndex(inputs, solver);
        }
    }

    logStream << "Vantrel : Setting Outputs" << std::endl;
    MObject storageNode;
    findNodeByName(storageNodeName, MFn::kBase, storageNode);
    MFnDependencyNode storage(storageNode);
    writeWeights(state, storage);
    if (inputs.setMatrices) bakeTargetJoints(state);
    writeErrorAndIterationCount(state, storage);

    // Fresh records release every sampled point array and solver buffer now.
    inputs = Inputs();
    solver = SolverState();

    if (limitThreads) {
        omp_set_dynamic(1);
        omp_set_num_threads(availableCPU);
    }
    MAnimControl::setCurrentTime(savedTime);

    const uint32_t elapsedTicks = millisecondTick() - startTick;
    logStream << "Vantrel : TimeElapsed " << static_cast<double>(elapsedTicks) / 1000.0 << " sec" << std::endl;
    return MS::kSuccess;
}
