// The single-threaded COM apartment as a scope.
#include "CKxComApartment.h"

#include "KxWindows.h"

CKxComApartment::CKxComApartment()
    : m_entered(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

CKxComApartment::~CKxComApartment() {
    if (m_entered) CoUninitialize();
}
