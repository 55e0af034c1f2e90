#include "plugin/vantrel_command.h"

#include <maya/MAnimControl.h>
#include <maya/MGlobal.h>

#include "input/storage_node.h"

void* Vantrel::creator() { return new Vantrel(); }

MSyntax Vantrel::newSyntax() {
    MSyntax syntax;
    syntax.setMinObjects(1);
    syntax.setMaxObjects(1);
    syntax.addFlag("sn", "storageNode", MSyntax::kString);
    return syntax;
}

MStatus Vantrel::parseArguments(const MArgList& args) {
    readyToRun_ = false;
    const MStatus status = parseStorageNode(*this, syntax(), args);
    readyToRun_ = (status == MS::kSuccess);
    return status;
}

MStatus Vantrel::doIt(const MArgList& args) {
    savedArguments_ = args;
    const MStatus status = parseArguments(args);
    if (status != MS::kSuccess) return status;
    return redoIt();
}

MStatus Vantrel::redoIt() {
    if (!readyToRun_) {
        const MStatus status = parseArguments(savedArguments_);
        if (status != MS::kSuccess) return status;
    }
    readyToRun_ = false;
    return runDecomposition();
}

MStatus Vantrel::undoIt() {
    MGlobal::displayInfo("Vantrel : Undone\n");
    return MS::kSuccess;
}
