#include <maya/MFnAnimCurve.h>

#include <maya/MDGModifier.h>

#include <algorithm>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

MFnAnimCurve::MFnAnimCurve(const MObject& object, MStatus* ReturnStatus) {
    const MStatus status = MFnBase::setObject(object);
    if (ReturnStatus) *ReturnStatus = status;
}

MFnAnimCurve::MFnAnimCurve(const MPlug& plug, MStatus* ReturnStatus) {
    // The curve that drives the plug.
    const PlugKey* source = scene().inputOf(ObjectAccess::key(plug));
    const Node* node = source ? scene().node(source->node) : nullptr;
    const MStatus status = MFnBase::setObject(node ? ObjectAccess::nodeObject(*node) : MObject());
    if (ReturnStatus) *ReturnStatus = status;
}

MObject MFnAnimCurve::create(const MPlug& plug, MDGModifier* modifier, MStatus* ReturnStatus) {
    Scene& current = scene();
    const PlugKey key = ObjectAccess::key(plug);
    const Node* target = current.node(key.node);
    const Attribute* attribute = target ? target->findAttribute(key.attribute) : nullptr;
    const bool numeric = attribute && (attribute->type == ValueType::Double || attribute->type == ValueType::Int ||
                                       attribute->type == ValueType::Bool);
    if (!numeric || (attribute->isArray && key.index < 0) || current.hasInput(key)) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return MObject();
    }
    Node& curve = current.createNode(current.uniqueName(target->name + "_" + attribute->longName), NodeKind::AnimCurve);
    curve.curve.unit = MTime::uiUnit();
    object_ = ObjectAccess::nodeObject(curve);
    const MPlug output = ObjectAccess::plug(PlugKey{curve.id, "output", -1});
    const MStatus status =
        modifier ? modifier->connect(output, plug)
                 : (current.connect(PlugKey{curve.id, "output", -1}, key).empty() ? MStatus(MS::kSuccess)
                                                                                  : MStatus(MS::kFailure));
    setStatus(ReturnStatus, status.statusCode());
    return object_;
}

unsigned int MFnAnimCurve::addKey(const MTime& time, double value, TangentType tangentInType,
                                  TangentType tangentOutType, MAnimCurveChange*, MStatus* ReturnStatus) {
    Node* node = nodeOf(object_, MFn::kAnimCurve);
    if (!node) {
        setStatus(ReturnStatus, MS::kFailure);
        return 0;
    }
    auto& keys = node->curve.keys;
    const double t = time.as(node->curve.unit);
    auto at = std::lower_bound(keys.begin(), keys.end(), t, [](const Key& k, double v) { return k.time < v; });
    if (at != keys.end() && at->time == t) {
        at->value = value;
        at->inTangent = tangentInType;
        at->outTangent = tangentOutType;
    } else {
        at = keys.insert(at, Key{t, value, tangentInType, tangentOutType});
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return static_cast<unsigned int>(at - keys.begin());
}

unsigned int MFnAnimCurve::numKeys(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kAnimCurve);
    setStatus(ReturnStatus, node ? MS::kSuccess : MS::kFailure);
    return node ? static_cast<unsigned int>(node->curve.keys.size()) : 0u;
}

MTime MFnAnimCurve::time(unsigned int index, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kAnimCurve);
    if (!node || index >= node->curve.keys.size()) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return MTime();
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return MTime(node->curve.keys[index].time, node->curve.unit);
}

double MFnAnimCurve::value(unsigned int index, MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kAnimCurve);
    if (!node || index >= node->curve.keys.size()) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return 0.0;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return node->curve.keys[index].value;
}

MStatus MFnAnimCurve::remove(unsigned int index, MAnimCurveChange*) {
    Node* node = nodeOf(object_, MFn::kAnimCurve);
    if (!node || index >= node->curve.keys.size()) return MS::kInvalidParameter;
    node->curve.keys.erase(node->curve.keys.begin() + index);
    return MS::kSuccess;
}

MStatus MFnAnimCurve::evaluate(const MTime& atTime, double& result, MAnimCurveChange*) const {
    const Node* node = nodeOf(object_, MFn::kAnimCurve);
    if (!node) return MS::kFailure;
    result = evaluateCurve(node->curve, atTime);
    return MS::kSuccess;
}

double MFnAnimCurve::evaluate(const MTime& atTime, MStatus* ReturnStatus) const {
    double result = 0.0;
    const MStatus status = evaluate(atTime, result);
    if (ReturnStatus) *ReturnStatus = status;
    return result;
}

MFnAnimCurve::AnimCurveType MFnAnimCurve::animCurveType(MStatus* ReturnStatus) const {
    const Node* node = nodeOf(object_, MFn::kAnimCurve);
    if (!node) {
        setStatus(ReturnStatus, MS::kFailure);
        return kAnimCurveUnknown;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    // Named after what the curve drives: angles, distances or plain numbers.
    for (const PlugKey& destination : scene().outputsOf(PlugKey{node->id, "output", -1})) {
        const std::string& name = destination.attribute;
        if (name == "rx" || name == "ry" || name == "rz" || name == "jox" || name == "joy" || name == "joz")
            return kAnimCurveTA;
        if (name == "tx" || name == "ty" || name == "tz") return kAnimCurveTL;
    }
    return kAnimCurveTU;
}
