// The one place where the library names platform types: time-outs, identifiers, native handles.
//
// Windows-free: every layer includes it, the Windows-free logic included. Each platform's kernel
// sources give these types their meaning; nothing above kernel/ names a platform type itself.
#pragma once

#include <cstddef>
#include <cstdint>

// Milliseconds to wait; kKxWaitForever for no limit. 32-bit everywhere (a Win32 DWORD on Windows).
using KxTimeout = std::uint32_t;
constexpr KxTimeout kKxWaitForever = 0xFFFFFFFFu;

// Identifiers the platform gives threads and processes; a participant's identifier is its waiting
// thread's. 0 names no thread or process.
using KxThreadId = std::uint32_t;
using KxProcessId = std::uint32_t;

#if defined(_WIN32)
// A kernel object handle (HANDLE) that waits can be made on; null when there is none.
using KxNativeWaitable = void*;
// A file-mapping (section) handle; null when there is none.
using KxNativeSection = void*;
constexpr KxNativeSection kKxNoSection = nullptr;
// The calling convention of a thread procedure (_beginthreadex takes __stdcall; on x64 it is the
// one convention there is).
#define KX_THREAD_CALL __stdcall
#else
// What the POSIX kernel waits on; defined by its sources.
struct KxPosixWaitable;
using KxNativeWaitable = KxPosixWaitable*;
// The named object that holds a segment (it owns the descriptor and the whole mapping); null
// when there is none.
class CKxPosixNamedObject;
using KxNativeSection = CKxPosixNamedObject*;
constexpr KxNativeSection kKxNoSection = nullptr;
#define KX_THREAD_CALL
#endif

// A view of a section mapped into this process: its base and the bytes mapped from it.
struct KxMappedView {
    void* base;
    std::size_t bytes;
};
inline bool operator==(const KxMappedView& a, const KxMappedView& b) {
    return a.base == b.base && a.bytes == b.bytes;
}
