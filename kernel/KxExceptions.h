// The exception family through which every kernel object failure reaches the application.
//
// Exceptions are thrown by value inside kxipc.dll and caught by the application, so the classes
// are exported (one vtable and type_info, owned by the DLL). The family deliberately does not
// derive from std::exception: a handler for std::exception does not catch it. Each message is a
// fixed text "Class::Operation -> what went wrong"; no system error code is kept.
#pragma once

#include <string>

#include "KxExport.h"

#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)  // std::string member of an exported class: same runtime required
#endif

class KXIPC_API CKxBaseException {
public:
    explicit CKxBaseException(const std::string& message);
    CKxBaseException(const CKxBaseException& other);
    virtual ~CKxBaseException();

    // The fixed text given at construction; valid as long as the exception object.
    const std::string& GetErrorMessage() const;

private:
    CKxBaseException& operator=(const CKxBaseException&);  // exceptions are never assigned

    std::string m_message;
};

// Declares a member of the family: no field and no virtual operation of its own.
#define KX_DECLARE_EXCEPTION(Name, Base)                                 \
    class KXIPC_API Name : public Base {                                 \
    public:                                                              \
        explicit Name(const std::string& message) : Base(message) {}     \
        Name(const Name& other) : Base(other) {}                         \
    }

KX_DECLARE_EXCEPTION(CKxAutoLockException, CKxBaseException);
KX_DECLARE_EXCEPTION(CKxHandleSyncObjectException, CKxBaseException);
KX_DECLARE_EXCEPTION(CKxWaitAbandonnedException, CKxHandleSyncObjectException);
KX_DECLARE_EXCEPTION(CKxMutexException, CKxHandleSyncObjectException);
KX_DECLARE_EXCEPTION(CKxEventException, CKxHandleSyncObjectException);
KX_DECLARE_EXCEPTION(CKxThreadException, CKxHandleSyncObjectException);
KX_DECLARE_EXCEPTION(CKxSharedMemoryException, CKxBaseException);

#undef KX_DECLARE_EXCEPTION

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
