// Command syntax, argument lists and their parsing.
#include <maya/MArgList.h>
#include <maya/MArgParser.h>
#include <maya/MSyntax.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

std::string withoutDash(const char* name) {
    std::string text = name ? name : "";
    if (!text.empty() && text[0] == '-') text.erase(0, 1);
    return text;
}

bool parseLong(const std::string& word, long& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(word.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && value >= -2147483648L && value <= 2147483647L;
}

bool parseDouble(const std::string& word, double& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = std::strtod(word.c_str(), &end);
    return *end == '\0';
}

bool parseBool(const std::string& word, bool& value) {
    if (word == "on" || word == "true" || word == "yes" || word == "1") return value = true, true;
    if (word == "off" || word == "false" || word == "no" || word == "0") return value = false, true;
    return false;
}

// A word that names a flag: a dash followed by a letter (so "-5" and "-.5"
// stay numbers).
bool looksLikeFlag(const std::string& word) {
    return word.size() > 1 && word[0] == '-' &&
           ((word[1] >= 'a' && word[1] <= 'z') || (word[1] >= 'A' && word[1] <= 'Z'));
}

const char* typeWord(MSyntax::MArgType type) {
    switch (type) {
        case MSyntax::kBoolean: return "a boolean";
        case MSyntax::kLong: return "an integer";
        case MSyntax::kUnsigned: return "an unsigned integer";
        case MSyntax::kDouble:
        case MSyntax::kDistance:
        case MSyntax::kAngle:
        case MSyntax::kTime: return "a number";
        default: return "a string";
    }
}

bool matchesType(const std::string& word, MSyntax::MArgType type) {
    long integer = 0;
    double number = 0.0;
    bool flag = false;
    switch (type) {
        case MSyntax::kBoolean: return parseBool(word, flag);
        case MSyntax::kLong: return parseLong(word, integer);
        case MSyntax::kUnsigned: return parseLong(word, integer) && integer >= 0;
        case MSyntax::kDouble:
        case MSyntax::kDistance:
        case MSyntax::kAngle:
        case MSyntax::kTime: return parseDouble(word, number);
        default: return true;
    }
}

}  // namespace

// --- MSyntax ------------------------------------------------------------------

MStatus MSyntax::addFlag(const char* shortName, const char* longName, MArgType argType1, MArgType argType2,
                         MArgType argType3, MArgType argType4, MArgType argType5, MArgType argType6) {
    Flag flag;
    flag.shortName = withoutDash(shortName);
    flag.longName = withoutDash(longName);
    if (flag.shortName.empty() || flag.longName.empty() || findFlag(flag.shortName.c_str()) ||
        findFlag(flag.longName.c_str()))
        return MS::kInvalidParameter;
    for (MArgType type : {argType1, argType2, argType3, argType4, argType5, argType6}) {
        if (type == kNoArg) break;
        if (type <= kNoArg || type >= kLastArgType) return MS::kInvalidParameter;
        flag.argumentTypes.push_back(type);
    }
    flags_.push_back(flag);
    return MS::kSuccess;
}

void MSyntax::setMinObjects(unsigned int minimumObjectCount) { minObjects_ = minimumObjectCount; }
void MSyntax::setMaxObjects(unsigned int maximumObjectCount) { maxObjects_ = maximumObjectCount; }

const MSyntax::Flag* MSyntax::findFlag(const char* name) const {
    const std::string wanted = withoutDash(name);
    for (const Flag& flag : flags_)
        if (flag.shortName == wanted || flag.longName == wanted) return &flag;
    return nullptr;
}

// --- MArgList -------------------------------------------------------------------

unsigned int MArgList::length(MStatus* ReturnStatus) const {
    if (ReturnStatus) *ReturnStatus = MS::kSuccess;
    return static_cast<unsigned int>(words_.size());
}

MString MArgList::asString(unsigned int index, MStatus* ReturnStatus) const {
    if (index >= words_.size()) {
        if (ReturnStatus) *ReturnStatus = MS::kInvalidParameter;
        return MString();
    }
    if (ReturnStatus) *ReturnStatus = MS::kSuccess;
    return words_[index];
}

int MArgList::asInt(unsigned int index, MStatus* ReturnStatus) const {
    long value = 0;
    const bool ok = index < words_.size() && parseLong(words_[index].asChar(), value);
    if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
    return ok ? static_cast<int>(value) : 0;
}

double MArgList::asDouble(unsigned int index, MStatus* ReturnStatus) const {
    double value = 0.0;
    const bool ok = index < words_.size() && parseDouble(words_[index].asChar(), value);
    if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
    return ok ? value : 0.0;
}

bool MArgList::asBool(unsigned int index, MStatus* ReturnStatus) const {
    bool value = false;
    const bool ok = index < words_.size() && parseBool(words_[index].asChar(), value);
    if (ReturnStatus) *ReturnStatus = ok ? MS::kSuccess : MS::kInvalidParameter;
    return ok && value;
}

MArgList& MArgList::addArg(const MString& arg) {
    words_.push_back(arg);
    return *this;
}
MArgList& MArgList::addArg(const char* arg) { return addArg(MString(arg)); }
MArgList& MArgList::addArg(int arg) { return addArg(MString() + arg); }
MArgList& MArgList::addArg(double arg) { return addArg(MString() + arg); }
MArgList& MArgList::addArg(bool arg) { return addArg(MString(arg ? "true" : "false")); }

