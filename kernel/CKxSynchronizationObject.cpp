// Out-of-line destructor, so that the class's vtable lives in one object file.
#include "CKxSynchronizationObject.h"

CKxSynchronizationObject::~CKxSynchronizationObject() {}
