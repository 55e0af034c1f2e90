#include <maya/MPlug.h>

#include <cmath>
#include <limits>

#include <maya/MPlugArray.h>

#include "evaluation.h"
#include "object_access.h"

using namespace host::detail;

namespace {

const Attribute* attributeOf(const PlugKey& key, Node** owner = nullptr) {
    Node* node = scene().node(key.node);
    if (owner) *owner = node;
    return node ? node->findAttribute(key.attribute) : nullptr;
}

bool read(const MPlug& plug, Value& value, MStatus* ReturnStatus) {
    if (!evaluatePlug(scene(), ObjectAccess::key(plug), value)) {
        setStatus(ReturnStatus, MS::kFailure);
        return false;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return true;
}

bool readNumber(const MPlug& plug, double& number, MStatus* ReturnStatus) {
    Value value;
    if (!read(plug, value, ReturnStatus)) return false;
    if (auto* i = std::get_if<int>(&value))
        number = *i;
    else if (auto* b = std::get_if<bool>(&value))
        number = *b ? 1.0 : 0.0;
    else if (auto* d = std::get_if<double>(&value))
        number = *d;
    else {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return false;
    }
    return true;
}

// Stores a value into the plug's attribute or element, converting numbers to
// the attribute's type.
MStatus write(const MPlug& plug, Value value) {
    const PlugKey key = ObjectAccess::key(plug);
    Node* node = nullptr;
    Attribute* attribute = const_cast<Attribute*>(attributeOf(key, &node));
    if (!attribute || attribute->type == ValueType::Compound) return MS::kFailure;
    if (attribute->isArray != (key.index >= 0)) return MS::kFailure;
    if (node->kind == NodeKind::AnimCurve && attribute->name == "output") return MS::kFailure;
    if (scene().hasInput(key)) return MS::kFailure;
    if (!attribute->parent.empty() && scene().hasInput(PlugKey{key.node, attribute->parent, -1})) return MS::kFailure;
    const ValueType given = valueTypeOf(value);
    const bool givenNumber = given == ValueType::Int || given == ValueType::Bool || given == ValueType::Double;
    const bool wantNumber =
        attribute->type == ValueType::Int || attribute->type == ValueType::Bool || attribute->type == ValueType::Double;
    if (given != attribute->type) {
        if (!(givenNumber && wantNumber)) return MS::kInvalidParameter;
        double number = 0.0;
        if (auto* i = std::get_if<int>(&value))
            number = *i;
        else if (auto* b = std::get_if<bool>(&value))
            number = *b ? 1.0 : 0.0;
        else
            number = std::get<double>(value);
        if (attribute->type == ValueType::Double)
            value = number;
        else if (attribute->type == ValueType::Bool)
            value = number != 0.0;
        else {
            if (!(std::fabs(number) < 2147483648.0)) return MS::kInvalidParameter;
            value = static_cast<int>(number);
        }
    }
    if (attribute->isArray)
        attribute->elements[static_cast<unsigned>(key.index)] = std::move(value);
    else
        attribute->value = std::move(value);
    return MS::kSuccess;
}

}  // namespace

bool MPlug::isNull(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, MS::kSuccess);
    return node_ == 0;
}

MObject MPlug::node(MStatus* ReturnStatus) const {
    const Node* owner = scene().node(node_);
    setStatus(ReturnStatus, owner ? MS::kSuccess : MS::kFailure);
    return owner ? ObjectAccess::nodeObject(*owner) : MObject();
}

MString MPlug::name(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, node_ ? MS::kSuccess : MS::kFailure);
    return node_ ? MString(scene().plugName(ObjectAccess::key(*this)).c_str()) : MString();
}

MString MPlug::partialName(MStatus* ReturnStatus) const {
    setStatus(ReturnStatus, node_ ? MS::kSuccess : MS::kFailure);
    return attribute_;
}

int MPlug::asInt(MStatus* ReturnStatus) const {
    double number = 0.0;
    if (!readNumber(*this, number, ReturnStatus)) return 0;
    if (!(std::fabs(number) < 2147483648.0)) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return 0;
    }
    return static_cast<int>(number);
}

bool MPlug::asBool(MStatus* ReturnStatus) const {
    double number = 0.0;
    return readNumber(*this, number, ReturnStatus) && number != 0.0;
}

double MPlug::asDouble(MStatus* ReturnStatus) const {
    double number = 0.0;
    return readNumber(*this, number, ReturnStatus) ? number : 0.0;
}

float MPlug::asFloat(MStatus* ReturnStatus) const { return static_cast<float>(asDouble(ReturnStatus)); }

MString MPlug::asString(MStatus* ReturnStatus) const {
    Value value;
    if (!read(*this, value, ReturnStatus)) return MString();
    if (auto* text = std::get_if<std::string>(&value)) return MString(text->c_str());
    setStatus(ReturnStatus, MS::kInvalidParameter);
    return MString();
}

