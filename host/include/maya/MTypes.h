#pragma once
// Shared declarations of the host API: export macro, the plug-in typedefs and
// the coordinate spaces.

#define PLUGIN_EXPORT __attribute__((visibility("default")))

#ifndef NULL
#define NULL 0
#endif

class MSyntax;
typedef void* (*MCreatorFunction)();
typedef MSyntax (*MCreateSyntaxFunction)();

// Spaces in which geometry and transformation values are given. For a shape,
// kObject (= kPreTransform), kTransform and kPostTransform are all the
// shape's own object space; kWorld applies the path's world matrix.
class MSpace {
public:
    enum Space {
        kInvalid = 0,
        kTransform = 1,
        kPreTransform = 2,
        kPostTransform = 3,
        kWorld = 4,
        kLast = 5,
        kObject = kPreTransform
    };
};
