#pragma once
// Status of a host call: a code and, for failures, the host's error text.

#include <maya/MString.h>

class MStatus {
public:
    enum MStatusCode {
        kSuccess = 0,
        kFailure,
        kInsufficientMemory,
        kInvalidParameter,
        kLicenseFailure,
        kUnknownParameter,
        kNotImplemented,
        kNotFound,
        kEndOfFile
    };

    MStatus() = default;
    MStatus(MStatusCode code) : code_(code) {}  // NOLINT: implicit as in the SDK

    bool operator==(const MStatus& other) const { return code_ == other.code_; }
    bool operator==(MStatusCode code) const { return code_ == code; }
    bool operator!=(const MStatus& other) const { return code_ != other.code_; }
    bool operator!=(MStatusCode code) const { return code_ != code; }
    explicit operator bool() const { return code_ == kSuccess; }

    MStatusCode statusCode() const { return code_; }
    bool error() const { return code_ != kSuccess; }
    void clear() { code_ = kSuccess; }

    // The host's text for the code ("(kFailure): Unexpected Internal Failure").
    MString errorString() const;
    // Prints "prefix: error text" on stderr.
    void perror(const char* prefix) const;
    void perror(const MString& prefix) const;

private:
    MStatusCode code_ = kSuccess;
};

// The SDK spells the codes MS::kSuccess as well as MStatus::kSuccess.
using MS = MStatus;

#define CHECK_MSTATUS(_status)                                   \
    do {                                                         \
        MStatus _checked = (_status);                            \
        if (_checked.error()) {                                  \
            _checked.perror(MString(__FILE__) + ":" + __LINE__); \
        }                                                        \
    } while (0)

#define CHECK_MSTATUS_AND_RETURN_IT(_status)                     \
    do {                                                         \
        MStatus _checked = (_status);                            \
        if (_checked.error()) {                                  \
            _checked.perror(MString(__FILE__) + ":" + __LINE__); \
            return _checked;                                     \
        }                                                        \
    } while (0)