MObject MPlug::asMObject(MStatus* ReturnStatus) const {
    Value value;
    if (!read(*this, value, ReturnStatus)) return MObject();
    const ValueType type = valueTypeOf(value);
    if (type != ValueType::DoubleArray && type != ValueType::IntArray && type != ValueType::StringArray) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return MObject();
    }
    return ObjectAccess::dataObject(std::move(value));
}

MStatus MPlug::setInt(int value) { return write(*this, value); }
MStatus MPlug::setBool(bool value) { return write(*this, value); }
MStatus MPlug::setDouble(double value) { return write(*this, value); }
MStatus MPlug::setFloat(float value) { return write(*this, static_cast<double>(value)); }
MStatus MPlug::setString(const MString& value) { return write(*this, std::string(value.asChar())); }
MStatus MPlug::setMObject(MObject& value) { return setMObject(static_cast<const MObject&>(value)); }

MStatus MPlug::setMObject(const MObject& value) {
    const ObjectPayload* payload = value.hasFn(MFn::kData) ? ObjectAccess::payload(value) : nullptr;
    if (!payload) return MS::kInvalidParameter;
    return write(*this, payload->value);
}

bool MPlug::isArray(MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    setStatus(ReturnStatus, attribute ? MS::kSuccess : MS::kFailure);
    return attribute && attribute->isArray && index_ < 0;
}

bool MPlug::isElement(MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    setStatus(ReturnStatus, attribute ? MS::kSuccess : MS::kFailure);
    return attribute && index_ >= 0;
}

unsigned int MPlug::numElements(MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    if (!attribute || !attribute->isArray || index_ >= 0) {
        setStatus(ReturnStatus, MS::kFailure);
        return 0;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return static_cast<unsigned int>(attribute->elements.size());
}

unsigned int MPlug::logicalIndex(MStatus* ReturnStatus) const {
    if (index_ < 0 || !attributeOf(ObjectAccess::key(*this))) {
        setStatus(ReturnStatus, MS::kFailure);
        return 0;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return static_cast<unsigned int>(index_);
}

MPlug MPlug::elementByLogicalIndex(unsigned int logicalIndex, MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    if (!attribute || !attribute->isArray || index_ >= 0) {
        setStatus(ReturnStatus, MS::kFailure);
        return MPlug();
    }
    setStatus(ReturnStatus, MS::kSuccess);
    MPlug element = *this;
    element.index_ = logicalIndex;
    return element;
}

MPlug MPlug::elementByPhysicalIndex(unsigned int physicalIndex, MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    if (!attribute || !attribute->isArray || index_ >= 0 || physicalIndex >= attribute->elements.size()) {
        setStatus(ReturnStatus, MS::kFailure);
        return MPlug();
    }
    auto it = attribute->elements.begin();
    std::advance(it, physicalIndex);
    return elementByLogicalIndex(it->first, ReturnStatus);
}

unsigned int MPlug::numChildren(MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    setStatus(ReturnStatus, attribute ? MS::kSuccess : MS::kFailure);
    return attribute ? static_cast<unsigned int>(attribute->children.size()) : 0;
}

MPlug MPlug::child(unsigned int index, MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    if (!attribute || index >= attribute->children.size()) {
        setStatus(ReturnStatus, MS::kInvalidParameter);
        return MPlug();
    }
    setStatus(ReturnStatus, MS::kSuccess);
    return ObjectAccess::plug(PlugKey{node_, attribute->children[index], -1});
}

bool MPlug::connectedTo(MPlugArray& array, bool asDst, bool asSrc, MStatus* ReturnStatus) const {
    array.clear();
    const PlugKey key = ObjectAccess::key(*this);
    if (!attributeOf(key)) {
        setStatus(ReturnStatus, MS::kFailure);
        return false;
    }
    setStatus(ReturnStatus, MS::kSuccess);
    if (asDst) {
        if (const PlugKey* source = scene().inputOf(key)) array.append(ObjectAccess::plug(*source));
    }
    if (asSrc) {
        for (const PlugKey& destination : scene().outputsOf(key)) array.append(ObjectAccess::plug(destination));
    }
    return array.length() > 0;
}

bool MPlug::isConnected(MStatus* ReturnStatus) const {
    MPlugArray connected;
    return connectedTo(connected, true, true, ReturnStatus);
}

bool MPlug::isKeyable(MStatus* ReturnStatus) const {
    const Attribute* attribute = attributeOf(ObjectAccess::key(*this));
    setStatus(ReturnStatus, attribute ? MS::kSuccess : MS::kFailure);
    return attribute && attribute->keyable;
}

MStatus MPlug::setKeyable(bool keyable) {
    Attribute* attribute = const_cast<Attribute*>(attributeOf(ObjectAccess::key(*this)));
    if (!attribute) return MS::kFailure;
    attribute->keyable = keyable;
    return MS::kSuccess;
}

bool MPlug::operator==(const MPlug& other) const {
    return node_ == other.node_ && attribute_ == other.attribute_ && index_ == other.index_;
}
