#pragma once
// The `vantrel` command: `vantrel -storageNode <node> <object>`. Every setting
// and result travels through the storage node; the object argument is
// required by the syntax but never read.

#include <maya/MArgList.h>
#include <maya/MPxCommand.h>
#include <maya/MStatus.h>
#include <maya/MSyntax.h>

#include "common/decomposition_state.h"

class Vantrel : public MPxCommand, public DecompositionState {
public:
    Vantrel() = default;
    ~Vantrel() override = default;

    // Parses the storage node (sampling the scene on the way) and runs.
    MStatus doIt(const MArgList& args) override;
    // Prints "Vantrel : Undone"; results written to the scene stay.
    MStatus undoIt() override;
    // The decomposition run. A redo after a completed run parses the saved
    // arguments again, since the run empties its records when it ends.
    MStatus redoIt() override;
    bool isUndoable() const override { return true; }

    static void* creator();
    static MSyntax newSyntax();

    MStatus parseArguments(const MArgList& args);

private:
    MStatus runDecomposition();

    MArgList savedArguments_;
    bool readyToRun_ = false;  // parsed records are in place and unused
};
