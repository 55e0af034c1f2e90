#pragma once
// Function set of animation curves: keys (time, value) whose output drives the
// plug they are connected to. The headless host interpolates linearly between
// keys whatever the tangent types, and holds the first and last values outside
// the keyed range.

#include <maya/MAnimCurveChange.h>
#include <maya/MFnDependencyNode.h>
#include <maya/MPlug.h>
#include <maya/MTime.h>

class MDGModifier;

class MFnAnimCurve : public MFnDependencyNode {
public:
    enum AnimCurveType {
        kAnimCurveTA = 0,
        kAnimCurveTL,
        kAnimCurveTT,
        kAnimCurveTU,
        kAnimCurveUA,
        kAnimCurveUL,
        kAnimCurveUT,
        kAnimCurveUU,
        kAnimCurveUnknown
    };
    enum TangentType {
        kTangentGlobal = 0,
        kTangentFixed,
        kTangentLinear,
        kTangentFlat,
        kTangentSmooth,
        kTangentStep,
        kTangentSlow,
        kTangentFast,
        kTangentClamped,
        kTangentPlateau,
        kTangentStepNext
    };

    MFnAnimCurve() = default;
    MFnAnimCurve(const MObject& object, MStatus* ReturnStatus = NULL);
#ifndef VANTREL_HOST_API_SUBSET
    MFnAnimCurve(const MPlug& plug, MStatus* ReturnStatus = NULL);
#endif

#ifndef VANTREL_HOST_API_SUBSET
    MFn::Type type() const override { return MFn::kAnimCurve; }
#endif

    // Creates a curve node and connects its output to the plug (through the
    // modifier when one is given: the connection then waits for its doIt).
    // Fails with kInvalidParameter when the plug already has an input.
    MObject create(const MPlug& plug, MDGModifier* modifier = NULL, MStatus* ReturnStatus = NULL);

    // Adds a key and returns its index in time order. A key already at that
    // time takes the new value.
    unsigned int addKey(const MTime& time, double value, TangentType tangentInType = kTangentGlobal,
                        TangentType tangentOutType = kTangentGlobal, MAnimCurveChange* change = NULL,
                        MStatus* ReturnStatus = NULL);
    unsigned int numKeys(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int numKeyframes(MStatus* ReturnStatus = NULL) const { return numKeys(ReturnStatus); }
    MTime time(unsigned int index, MStatus* ReturnStatus = NULL) const;
    double value(unsigned int index, MStatus* ReturnStatus = NULL) const;
    MStatus remove(unsigned int index, MAnimCurveChange* change = NULL);
#endif
    MStatus evaluate(const MTime& atTime, double& value, MAnimCurveChange* change = NULL) const;
    double evaluate(const MTime& atTime, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    AnimCurveType animCurveType(MStatus* ReturnStatus = NULL) const;
#endif
};
