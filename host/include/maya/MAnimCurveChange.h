#pragma once
// Records curve edits for undo. The headless host records nothing: curve
// edits made by commands are not undone.

class MAnimCurveChange {
public:
    MAnimCurveChange() = default;
};
