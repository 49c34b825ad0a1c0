// Pool, with every block tracked by tag so that leaks, double frees and frees with
// the wrong tag are caught; fault injection; the memory manager's section locks;
// debug output.
#include "internal.h"

#include <sim/pool.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {
std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0 && type != NonPagedPoolNx; }

// Fresh pool is not zeroed by the kernel; fill it so that code relying on zeroes
// shows up.
constexpr unsigned char kFreshPoolFill = 0xCD;
// Freed pool is filled too, so that a use after free reads garbage.
constexpr unsigned char kFreedPoolFill = 0xDD;
size_t g_poolFillLimit = SIZE_MAX;
void FillPool(void* p, unsigned char pattern, size_t size) {
    std::memset(p, pattern, size < g_poolFillLimit ? size : g_poolFillLimit);
}
// The simulated machine's pool is not the host's memory: a request beyond what
// a machine's pool could ever hand out in one block fails, as it does on Windows
// (a caller's size taken from a request, say, of gigabytes).
constexpr size_t kLargestPoolBlock = size_t{256} << 20;

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* ddi, const void* caller) {
    auto& st = St();
    if (IsPaged(type) && !RequireIrql((std::string(ddi) + " (paged pool)").c_str(), APC_LEVEL))
        return nullptr;
    if (!IsPaged(type) && !RequireIrql(ddi, DISPATCH_LEVEL)) return nullptr;
    if (AllocationFails(caller)) return nullptr;
    if (st.failTags.count(tag)) return nullptr;
    if (bytes > kLargestPoolBlock) return nullptr;
    size_t size = bytes ? bytes : 1;
    void* p = std::malloc(size);
    FillPool(p, kFreshPoolFill, size);
    st.pool[p] = PoolBlock{bytes, tag, type, ++st.poolSerial};
    return p;
}
}  // namespace

bool AllocationFails(const void* caller) {
    auto& st = St();
    ++st.allocations;
    if (st.recordAllocationCallers) st.allocationCallers.push_back(caller);
    return st.failNthAllocation && --st.failNthAllocation == 0;
}

void LimitPoolFills(size_t bytes) { g_poolFillLimit = bytes; }

void FailNthPoolAllocation(uint64_t n) { St().failNthAllocation = n; }
uint64_t AllocationCount() { return St().allocations; }
void RecordAllocationSites(bool on) {
    St().recordAllocationCallers = on;
    St().allocationCallers.clear();
}
std::vector<std::string> AllocationSites() {
    std::vector<std::string> sites;
    for (const void* caller : St().allocationCallers) sites.push_back(CallerName(caller));
    return sites;
}
void FailPoolAllocationsWithTag(ULONG tag, bool fail) {
    if (fail)
        St().failTags.insert(tag);
    else
        St().failTags.erase(tag);
}
void ClearPoolFaults() {
    St().failNthAllocation = 0;
    St().failTags.clear();
}

size_t PoolBlocksWithTag(ULONG tag) {
    size_t n = 0;
    for (auto& [p, block] : St().pool) {
        if (block.tag == tag) ++n;
    }
    return n;
}

size_t PoolBytesWithTag(ULONG tag) {
    size_t n = 0;
    for (auto& [p, block] : St().pool) {
        if (block.tag == tag) n += block.size;
    }
    return n;
}

bool IsPoolBlock(const void* p) { return St().pool.count(const_cast<void*>(p)) != 0; }

size_t PoolBlockSize(const void* p) {
    auto it = St().pool.find(const_cast<void*>(p));
    return it == St().pool.end() ? 0 : it->second.size;
}

void CheckNoPoolLeft(const char* when) {
    auto& st = St();
    if (st.pool.empty()) return;
    std::string what;
    for (auto& [p, block] : st.pool) {
        what += "\n  " + std::to_string(block.size) + " bytes, tag '" + TagText(block.tag) +
                "', allocation #" + std::to_string(block.serial);
    }
    if (Verifier::Violation(Rule::PoolLeak, std::string("pool left ") + when + ":" + what)) {
        for (auto& [p, block] : st.pool) std::free(p);
        st.pool.clear();
    }
}

}  // namespace sim

using namespace sim;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) { SIM_DDI();
    return Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag", __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) { SIM_DDI();
    return Allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, "ExAllocatePool", __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) { SIM_DDI();
    bool failInsteadOfRaise = (static_cast<int>(PoolType) & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
    auto base = static_cast<POOL_TYPE>(static_cast<int>(PoolType) & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    PVOID p = Allocate(base, NumberOfBytes, Tag, "ExAllocatePoolWithQuotaTag", __builtin_return_address(0));
    if (!p && !failInsteadOfRaise) {
        // The kernel raises an exception here; a driver without a handler for it
        // brings the system down.
        Verifier::Violation(Rule::PoolQuotaRaise,
                            "quota allocation failed without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE: the "
                            "kernel raises an exception the driver does not handle");
    }
    return p;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { SIM_DDI();
    auto& st = St();
    if (!RequireIrql("ExFreePool", DISPATCH_LEVEL)) return;
    auto it = st.pool.find(P);
    if (it == st.pool.end()) {
        Verifier::Violation(Rule::PoolDoubleFree,
                            "free of " + Hex(P) + ", which is not an allocated pool block (double free?)");
        return;
    }
    // Paged pool is freed where a page fault may be taken.
    if (IsPaged(it->second.type) && !RequireIrql("ExFreePool (paged pool)", APC_LEVEL)) return;
    if (Tag != 0 && Tag != it->second.tag) {
        if (Verifier::Violation(Rule::PoolTagMismatch, "pool block tagged '" + TagText(it->second.tag) +
                                                          "' freed with tag '" + TagText(Tag) + "'"))
            return;
    }
    if (!CheckObjectsFreed(P, it->second.size, "pool block")) return;
    size_t size = it->second.size;
    st.pool.erase(it);
    FillPool(P, kFreedPoolFill, size);
    std::free(P);
}

VOID NTAPI ExFreePool(PVOID P) { SIM_DDI(); ExFreePoolWithTag(P, 0); }

MM_SYSTEMSIZE NTAPI MmQuerySystemSize(void) { SIM_DDI(); return St().systemSize; }

// Nothing is pageable in the simulation; the calls are still checked for pairing.
PVOID NTAPI MmLockPagableDataSection(PVOID AddressWithinSection) { SIM_DDI();
    RequireIrql("MmLockPagableDataSection", APC_LEVEL);
    St().sectionLocks++;
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(0x5EC7105));
}

VOID NTAPI MmLockPagableSectionByHandle(PVOID ImageSectionHandle) { SIM_DDI();
    RequireIrql("MmLockPagableSectionByHandle", APC_LEVEL);
    if (ImageSectionHandle == nullptr) {
        Verifier::Violation(Rule::SectionLockPairing, "MmLockPagableSectionByHandle with a null handle");
        return;
    }
    St().sectionLocks++;
}

VOID NTAPI MmUnlockPagableImageSection(PVOID ImageSectionHandle) { SIM_DDI();
    RequireIrql("MmUnlockPagableImageSection", APC_LEVEL);
    auto& st = St();
    if (ImageSectionHandle == nullptr || st.sectionLocks <= 0) {
        Verifier::Violation(Rule::SectionLockPairing,
                            "MmUnlockPagableImageSection without a matching lock");
        return;
    }
    st.sectionLocks--;
}

}  // extern "C"

namespace sim {
int SectionLockCount() { return St().sectionLocks; }
}  // namespace sim
