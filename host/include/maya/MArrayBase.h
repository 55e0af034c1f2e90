#pragma once
// Storage shared by the host's array classes (MIntArray, MDoubleArray, ...):
// a growable array of values addressed by unsigned index. Not an SDK class;
// each SDK array class derives from it and adds nothing but its name.

#include <vector>

#include <maya/MStatus.h>

template <class T>
class MArrayBase {
public:
    MArrayBase() = default;
    MArrayBase(unsigned int count, const T& initial = T()) : items_(count, initial) {}
    MArrayBase(const T* source, unsigned int count) : items_(source, source + count) {}

    unsigned int length() const { return static_cast<unsigned int>(items_.size()); }
    MStatus setLength(unsigned int count) {
        items_.resize(count);
        return MStatus::kSuccess;
    }
    MStatus append(const T& value) {
        items_.push_back(value);
        return MStatus::kSuccess;
    }
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
    MStatus clear() {
        items_.clear();
        return MStatus::kSuccess;
    }
    const T& operator[](unsigned int index) const { return items_[index]; }
    T& operator[](unsigned int index) { return items_[index]; }

    // Not in the SDK: direct access for the host's own code and for tests.
    const std::vector<T>& items() const { return items_; }
    std::vector<T>& items() { return items_; }
    bool operator==(const MArrayBase& other) const { return items_ == other.items_; }
    bool operator!=(const MArrayBase& other) const { return items_ != other.items_; }

private:
    std::vector<T> items_;
};
