// A small plug-in of the tests' own, loaded by the host as any plug-in is. It
// registers an undoable command, hostTestAdd, that adds to the "count"
// attribute of a node, and a command without syntax, hostTestEcho, that shows
// its words. Built three times: as is, without MApiVersion
// (MNoVersionString), and with an uninitializePlugin that forgets to
// deregister (HOST_TEST_PLUGIN_KEEPS_COMMANDS).
#include <maya/MFnPlugin.h>

#include <maya/MArgDatabase.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MGlobal.h>
#include <maya/MPlug.h>
#include <maya/MPxCommand.h>
#include <maya/MSelectionList.h>
#include <maya/MSyntax.h>

namespace {

// Created at load by static initialisation, as plug-ins do.
const MString kAddName("hostTestAdd");
const MString kEchoName("hostTestEcho");

class AddCommand : public MPxCommand {
public:
    AddCommand() { MGlobal::displayInfo("hostTestAdd: created"); }
    ~AddCommand() override { MGlobal::displayInfo("hostTestAdd: destroyed"); }

    MStatus doIt(const MArgList& args) override {
        MStatus status;
        MArgDatabase parser(syntax(), args, &status);
        if (!status) return status;
        if (!parser.isFlagSet("node")) return MS::kNotFound;
        MString node;
        parser.getFlagArgument("-n", 0, node);
        int by = 1;
        if (parser.isFlagSet("-by")) parser.getFlagArgument("by", 0, by);
        double scale = 1.0;
        if (parser.isFlagSet("s")) parser.getFlagArgument("scale", 0, scale);
        bool negate = false;
        if (parser.isFlagSet("negate")) parser.getFlagArgument("neg", 0, negate);
        MStringArray objects;
        parser.getObjects(objects);

        MSelectionList list;
        status = list.add(node);
        if (!status) {
            displayError("hostTestAdd: no node " + node);
            return status;
        }
        MObject object;
        list.getDependNode(0, object);
        count_ = MFnDependencyNode(object).findPlug("count", true, &status);
        if (!status) return status;
        before_ = count_.asInt();
        after_ = before_ + (negate ? -1 : 1) * static_cast<int>(by * scale);
        return redoIt();
    }
    MStatus redoIt() override {
        count_.setInt(after_);
        setResult(after_);
        return MS::kSuccess;
    }
    MStatus undoIt() override {
        count_.setInt(before_);
        return MS::kSuccess;
    }
    bool isUndoable() const override { return true; }

private:
    MPlug count_;
    int before_ = 0;
    int after_ = 0;
};

MSyntax addSyntax() {
    MSyntax syntax;
    syntax.addFlag("n", "node", MSyntax::kString);
    syntax.addFlag("b", "by", MSyntax::kLong);
    syntax.addFlag("s", "scale", MSyntax::kDouble);
    syntax.addFlag("neg", "negate", MSyntax::kBoolean);
    syntax.setMinObjects(1);
    syntax.setMaxObjects(2);
    return syntax;
}

class EchoCommand : public MPxCommand {
public:
    ~EchoCommand() override { MGlobal::displayInfo("hostTestEcho: destroyed"); }
    MStatus doIt(const MArgList& args) override {
        MString joined;
        for (unsigned i = 0; i < args.length(); ++i) joined += (i ? "|" : "") + args.asString(i);
        displayInfo(joined);
        return MS::kSuccess;
    }
};

void* createAdd() { return new AddCommand; }
void* createEcho() { return new EchoCommand; }

}  // namespace

PLUGIN_EXPORT MStatus initializePlugin(MObject obj) {
    MFnPlugin plugin(obj, "vantrel tests", "1.0", "Any");
    MStatus status = plugin.registerCommand(kAddName, createAdd, addSyntax);
    if (!status) {
        status.perror("registerCommand");
        return status;
    }
    // A name can be registered only once.
    const MStatus again = plugin.registerCommand(kAddName, createAdd, addSyntax);
    MGlobal::displayInfo(MString("second registration: ") + (again ? "accepted" : "refused"));
    return plugin.registerCommand(kEchoName, createEcho);
}

PLUGIN_EXPORT MStatus uninitializePlugin(MObject obj) {
    MFnPlugin plugin(obj);
#ifdef HOST_TEST_PLUGIN_KEEPS_COMMANDS
    return MS::kSuccess;
#else
    MStatus status = plugin.deregisterCommand(kAddName);
    if (!status) {
        status.perror("deregisterCommand");
        return status;
    }
    return plugin.deregisterCommand(kEchoName);
#endif
}
