#pragma once
// Shared declarations of the host API: export macro and the plug-in typedefs.

#define PLUGIN_EXPORT __attribute__((visibility("default")))

#ifndef NULL
#define NULL 0
#endif

class MSyntax;
typedef void* (*MCreatorFunction)();
typedef MSyntax (*MCreateSyntaxFunction)();
