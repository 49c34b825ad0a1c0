// The kernel's shared data page (KUSER_SHARED_DATA), as far as drivers read it:
// the DDK's inline KeQueryInterruptTime, KeQuerySystemTime and KeQueryTickCount
// read it directly at its fixed kernel address instead of calling the kernel.
// The simulator keeps a copy current with the virtual clock; the image loader
// points a loaded image's references to the fixed address at the copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct ImageSection;

// Where the page is on Windows, for the build's pointer width.
constexpr uint64_t kSharedUserDataX64 = 0xFFFFF78000000000ull;
constexpr uint32_t kSharedUserDataX86 = 0xFFDF0000u;
constexpr size_t kSharedUserDataSize = 0x1000;

// The copy (page-aligned, kSharedUserDataSize bytes).
uint8_t* SharedUserDataPage();
// Writes the clock's fields: interrupt time, system time, tick count.
void RefreshSharedUserData(int64_t interruptTime, int64_t systemTime, uint64_t tickCount);
// Rewrites every pointer-sized constant in the image's code sections that
// addresses the fixed page to address the copy; answers how many it rewrote.
size_t RedirectSharedUserData(uint8_t* image, const std::vector<ImageSection>& sections,
                              uintptr_t base);

}  // namespace sim
