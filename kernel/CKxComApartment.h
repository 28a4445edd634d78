// The calling thread's single-threaded COM apartment, entered for a scope (Windows only).
#pragma once

// Entered on construction when the platform has COM; left on destruction only when this object
// entered it (a thread already in a multi-threaded apartment stays there, and the object then
// does nothing). Constructed and destroyed by the same thread; never throws. On platforms without
// COM the object does nothing.
class CKxComApartment {
public:
#if defined(_WIN32)
    CKxComApartment();
    ~CKxComApartment();
#else
    CKxComApartment() {}
    ~CKxComApartment() {}
#endif
    CKxComApartment(const CKxComApartment&) = delete;
    CKxComApartment& operator=(const CKxComApartment&) = delete;

private:
    bool m_entered = false;
};
