#pragma once
// The host's string: UTF-8 text owned by value.

#include <iosfwd>
#include <string>

class MString {
public:
    MString() = default;
    MString(const char* text) : text_(text ? text : "") {}  // NOLINT: implicit as in the SDK
#ifndef VANTREL_HOST_API_SUBSET
    MString(const char* text, int length) : text_(text ? std::string(text, length) : std::string()) {}
#endif
    MString(const MString&) = default;
    MString(MString&&) noexcept = default;
    MString& operator=(const MString&) = default;
    MString& operator=(MString&&) noexcept = default;
#ifndef VANTREL_HOST_API_SUBSET
    MString& operator=(const char* text) {
        text_ = text ? text : "";
        return *this;
    }
#endif

    const char* asChar() const { return text_.c_str(); }
    unsigned int length() const { return static_cast<unsigned int>(text_.size()); }
#ifndef VANTREL_HOST_API_SUBSET
    unsigned int numChars() const { return length(); }
#endif

    MString& operator+=(const MString& other) {
        text_ += other.text_;
        return *this;
    }
    MString& operator+=(const char* other) {
        text_ += other ? other : "";
        return *this;
    }
#ifndef VANTREL_HOST_API_SUBSET
    MString& operator+=(char other) {
        text_ += other;
        return *this;
    }
#endif
    MString& operator+=(int value);
    MString& operator+=(unsigned int value);
    MString& operator+=(double value);

    MString operator+(const MString& other) const { return MString(*this) += other; }
    MString operator+(const char* other) const { return MString(*this) += other; }
    MString operator+(int value) const { return MString(*this) += value; }
    MString operator+(unsigned int value) const { return MString(*this) += value; }
#ifndef VANTREL_HOST_API_SUBSET
    MString operator+(double value) const { return MString(*this) += value; }
#endif

    bool operator==(const MString& other) const { return text_ == other.text_; }
    bool operator==(const char* other) const { return text_ == (other ? other : ""); }
    bool operator!=(const MString& other) const { return !(*this == other); }
    bool operator!=(const char* other) const { return !(*this == other); }
#ifndef VANTREL_HOST_API_SUBSET
    bool operator<(const MString& other) const { return text_ < other.text_; }
#endif

#ifndef VANTREL_HOST_API_SUBSET
    int indexW(char c) const;
    MString substringW(int start, int end) const;
#endif

private:
    std::string text_;
};

MString operator+(const char* left, const MString& right);
std::ostream& operator<<(std::ostream& out, const MString& text);
