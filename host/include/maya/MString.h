#pragma once
// The host's string: UTF-8 text owned by value.

#include <iosfwd>
#include <string>

class MString {
public:
    MString() = default;
    MString(const char* text) : text_(text ? text : "") {}  // NOLINT: implicit as in the SDK
    MString(const char* text, int length) : text_(text ? std::string(text, length) : std::string()) {}
    MString(const MString&) = default;
    MString(MString&&) noexcept = default;
    MString& operator=(const MString&) = default;
    MString& operator=(MString&&) noexcept = default;
    MString& operator=(const char* text) {
        text_ = text ? text : "";
        return *this;
    }

    const char* asChar() const { return text_.c_str(); }
    unsigned int length() const { return static_cast<unsigned int>(text_.size()); }
    unsigned int numChars() const { return length(); }

    MString& operator+=(const MString& other) {
        text_ += other.text_;
        return *this;
    }
    MString& operator+=(const char* other) {
        text_ += other ? other : "";
        return *this;
    }
    MString& operator+=(char other) {
        text_ += other;
        return *this;
    }
    MString& operator+=(int value);
    MString& operator+=(unsigned int value);
    MString& operator+=(double value);

    MString operator+(const MString& other) const { return MString(*this) += other; }
    MString operator+(const char* other) const { return MString(*this) += other; }
    MString operator+(int value) const { return MString(*this) += value; }
    MString operator+(unsigned int value) const { return MString(*this) += value; }
    MString operator+(double value) const { return MString(*this) += value; }

    bool operator==(const MString& other) const { return text_ == other.text_; }
    bool operator==(const char* other) const { return text_ == (other ? other : ""); }
    bool operator!=(const MString& other) const { return !(*this == other); }
    bool operator!=(const char* other) const { return !(*this == other); }
    bool operator<(const MString& other) const { return text_ < other.text_; }

    int indexW(char c) const;
    MString substringW(int start, int end) const;

private:
    std::string text_;
};

MString operator+(const char* left, const MString& right);
std::ostream& operator<<(std::ostream& out, const MString& text);
