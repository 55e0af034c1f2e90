// The three array-data function sets share one implementation: a data
// object's payload holds a std::vector of the element type.
#include <maya/MFnDoubleArrayData.h>
#include <maya/MFnIntArrayData.h>
#include <maya/MFnStringArrayData.h>

#include "object_access.h"

using namespace host::detail;

namespace {

std::vector<std::string> toStd(const MStringArray& array) {
    std::vector<std::string> out;
    out.reserve(array.length());
    for (unsigned i = 0; i < array.length(); ++i) out.emplace_back(array[i].asChar());
    return out;
}
std::vector<double> toStd(const MDoubleArray& array) { return array.items(); }
std::vector<int> toStd(const MIntArray& array) { return array.items(); }

void fromStd(const std::vector<std::string>& in, MStringArray& out) {
    out.clear();
    for (const auto& text : in) out.append(MString(text.c_str()));
}
void fromStd(const std::vector<double>& in, MDoubleArray& out) { out.items() = in; }
void fromStd(const std::vector<int>& in, MIntArray& out) { out.items() = in; }

template <class Element>
std::vector<Element>* elementsOf(const MObject& object) {
    ObjectPayload* payload = ObjectAccess::payload(object);
    return payload ? std::get_if<std::vector<Element>>(&payload->value) : nullptr;
}

template <class Element, class Array>
MObject createData(const Array& in, MObject& attached, MStatus* ReturnStatus) {
    attached = ObjectAccess::dataObject(Value(toStd(in)));
    setStatus(ReturnStatus, MS::kSuccess);
    return attached;
}

template <class Element, class Array>
Array arrayOf(const MObject& object, MStatus* ReturnStatus) {
    Array out;
    const auto* elements = elementsOf<Element>(object);
    setStatus(ReturnStatus, elements ? MS::kSuccess : MS::kFailure);
    if (elements) fromStd(*elements, out);
    return out;
}

template <class Element>
unsigned lengthOf(const MObject& object, MStatus* ReturnStatus) {
    const auto* elements = elementsOf<Element>(object);
    setStatus(ReturnStatus, elements ? MS::kSuccess : MS::kFailure);
    return elements ? static_cast<unsigned>(elements->size()) : 0u;
}

template <class Element, class Array>
MStatus setData(const MObject& object, const Array& in) {
    auto* elements = elementsOf<Element>(object);
    if (!elements) return MS::kFailure;
    *elements = toStd(in);
    return MS::kSuccess;
}

}  // namespace

#define VANTREL_ARRAY_DATA_SET(Kind, Element)                                                                         \
    MFn##Kind##ArrayData::MFn##Kind##ArrayData(const MObject& object, MStatus* ReturnStatus) {                        \
        const MStatus status = MFnBase::setObject(object);                                                            \
        if (ReturnStatus) *ReturnStatus = status;                                                                     \
    }                                                                                                                 \
    MObject MFn##Kind##ArrayData::create(const M##Kind##Array& in, MStatus* ReturnStatus) {                           \
        return createData<Element>(in, object_, ReturnStatus);                                                        \
    }                                                                                                                 \
    MObject MFn##Kind##ArrayData::create(MStatus* ReturnStatus) { return create(M##Kind##Array(), ReturnStatus); }    \
    M##Kind##Array MFn##Kind##ArrayData::array(MStatus* ReturnStatus) {                                               \
        return arrayOf<Element, M##Kind##Array>(object_, ReturnStatus);                                               \
    }                                                                                                                 \
    unsigned int MFn##Kind##ArrayData::length(MStatus* ReturnStatus) const {                                          \
        return lengthOf<Element>(object_, ReturnStatus);                                                              \
    }                                                                                                                 \
    MStatus MFn##Kind##ArrayData::set(const M##Kind##Array& newArray) { return setData<Element>(object_, newArray); } \
    MStatus MFn##Kind##ArrayData::copyTo(M##Kind##Array& out) const {                                                 \
        MStatus status;                                                                                               \
        out = arrayOf<Element, M##Kind##Array>(object_, &status);                                                     \
        return status;                                                                                                \
    }

VANTREL_ARRAY_DATA_SET(Double, double)
VANTREL_ARRAY_DATA_SET(Int, int)
VANTREL_ARRAY_DATA_SET(String, std::string)
