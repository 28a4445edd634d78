// The one owner of native handles: waitable objects, sections and mapped views, closed exactly
// once.
#pragma once

#include <utility>

#include "KxPlatformTypes.h"

// Owns one native value and closes it on destruction, unless it is the invalid one. Move-only:
// the source of a move holds the invalid value afterwards. Traits give
//     using Value = ...;               a copyable value that == compares
//     static Value Invalid();          the value that owns nothing
//     static void Close(Value value);  gives a valid value back to the platform; never throws
// Not thread-safe: one owner at a time, as for the value itself.
template <class Traits>
class TKxUniqueHandle {
public:
    using Value = typename Traits::Value;

    TKxUniqueHandle() noexcept : m_value(Traits::Invalid()) {}
    explicit TKxUniqueHandle(Value value) noexcept : m_value(value) {}
    ~TKxUniqueHandle() { Reset(); }

    TKxUniqueHandle(TKxUniqueHandle&& other) noexcept : m_value(other.Release()) {}
    TKxUniqueHandle& operator=(TKxUniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    TKxUniqueHandle(const TKxUniqueHandle&) = delete;
    TKxUniqueHandle& operator=(const TKxUniqueHandle&) = delete;

    Value Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return !(m_value == Traits::Invalid()); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing; the caller owns the value returned.
    Value Release() noexcept {
        Value value = m_value;
        m_value = Traits::Invalid();
        return value;
    }
    // Closes what is owned, then owns value.
    void Reset(Value value = Traits::Invalid()) noexcept {
        Value old = m_value;
        m_value = value;
        if (!(old == Traits::Invalid())) Traits::Close(old);
    }

private:
    Value m_value;
};

// The traits of the library's native values. Each platform's kernel sources define Close.
struct KxWaitableTraits {
    using Value = KxNativeWaitable;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value value) noexcept;
};
struct KxSectionTraits {
    using Value = KxNativeSection;
    static Value Invalid() noexcept { return kKxNoSection; }
    static void Close(Value value) noexcept;
};
struct KxMappedViewTraits {
    using Value = KxMappedView;
    static Value Invalid() noexcept { return KxMappedView{nullptr, 0}; }
    static void Close(Value value) noexcept;
};

using KxUniqueWaitable = TKxUniqueHandle<KxWaitableTraits>;
using KxUniqueSection = TKxUniqueHandle<KxSectionTraits>;
using KxUniqueView = TKxUniqueHandle<KxMappedViewTraits>;
