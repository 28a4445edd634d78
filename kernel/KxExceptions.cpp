// Out-of-line members of the exception family, so that its vtable lives in the library.
#include "KxExceptions.h"

CKxBaseException::CKxBaseException(const std::string& message) : m_message(message) {}

CKxBaseException::CKxBaseException(const CKxBaseException& other) : m_message(other.m_message) {}

CKxBaseException::~CKxBaseException() {}

const std::string& CKxBaseException::GetErrorMessage() const { return m_message; }
