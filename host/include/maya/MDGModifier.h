#pragma once
// Queued graph edits: connect and disconnect are only recorded; doIt applies
// the operations not applied yet, in order, and undoIt reverts the applied ones
// in reverse order. A disconnected destination keeps the value it read at the
// moment of the disconnection, as in the host.

#include <vector>

#include <maya/MPlug.h>
#include <maya/MStatus.h>

class MDGModifier {
public:
    MDGModifier() = default;
    virtual ~MDGModifier() = default;

    MStatus connect(const MPlug& source, const MPlug& dest);
    MStatus disconnect(const MPlug& source, const MPlug& dest);
    // Applies the queued operations; returns the first failure, if any, after
    // trying them all.
    MStatus doIt();
    MStatus undoIt();

private:
    struct Operation {
        bool connect;
        MPlug source;
        MPlug dest;
        bool applied;
    };
    std::vector<Operation> operations_;
    size_t nextOperation_ = 0;
};
