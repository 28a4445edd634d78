// What the kernel layer knows of kernel object names: their length limit, the name of a
// shared-memory segment's companion mutex, and names made of a number. Windows-free, for the
// layers that derive names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Names of mutexes, events and file mappings hold at most MAX_PATH characters.
constexpr std::size_t kKxLongestObjectName = 260;

// A segment named N has the companion mutex N + "_mutex" (CKxSharedMemory).
constexpr char kKxSegmentMutexSuffix[] = "_mutex";

// prefix followed by value in exactly digits upper-case hexadecimal digits, zero-padded (as
// printf's "%0<digits>X"; digits from 1 to 16, and value must fit in them). The same bytes on
// every platform: processes derive event names from numbers alone and must meet on them.
inline std::string KxHexObjectName(const char* prefix, std::uint64_t value, unsigned digits) {
    std::string name(prefix);
    for (unsigned shift = 4 * digits; shift != 0;) {
        shift -= 4;
        name += "0123456789ABCDEF"[(value >> shift) & 0xF];
    }
    return name;
}
