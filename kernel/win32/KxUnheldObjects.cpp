// On Windows a named kernel object goes with its last handle: nothing is ever left to remove.
#include "KxUnheldObjects.h"

int KxRemoveUnheldObjects() { return -1; }
