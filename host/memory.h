// The module's one allocation seam. Every buffer the module owns comes from here, so that a
// test can make the Nth allocation fail and walk each failure path. Allocation never throws:
// a failure, or a size that overflows, returns null.
#pragma once

#include <cstddef>

// Allocates count * size bytes (uninitialised); null on failure or overflow.
void *AllocateArray(size_t count, size_t size);
// Allocates count * size bytes set to zero; null on failure or overflow.
void *AllocateZeroedArray(size_t count, size_t size);
// Frees a block from the functions above; null is allowed.
void FreeMemory(void *block);

// Test seam: the allocation `n` calls from now (1 = the next one) fails; 0 turns it off.
void FailAllocationAfter(long n);
// Number of allocations made so far (for tests that count or sweep the failure point).
long AllocationCount();
// Blocks allocated and not yet freed (for leak checks in tests).
long LiveAllocationCount();
