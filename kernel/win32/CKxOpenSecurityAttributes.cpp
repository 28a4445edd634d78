// Open security attributes: a present but null DACL.
#include "CKxOpenSecurityAttributes.h"

CKxOpenSecurityAttributes::CKxOpenSecurityAttributes() {
    // Both calls only fail for a bad revision or a bad descriptor pointer, neither possible here,
    // so their results are not looked at.
    InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&m_descriptor, TRUE /*bDaclPresent*/, nullptr /*pDacl*/,
                              FALSE /*bDaclDefaulted*/);
    m_attributes.nLength = sizeof(m_attributes);
    m_attributes.lpSecurityDescriptor = &m_descriptor;
    m_attributes.bInheritHandle = FALSE;
}

SECURITY_ATTRIBUTES* CKxOpenSecurityAttributes::Get() { return &m_attributes; }
