// Handle objects, what every platform does alike: the empty object, adopting a handle, closing it
// (the handle's owner, TKxUniqueHandle, closes it the platform's way). Duplication and the wait are
// the platform's.
#include "CKxHandleSyncObject.h"

#include "KxExceptions.h"

CKxHandleSyncObject::CKxHandleSyncObject() {}

CKxHandleSyncObject::CKxHandleSyncObject(KxNativeWaitable handle, KxAdoptHandle)
    : m_handle(handle) {
    if (!handle) {
        throw CKxHandleSyncObjectException(
            "CKxHandleSyncObject::CKxHandleSyncObject -> trying to initialize with a NULL handle");
    }
}

CKxHandleSyncObject::~CKxHandleSyncObject() {}
