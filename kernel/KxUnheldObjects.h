// Removal of the library's named objects that no process holds any more.
#pragma once

#include "KxExport.h"

// Removes every named object of the library that no live process holds (left behind when the
// machine's processes crashed, or a creator was killed while building one) and gives how many it
// removed. -1 where the platform removes a named object with its last handle (Windows), so that
// nothing can be left to remove. Any thread; objects that some process holds are never touched.
KXIPC_API int KxRemoveUnheldObjects();
