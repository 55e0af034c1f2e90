#include <maya/MDGModifier.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

MStatus MDGModifier::connect(const MPlug& source, const MPlug& dest) {
    if (source.isNull() || dest.isNull()) return MS::kInvalidParameter;
    operations_.push_back(Operation{true, source, dest, false});
    return MS::kSuccess;
}

MStatus MDGModifier::disconnect(const MPlug& source, const MPlug& dest) {
    if (source.isNull() || dest.isNull()) return MS::kInvalidParameter;
    operations_.push_back(Operation{false, source, dest, false});
    return MS::kSuccess;
}

MStatus MDGModifier::doIt() {
    MStatus result;
    for (; nextOperation_ < operations_.size(); ++nextOperation_) {
        Operation& operation = operations_[nextOperation_];
        const PlugKey source = ObjectAccess::key(operation.source), dest = ObjectAccess::key(operation.dest);
        const std::string why =
            operation.connect ? scene().connect(source, dest) : disconnectKeepingValue(scene(), source, dest);
        operation.applied = why.empty();
        if (!operation.applied && !result.error()) result = MS::kFailure;
    }
    return result;
}

MStatus MDGModifier::undoIt() {
    for (size_t i = nextOperation_; i-- > 0;) {
        Operation& operation = operations_[i];
        if (!operation.applied) continue;
        const PlugKey source = ObjectAccess::key(operation.source), dest = ObjectAccess::key(operation.dest);
        if (operation.connect)
            scene().disconnect(source, dest);
        else
            scene().connect(source, dest);
        operation.applied = false;
    }
    nextOperation_ = 0;
    return MS::kSuccess;
}
