// Pool inspection and fault injection for tests and tools.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <simnt/wdm.h>

namespace sim {

// The n-th allocation from now (1 = the next) fails; 0 turns it off. Every
// allocation a driver can see fail counts: pool, IRPs (IoAllocateIrp,
// IoBuildDeviceIoControlRequest), MDLs and power IRPs (PoRequestPowerIrp).
void FailNthPoolAllocation(uint64_t n);
// How many of those allocations this simulation has made: a scenario run once
// to count them can then be run once per allocation with that one failing.
uint64_t AllocationCount();
// While on, the caller of each allocation is noted (turning it on or off forgets
// what was noted); AllocationSites names them in order, by function and, where
// the build has them, source line.
void RecordAllocationSites(bool on);
std::vector<std::string> AllocationSites();
// Every allocation with `tag` fails while set.
void FailPoolAllocationsWithTag(ULONG tag, bool fail = true);
void ClearPoolFaults();

// Fresh pool is filled with a pattern, so that code relying on zeroes shows,
// and freed pool with another, so that a use after free reads garbage. With a
// limit, only a block's first `bytes` are filled (for every simulation of the
// process): filling a ring of hundreds of megabytes an application asked for
// costs a fuzzer more than the rest of its input.
void LimitPoolFills(size_t bytes);

size_t PoolBlocksWithTag(ULONG tag);
size_t PoolBytesWithTag(ULONG tag);
bool IsPoolBlock(const void* p);
size_t PoolBlockSize(const void* p);
int SectionLockCount();
// Reports every block still allocated as a leak.
void CheckNoPoolLeft(const char* when);

}  // namespace sim
