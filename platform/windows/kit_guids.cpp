// Storage for the kit's GUIDs: the headers only declare them unless
// INITGUID is defined, and exactly one object defines them.
#define INITGUID
#include <initguid.h>

#include "platform/wdk.h"
