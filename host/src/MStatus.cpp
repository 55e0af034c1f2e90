#include <maya/MStatus.h>

#include <cstdio>

namespace {
const char* codeText(MStatus::MStatusCode code) {
    switch (code) {
        case MStatus::kSuccess: return "(kSuccess): No error";
        case MStatus::kFailure: return "(kFailure): Unexpected Internal Failure";
        case MStatus::kInsufficientMemory: return "(kInsufficientMemory): Insufficient Memory";
        case MStatus::kInvalidParameter: return "(kInvalidParameter): Invalid Parameter";
        case MStatus::kLicenseFailure: return "(kLicenseFailure): License Failure";
        case MStatus::kUnknownParameter: return "(kUnknownParameter): Unknown Parameter";
        case MStatus::kNotImplemented: return "(kNotImplemented): Not Implemented";
        case MStatus::kNotFound: return "(kNotFound): Not Found";
        case MStatus::kEndOfFile: return "(kEndOfFile): End of File";
    }
    return "(unknown status)";
}
}  // namespace

MString MStatus::errorString() const { return MString(codeText(code_)); }

void MStatus::perror(const char* prefix) const {
    std::fprintf(stderr, "%s: %s\n", prefix ? prefix : "", codeText(code_));
    std::fflush(stderr);
}

void MStatus::perror(const MString& prefix) const { perror(prefix.asChar()); }