// --- MArgParser -----------------------------------------------------------------

MArgParser::MArgParser(const MSyntax& syntax, const MArgList& argList, MStatus* ReturnStatus) {
    const unsigned count = argList.length();
    auto fail = [&](const std::string& text) {
        error_ = text;
        used_.clear();
        objects_.clear();
        return false;
    };
    const bool parsed = [&]() {
        unsigned i = 0;
        while (i < count) {
            const std::string word = argList.asString(i).asChar();
            if (!looksLikeFlag(word)) break;
            const MSyntax::Flag* flag = syntax.findFlag(word.c_str());
            if (!flag) return fail("Invalid flag '" + word + "'");
            if (used(word.c_str())) return fail("Flag '" + word + "' is given more than once");
            UsedFlag entry{flag->shortName, flag->longName, {}};
            ++i;
            for (size_t a = 0; a < flag->argumentTypes.size(); ++a, ++i) {
                if (i >= count)
                    return fail("Flag '" + word + "' needs " + std::to_string(flag->argumentTypes.size()) +
                                " argument(s)");
                const std::string argument = argList.asString(i).asChar();
                if (!matchesType(argument, flag->argumentTypes[a]))
                    return fail("Flag '" + word + "' expects " + typeWord(flag->argumentTypes[a]) + ", not '" +
                                argument + "'");
                entry.arguments.push_back(MString(argument.c_str()));
            }
            used_.push_back(entry);
        }
        for (; i < count; ++i) {
            const std::string word = argList.asString(i).asChar();
            if (looksLikeFlag(word) && syntax.findFlag(word.c_str()))
                return fail("Flag '" + word + "' must come before the objects");
            objects_.append(MString(word.c_str()));
        }
        if (objects_.length() < syntax.minObjects())
            return fail("Too few objects: " + std::to_string(objects_.length()) + " given, at least " +
                        std::to_string(syntax.minObjects()) + " needed");
        if (objects_.length() > syntax.maxObjects())
            return fail("Too many objects: " + std::to_string(objects_.length()) + " given, at most " +
                        std::to_string(syntax.maxObjects()) + " allowed");
        return true;
    }();
    if (ReturnStatus) *ReturnStatus = parsed ? MS::kSuccess : MS::kInvalidParameter;
}

const MArgParser::UsedFlag* MArgParser::used(const char* flag) const {
    const std::string wanted = withoutDash(flag);
    for (const UsedFlag& entry : used_)
        if (entry.shortName == wanted || entry.longName == wanted) return &entry;
    return nullptr;
}

bool MArgParser::isFlagSet(const char* flag, MStatus* ReturnStatus) const {
    if (ReturnStatus) *ReturnStatus = MS::kSuccess;
    return used(flag) != nullptr;
}

MStatus MArgParser::getFlagArgument(const char* flag, unsigned int index, MString& result) const {
    const UsedFlag* entry = used(flag);
    if (!entry || index >= entry->arguments.size()) return MS::kInvalidParameter;
    result = entry->arguments[index];
    return MS::kSuccess;
}

MStatus MArgParser::getFlagArgument(const char* flag, unsigned int index, int& result) const {
    MString word;
    long value = 0;
    if (!getFlagArgument(flag, index, word) || !parseLong(word.asChar(), value)) return MS::kInvalidParameter;
    result = static_cast<int>(value);
    return MS::kSuccess;
}

MStatus MArgParser::getFlagArgument(const char* flag, unsigned int index, double& result) const {
    MString word;
    if (!getFlagArgument(flag, index, word) || !parseDouble(word.asChar(), result)) return MS::kInvalidParameter;
    return MS::kSuccess;
}

MStatus MArgParser::getFlagArgument(const char* flag, unsigned int index, bool& result) const {
    MString word;
    if (!getFlagArgument(flag, index, word) || !parseBool(word.asChar(), result)) return MS::kInvalidParameter;
    return MS::kSuccess;
}

MStatus MArgParser::getFlagArgument(const char* flag, unsigned int index, unsigned int& result) const {
    MString word;
    long value = 0;
    if (!getFlagArgument(flag, index, word) || !parseLong(word.asChar(), value) || value < 0)
        return MS::kInvalidParameter;
    result = static_cast<unsigned int>(value);
    return MS::kSuccess;
}

MString MArgParser::flagArgumentString(const char* flag, unsigned int index, MStatus* ReturnStatus) const {
    MString result;
    const MStatus status = getFlagArgument(flag, index, result);
    if (ReturnStatus) *ReturnStatus = status;
    return result;
}

int MArgParser::flagArgumentInt(const char* flag, unsigned int index, MStatus* ReturnStatus) const {
    int result = 0;
    const MStatus status = getFlagArgument(flag, index, result);
    if (ReturnStatus) *ReturnStatus = status;
    return result;
}

double MArgParser::flagArgumentDouble(const char* flag, unsigned int index, MStatus* ReturnStatus) const {
    double result = 0.0;
    const MStatus status = getFlagArgument(flag, index, result);
    if (ReturnStatus) *ReturnStatus = status;
    return result;
}

bool MArgParser::flagArgumentBool(const char* flag, unsigned int index, MStatus* ReturnStatus) const {
    bool result = false;
    const MStatus status = getFlagArgument(flag, index, result);
    if (ReturnStatus) *ReturnStatus = status;
    return result;
}

MStatus MArgParser::getObjects(MStringArray& result) const {
    result = objects_;
    return MS::kSuccess;
}
