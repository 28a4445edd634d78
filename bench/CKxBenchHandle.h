// An owned kernel handle of the benchmark programs, closed when the object goes.
#pragma once

#include <stdexcept>

#include "KxWindows.h"

// Throws std::runtime_error for a null or invalid handle, so a failed creation stops the run.
class CKxBenchHandle {
public:
    explicit CKxBenchHandle(HANDLE handle) : m_handle(handle) {
        if (!handle || handle == INVALID_HANDLE_VALUE) throw std::runtime_error("no handle");
    }
    ~CKxBenchHandle() { CloseHandle(m_handle); }
    CKxBenchHandle(const CKxBenchHandle&) = delete;
    CKxBenchHandle& operator=(const CKxBenchHandle&) = delete;
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};
