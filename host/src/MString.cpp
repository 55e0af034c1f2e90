#include <maya/MString.h>

#include <ostream>
#include <sstream>

MString& MString::operator+=(int value) {
    text_ += std::to_string(value);
    return *this;
}

MString& MString::operator+=(unsigned int value) {
    text_ += std::to_string(value);
    return *this;
}

MString& MString::operator+=(double value) {
    std::ostringstream out;
    out << value;
    text_ += out.str();
    return *this;
}

int MString::indexW(char c) const {
    auto pos = text_.find(c);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

MString MString::substringW(int start, int end) const {
    if (start < 0) start = 0;
    if (end >= static_cast<int>(text_.size())) end = static_cast<int>(text_.size()) - 1;
    if (end < start) return MString();
    return MString(text_.substr(start, end - start + 1).c_str());
}

MString operator+(const char* left, const MString& right) { return MString(left) + right; }

std::ostream& operator<<(std::ostream& out, const MString& text) { return out << text.asChar(); }
