// Security attributes that let a process of any user open a named kernel object of this library.
#pragma once

#include "KxWindows.h"

// A security descriptor of revision 1 whose access-control list is present but null (every access
// granted to everyone), wrapped in non-inheritable SECURITY_ATTRIBUTES. Built on the stack for each
// creating call; Get() points into this object, so it must outlive the call that uses it, and the
// object cannot be copied (the copy would point at the original's descriptor).
class CKxOpenSecurityAttributes {
public:
    CKxOpenSecurityAttributes();
    CKxOpenSecurityAttributes(const CKxOpenSecurityAttributes&) = delete;
    CKxOpenSecurityAttributes& operator=(const CKxOpenSecurityAttributes&) = delete;

    // The attributes to hand to CreateMutexA, CreateEventA, CreateFileMappingA or _beginthreadex.
    SECURITY_ATTRIBUTES* Get();

private:
    SECURITY_DESCRIPTOR m_descriptor;
    SECURITY_ATTRIBUTES m_attributes;
};
