#include "shared_user_data.h"

#include <cstring>

#include <sim/image_loader.h>

namespace sim {
namespace {

// Field offsets in KUSER_SHARED_DATA (the same on both architectures).
constexpr size_t kTickCountMultiplier = 0x004;
constexpr size_t kInterruptTime = 0x008;  // KSYSTEM_TIME
constexpr size_t kSystemTime = 0x014;     // KSYSTEM_TIME
constexpr size_t kTickCount = 0x320;      // KSYSTEM_TIME (TickCountQuad on x64)

alignas(4096) uint8_t page[kSharedUserDataSize];

// A KSYSTEM_TIME is written High2Time, LowPart, High1Time; readers retry until
// the two high parts agree.
void WriteSystemTime(size_t offset, int64_t value) {
    const uint32_t low = static_cast<uint32_t>(value);
    const int32_t high = static_cast<int32_t>(static_cast<uint64_t>(value) >> 32);
    std::memcpy(page + offset + 8, &high, 4);
    std::memcpy(page + offset, &low, 4);
    std::memcpy(page + offset + 4, &high, 4);
}

}  // namespace

uint8_t* SharedUserDataPage() { return page; }

uint64_t SharedInterruptTime() {
    uint32_t low;
    int32_t high;
    std::memcpy(&low, page + kInterruptTime, 4);
    std::memcpy(&high, page + kInterruptTime + 4, 4);
    return (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
}

void RefreshSharedUserData(int64_t interruptTime, int64_t systemTime, uint64_t tickCount) {
    // With a multiplier of 1 << 24 the tick count reads as ticks of the clock.
    const uint32_t multiplier = 1u << 24;
    std::memcpy(page + kTickCountMultiplier, &multiplier, 4);
    WriteSystemTime(kInterruptTime, interruptTime);
    WriteSystemTime(kSystemTime, systemTime);
    WriteSystemTime(kTickCount, static_cast<int64_t>(tickCount));
}

size_t RedirectSharedUserData(uint8_t* image, const std::vector<ImageSection>& sections,
                              uintptr_t base) {
    const uint64_t fixed = sizeof(void*) == 8 ? kSharedUserDataX64 : kSharedUserDataX86;
    const uintptr_t copy = reinterpret_cast<uintptr_t>(page);
    size_t rewritten = 0;
    for (const ImageSection& section : sections) {
        if (!section.executable) continue;
        uint8_t* at = image + (section.start - base);
        const size_t length = section.end - section.start;
        for (size_t i = 0; i + sizeof(uintptr_t) <= length; ++i) {
            uintptr_t value;
            std::memcpy(&value, at + i, sizeof value);
            if (value < fixed || value - fixed >= kSharedUserDataSize) continue;
            const uintptr_t redirected = copy + (value - fixed);
            std::memcpy(at + i, &redirected, sizeof redirected);
            i += sizeof(uintptr_t) - 1;
            ++rewritten;
        }
    }
    return rewritten;
}

}  // namespace sim
