#pragma once
// One attribute of one node, or one element (by logical index) of an array
// attribute. Reads evaluate at the host's current time: a connected
// destination reads its source (an animation curve gives its value at the
// current time). Angles (rx, ry, rz, jox, ...) are in radians.

#include <maya/MObject.h>
#include <maya/MStatus.h>
#include <maya/MString.h>

class MPlugArray;

class MPlug {
public:
    MPlug() = default;

    bool isNull(MStatus* ReturnStatus = NULL) const;
    MObject node(MStatus* ReturnStatus = NULL) const;
    // "node.attribute" or "node.attribute[index]".
    MString name(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // The attribute's name (short form as the plug was found).
    MString partialName(MStatus* ReturnStatus = NULL) const;
#endif

    // Readers convert between int, bool and double; a string or data
    // attribute only reads as its own type. Reading an array plug itself
    // (not one of its elements) fails.
    int asInt(MStatus* ReturnStatus = NULL) const;
    bool asBool(MStatus* ReturnStatus = NULL) const;
    double asDouble(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    float asFloat(MStatus* ReturnStatus = NULL) const;
#endif
    MString asString(MStatus* ReturnStatus = NULL) const;
    // A data object (kDoubleArrayData, kIntArrayData, kStringArrayData) holding
    // a copy of the value; an unset data attribute gives an empty array.
    MObject asMObject(MStatus* ReturnStatus = NULL) const;

    // Writers fail on an array plug itself and on a destination that has an
    // input connection. Writing an element creates it.
    MStatus setInt(int value);
    MStatus setBool(bool value);
    MStatus setDouble(double value);
#ifndef VANTREL_HOST_API_SUBSET
    MStatus setFloat(float value);
#endif
    MStatus setString(const MString& value);
    MStatus setMObject(MObject& value);
#ifndef VANTREL_HOST_API_SUBSET
    MStatus setMObject(const MObject& value);
#endif

    bool isArray(MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    bool isElement(MStatus* ReturnStatus = NULL) const;
#endif
    // Number of existing elements of an array plug.
    unsigned int numElements(MStatus* ReturnStatus = NULL) const;
    // Logical index of an element plug; fails on other plugs.
    unsigned int logicalIndex(MStatus* ReturnStatus = NULL) const;
    // The element at a logical index, existing or not (a write creates it).
    MPlug elementByLogicalIndex(unsigned int logicalIndex, MStatus* ReturnStatus = NULL) const;
#ifndef VANTREL_HOST_API_SUBSET
    // The i-th existing element in increasing logical index order.
    MPlug elementByPhysicalIndex(unsigned int physicalIndex, MStatus* ReturnStatus = NULL) const;
    // For compound plugs (t, r, s, sh, jo): the child plug (tx, ty, tz, ...).
    unsigned int numChildren(MStatus* ReturnStatus = NULL) const;
    MPlug child(unsigned int index, MStatus* ReturnStatus = NULL) const;
#endif

    // Plugs connected to this one: its source when asDst, its destinations
    // when asSrc. Returns whether there is any.
    bool connectedTo(MPlugArray& array, bool asDst, bool asSrc, MStatus* ReturnStatus = NULL) const;
    bool isConnected(MStatus* ReturnStatus = NULL) const;
    bool isKeyable(MStatus* ReturnStatus = NULL) const;
    MStatus setKeyable(bool keyable);

#ifndef VANTREL_HOST_API_SUBSET
    // Same node, attribute and element.
    bool operator==(const MPlug& other) const;
    bool operator!=(const MPlug& other) const { return !(*this == other); }
#endif

private:
    friend struct host::detail::ObjectAccess;
    unsigned long long node_ = 0;  // 0: null plug
    MString attribute_;            // canonical (short) attribute name
    long long index_ = -1;         // logical index of an element, else -1
};
