// The base library's heap. Every allocation of its classes goes through here,
// never through operator new, so that a shortage becomes a null pointer that
// the caller handles instead of an exception that would cross into the host.
#pragma once

#include <cstddef>

namespace base {

// Null when the memory cannot be had.
void* Allocate(size_t cb);
void Free(void* p);

// For tests: makes the n-th allocation from now fail (1: the next one);
// 0 cancels a pending failure.
void FailNthAllocation(int n);

}  // namespace base
