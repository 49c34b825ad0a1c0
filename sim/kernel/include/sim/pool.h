// Pool inspection and fault injection for tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>

#include <simnt/wdm.h>

namespace sim {

// The n-th allocation from now (1 = the next) fails; 0 turns it off.
void FailNthPoolAllocation(uint64_t n);
// Every allocation with `tag` fails while set.
void FailPoolAllocationsWithTag(ULONG tag, bool fail = true);
void ClearPoolFaults();

size_t PoolBlocksWithTag(ULONG tag);
size_t PoolBytesWithTag(ULONG tag);
bool IsPoolBlock(const void* p);
size_t PoolBlockSize(const void* p);
int SectionLockCount();
// Reports every block still allocated as a leak.
void CheckNoPoolLeft(const char* when);

}  // namespace sim
