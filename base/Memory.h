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

// Counts one allocation made elsewhere (the runtime's wide strings) against
// the failure that FailNthAllocation asked for: true when it is the one to
// fail, so that every allocation of the library is reachable by one counter.
bool AllocationFails();

}  // namespace base
