#pragma once
// The set-up every parallel solver step runs before its one OpenMP region:
// honour the thread limit of the storage node, then let Eigen do its one-time
// initialisation before several threads use it.

#include <omp.h>

#include <Eigen/Core>

#include "common/decomposition_state.h"

inline void prepareParallelStep(const DecompositionState& state) {
    if (state.limitThreads) {
        omp_set_dynamic(0);
        omp_set_num_threads(state.usedCPU);
    }
    Eigen::initParallel();
}
