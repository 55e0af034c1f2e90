#pragma once
// Function set of any node: its name and its attributes' plugs.

#include <maya/MFnBase.h>
#include <maya/MPlug.h>
#include <maya/MString.h>

class MFnDependencyNode : public MFnBase {
public:
    MFnDependencyNode() = default;
    MFnDependencyNode(const MObject& object, MStatus* ReturnStatus = NULL);

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kDependencyNode; }
#endif

    MString name(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // The node's type name ("transform", "joint", "mesh", "skinCluster",
    // "animCurve", "node").
    MString typeName(MStatus* ReturnStatus = NULL) const;
#endif

    // The plug of a static or dynamic attribute, by short or long name
    // ("tx" or "translateX"); fails with kInvalidParameter when the node has
    // no such attribute. Every plug of the headless host is networked.
    MPlug findPlug(const MString& attrName, bool wantNetworkedPlug, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    MPlug findPlug(const MString& attrName, MStatus* ReturnStatus = NULL) const;
    bool hasAttribute(const MString& name, MStatus* ReturnStatus = NULL) const;
#endif
};
