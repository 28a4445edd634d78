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

/// Root of the family: catch CKxBaseException (by const reference) to catch every kernel object
/// failure that leaves the library. Each derived class adds only a constructor from the message and
/// a copy constructor, both forwarding to these.
class KXIPC_API CKxBaseException {
public:
    /// Keeps a copy of message, the fixed "Class::Operation -> what went wrong" text.
    explicit CKxBaseException(const std::string& message);
    /// Copies the message; the library throws by value, so the runtime may copy an exception.
    CKxBaseException(const CKxBaseException& other);
    /// Never throws.
    virtual ~CKxBaseException();

    /// The fixed text given at construction; valid as long as the exception object.
    const std::string& GetErrorMessage() const;

private:
    CKxBaseException& operator=(const CKxBaseException&);  // exceptions are never assigned

    std::string m_message;
};

// Declares a member of the family: no field and no virtual operation of its own.
#define KX_DECLARE_EXCEPTION(Name, Base)                             \
    class KXIPC_API Name : public Base {                             \
    public:                                                          \
        explicit Name(const std::string& message) : Base(message) {} \
        Name(const Name& other) : Base(other) {}                     \
    }

/// A scoped lock could not take or give back its object.
KX_DECLARE_EXCEPTION(CKxAutoLockException, CKxBaseException);
/// A failure of a waitable kernel object: duplicating or closing its handle, a wait that
/// failed, or a wait over no object or more than 64.
KX_DECLARE_EXCEPTION(CKxHandleSyncObjectException, CKxBaseException);
/// A wait found a mutex abandoned: its owning thread ended (e.g. its process died) while
/// holding it.
KX_DECLARE_EXCEPTION(CKxWaitAbandonnedException, CKxHandleSyncObjectException);
/// A named or unnamed mutex could not be created, opened or released.
KX_DECLARE_EXCEPTION(CKxMutexException, CKxHandleSyncObjectException);
/// An event could not be created, opened, set or reset.
KX_DECLARE_EXCEPTION(CKxEventException, CKxHandleSyncObjectException);
/// A thread could not be started or its exit code read.
KX_DECLARE_EXCEPTION(CKxThreadException, CKxHandleSyncObjectException);
/// A shared-memory segment could not be created, opened, mapped or unmapped.
KX_DECLARE_EXCEPTION(CKxSharedMemoryException, CKxBaseException);
/// A channel already had its 50 members: the participant was not registered.
KX_DECLARE_EXCEPTION(CKxChannelFullException, CKxBaseException);

#undef KX_DECLARE_EXCEPTION

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
