// The allocation seam: malloc with an overflow check, an injectable failure and live counts.
#include "host/memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
// Atomic: a host may run several instances on several threads at once (subremove --threads).
std::atomic<long> g_failCountdown{0};
std::atomic<long> g_allocations{0};
std::atomic<long> g_live{0};

bool ShouldFail() {
    ++g_allocations;
    if (g_failCountdown > 0 && --g_failCountdown == 0) return true;
    return false;
}
}  // namespace

void *AllocateArray(size_t count, size_t size) {
    if (ShouldFail()) return nullptr;
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    size_t bytes = count * size;
    void *block = std::malloc(bytes ? bytes : 1);
    if (block) ++g_live;
    return block;
}

void *AllocateZeroedArray(size_t count, size_t size) {
    void *block = AllocateArray(count, size);
    if (block) std::memset(block, 0, count * size);
    return block;
}

void FreeMemory(void *block) {
    if (!block) return;
    --g_live;
    std::free(block);
}

void FailAllocationAfter(long n) { g_failCountdown = n > 0 ? n : 0; }
long AllocationCount() { return g_allocations; }
long LiveAllocationCount() { return g_live; }
