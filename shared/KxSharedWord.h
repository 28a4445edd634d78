// The one way the library reads and writes a word that other processes share.
//
// Windows-free, standard headers only, like the ring that uses it.
#pragma once

#include <cstdint>

// Every access to a 32- or 64-bit word of a shared segment goes through these two functions:
// a load is an acquire (what the writer wrote before its release store is visible after it) and a
// store is a release (what this thread wrote before it is visible to whoever loads the word). The
// compiler may neither tear the access, nor re-read a word that was checked instead of using the
// value checked, nor move other accesses to the segment across it. On x86-64 both are plain moves:
// no fence is emitted. The words need natural alignment, which the segment layouts give.
template <class T>
inline T KxLoadShared(const T* word) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "shared words are 32 or 64 bits");
#if defined(__GNUC__) || defined(__clang__)
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
#else
    // MSVC on x64: a volatile access is a single move, and /volatile:ms (the x64 default) gives it
    // acquire semantics.
    return *static_cast<const volatile T*>(word);
#endif
}

template <class T>
inline void KxStoreShared(T* word, T value) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "shared words are 32 or 64 bits");
#if defined(__GNUC__) || defined(__clang__)
    __atomic_store_n(word, value, __ATOMIC_RELEASE);
#else
    *static_cast<volatile T*>(word) = value;  // release semantics under /volatile:ms
#endif
}
