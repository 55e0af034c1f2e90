// Storage shared by the host's array classes (MIntArray, MDoubleArray, ...):
// a growable array of values addressed by unsigned index. Not an SDK class;
// each SDK array class derives from it and adds nothing but its name.
//
// Include guard rather than #pragma once: in the plug-in's API check
// (VANTREL_HOST_API_SUBSET) every inclusion from outside an array header is
// refused, and the class moves out of the global namespace, so plug-in code
// can neither include nor name it.

#if defined(VANTREL_HOST_API_SUBSET) && !defined(VANTREL_HOST_ARRAY_CLASS)
#error "<maya/MArrayBase.h> is not part of the host API: include the array class's own header"
#endif

#ifndef VANTREL_MAYA_MARRAYBASE_H
#define VANTREL_MAYA_MARRAYBASE_H

#include <vector>

#include <maya/MStatus.h>

#ifdef VANTREL_HOST_API_SUBSET
namespace vantrel_host_internal {
#endif

template <class T>
class MArrayBase {
public:
    MArrayBase() = default;
#ifndef VANTREL_HOST_API_SUBSET
    MArrayBase(unsigned int count, const T& initial = T()) : items_(count, initial) {}
    MArrayBase(const T* source, unsigned int count) : items_(source, source + count) {}
#endif

    unsigned int length() const { return static_cast<unsigned int>(items_.size()); }
    MStatus setLength(unsigned int count) {
        items_.resize(count);
        return MStatus::kSuccess;
    }
    MStatus append(const T& value) {
        items_.push_back(value);
        return MStatus::kSuccess;
    }
#ifndef VANTREL_HOST_API_SUBSET
    MStatus insert(const T& value, unsigned int index) {
        if (index > items_.size()) return MStatus::kFailure;
        items_.insert(items_.begin() + index, value);
        return MStatus::kSuccess;
    }
    MStatus remove(unsigned int index) {
        if (index >= items_.size()) return MStatus::kFailure;
        items_.erase(items_.begin() + index);
        return MStatus::kSuccess;
    }
    MStatus set(const T& value, unsigned int index) {
        if (index >= items_.size()) return MStatus::kFailure;
        items_[index] = value;
        return MStatus::kSuccess;
    }
#endif
    MStatus clear() {
        items_.clear();
        return MStatus::kSuccess;
    }
    const T& operator[](unsigned int index) const { return items_[index]; }
    T& operator[](unsigned int index) { return items_[index]; }

#ifndef VANTREL_HOST_API_SUBSET
    // Not in the SDK: direct access for the host's own code and for tests.
    const std::vector<T>& items() const { return items_; }
    std::vector<T>& items() { return items_; }
    bool operator==(const MArrayBase& other) const { return items_ == other.items_; }
    bool operator!=(const MArrayBase& other) const { return items_ != other.items_; }
#endif

private:
    std::vector<T> items_;
};

#ifdef VANTREL_HOST_API_SUBSET
}  // namespace vantrel_host_internal
#define VANTREL_HOST_ARRAY_BASE(T) vantrel_host_internal::MArrayBase<T>
#else
#define VANTREL_HOST_ARRAY_BASE(T) MArrayBase<T>
#endif

#endif  // VANTREL_MAYA_MARRAYBASE_H
