// On Linux a named object is a file in /dev/shm, which a crash of all its holders leaves behind.
#include "KxUnheldObjects.h"

#include "CKxPosixNamedObject.h"

int KxRemoveUnheldObjects() { return KxPosixRemoveUnheldObjects(); }
