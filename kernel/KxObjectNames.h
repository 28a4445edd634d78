// What the kernel layer knows of kernel object names: their length limit, and the name of a
// shared-memory segment's companion mutex. Windows-free, for the layers that derive names.
#pragma once

#include <cstddef>

// Names of mutexes, events and file mappings hold at most MAX_PATH characters.
constexpr std::size_t kKxLongestObjectName = 260;

// A segment named N has the companion mutex N + "_mutex" (CKxSharedMemory).
constexpr char kKxSegmentMutexSuffix[] = "_mutex";
