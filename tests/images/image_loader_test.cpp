// The simulator's loader on the image the cross build made for the host's
// processor (x64, or i386 in the 32-bit build): mapped, relocated and bound as
// the kernel's loader would; damaged copies refused with the reason; the
// image's privileged instructions carried out on the simulated processor.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <sim/image_loader.h>
#include <sim/pe_image.h>
#include <sim/simulation.h>
#include <sim/verifier.h>

#include <simnt/wdm.h>
#include <simnt/usbdlib.h>

namespace {

using sim::LoadedImage;
namespace pe = sim::pe;

constexpr bool kX64 = sizeof(void*) == 8;
const char* const kImagePath = kX64 ? VODREK_IMAGE_X64 : VODREK_IMAGE_X86;
const char* const kImageName = kX64 ? "vodrek64.sys" : "vodrek.sys";

std::vector<uint8_t> ImageBytes() {
    auto bytes = pe::ReadFileBytes(kImagePath);
    if (!bytes) {
        const char* preset = kX64 ? "win-x64" : "win-x86";
        ADD_FAILURE() << kImagePath << " is missing: build it with cmake --preset " << preset
                      << " && cmake --build --preset " << preset;
        return {};
    }
    return *bytes;
}

// Loads `bytes` and answers the loader's message (empty when it loaded).
std::string Refusal(const std::vector<uint8_t>& bytes) {
    std::string error;
    auto image = LoadedImage::Map(bytes, "damaged.sys", &error);
    return image ? std::string() : error;
}

// The file offset of the first occurrence of `text` (with its NUL).
size_t Find(const std::vector<uint8_t>& bytes, const char* text) {
    const size_t length = std::strlen(text) + 1;
    for (size_t i = 0; i + length <= bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, text, length) == 0) return i;
    }
    return bytes.size();
}

TEST(ImageLoader, MapsRelocatesAndBindsTheShippedImage) {
    const auto bytes = ImageBytes();
    ASSERT_FALSE(bytes.empty());
    const pe::PeImage file(bytes);
    std::string error;
    auto image = LoadedImage::Map(bytes, kImageName, &error);
    ASSERT_TRUE(image) << error;

    // Loaded away from its preferred base, so every relocation mattered.
    EXPECT_NE(image->Base(), image->PreferredBase());
    const auto relocations = file.RelocationEntries();
    EXPECT_EQ(image->RelocationsApplied(), relocations.size());
    ASSERT_GT(relocations.size(), 0u);
    for (const pe::Relocation& r : relocations) {
        uintptr_t value;
        std::memcpy(&value, reinterpret_cast<const void*>(image->Base() + r.rva), sizeof value);
        EXPECT_TRUE(image->Contains(value))
            << "the address at RVA 0x" << std::hex << r.rva << " still points at 0x" << value;
    }

    // Every import bound to the simulator's routine of that name, written into
    // the image's address table.
    size_t imported = 0;
    for (const pe::ImportedDll& dll : file.Imports()) {
        for (size_t i = 0; i < dll.functions.size(); ++i, ++imported) {
            const void* expected = sim::FindKernelExport(dll.name, dll.functions[i]);
            ASSERT_NE(expected, nullptr) << dll.functions[i];
            const void* bound;
            std::memcpy(&bound, reinterpret_cast<const void*>(image->Base() + dll.address_slots[i]), sizeof bound);
            EXPECT_EQ(bound, expected) << dll.name << "!" << dll.functions[i];
        }
    }
    EXPECT_EQ(image->Imports().size(), imported);
    EXPECT_EQ(sim::FindKernelExport("NTOSKRNL.EXE", "IofCompleteRequest"),
              reinterpret_cast<const void*>(&IofCompleteRequest));

    // Sections where the table put them, with their characteristics; the
    // start-up code in a pageable section.
    bool sawPageable = false;
    for (const sim::ImageSection& section : image->Sections()) {
        if (section.name == ".text") {
            EXPECT_TRUE(section.executable);
        }
        if (section.name == ".rdata") {
            EXPECT_FALSE(section.writable || section.executable);
        }
        sawPageable = sawPageable || (section.pageable && section.executable);
    }
    EXPECT_TRUE(sawPageable);
    const auto entry = reinterpret_cast<uintptr_t>(image->EntryPoint());
    EXPECT_EQ(entry - image->Base(), file.entry_point());
    EXPECT_EQ(LoadedImage::Holding(entry), image.get());
    EXPECT_EQ(image->Describe(entry).rfind(std::string(kImageName) + "!DriverEntry+0x0 (", 0), 0u)
        << image->Describe(entry);
    // The driver's routines by their names, for the verifier's reports.
    const auto& routines = image->Routines();
    const auto dpc = std::find_if(routines.begin(), routines.end(), [](const sim::ImageRoutine& r) {
        return r.name == "TransmitEmptyDpc";
    });
    ASSERT_NE(dpc, routines.end());
    EXPECT_EQ(image->Describe(dpc->address + 3).rfind(std::string(kImageName) + "!TransmitEmptyDpc+0x3", 0), 0u);
    EXPECT_EQ(LoadedImage::Holding(reinterpret_cast<uintptr_t>(&error)), nullptr);
}

TEST(ImageLoader, RefusesDamagedImagesSayingWhatIsWrong) {
    const auto original = ImageBytes();
    ASSERT_FALSE(original.empty());
    const pe::PeImage file(original);
    const size_t peHeader = original[0x3C] | (original[0x3D] << 8);

    // The other processor's machine: i386 for the x64 simulator and the other way round.
    auto wrongMachine = original;
    wrongMachine[peHeader + 4] = kX64 ? 0x4C : 0x64;
    wrongMachine[peHeader + 5] = kX64 ? 0x01 : 0x86;
    EXPECT_NE(Refusal(wrongMachine).find(kX64 ? "an image for i386" : "an image for x64"), std::string::npos)
        << Refusal(wrongMachine);

    // Two imports nobody exports: both named, with their modules.
    auto missing = original;
    size_t at = Find(missing, "IoCreateDevice");
    ASSERT_LT(at, missing.size());
    missing[at + 13] = 'X';
    at = Find(missing, "WmiSystemControl");
    ASSERT_LT(at, missing.size());
    missing[at] = 'X';
    const std::string unresolved = Refusal(missing);
    EXPECT_NE(unresolved.find("IoCreateDevicX from ntoskrnl.exe"), std::string::npos) << unresolved;
    EXPECT_NE(unresolved.find("XmiSystemControl from WMILIB.SYS"), std::string::npos) << unresolved;

    // The first relocation block: a type no image of the host's processor
    // carries, then a page far outside the image.
    const size_t relocations = file.FileOffsetOf(file.directory(pe::kDirBaseReloc).rva, 10);
    auto badType = original;
    badType[relocations + 9] = static_cast<uint8_t>((badType[relocations + 9] & 0x0F) | 0x50);
    EXPECT_NE(Refusal(badType).find("relocation of type 5"), std::string::npos) << Refusal(badType);
    auto outside = original;
    outside[relocations + 3] = 0x7F;
    EXPECT_NE(Refusal(outside).find("outside the image"), std::string::npos) << Refusal(outside);

    std::vector<uint8_t> truncated(original.begin(), original.begin() + 0x200);
    EXPECT_NE(Refusal(truncated).find("damaged image"), std::string::npos) << Refusal(truncated);
    EXPECT_NE(Refusal({'M', 'Z'}).find("damaged image"), std::string::npos);
}

TEST(ImageLoader, PointsTheSharedDataPageAtTheVirtualClock) {
    // KeQueryInterruptTime is inline on x64: the image reads the kernel's
    // shared data page at its fixed address. The loader points it at the
    // simulator's copy, which follows virtual time. The i386 image imports
    // the routine instead and has no such reference.
    const auto bytes = ImageBytes();
    ASSERT_FALSE(bytes.empty());
    std::string error;
    auto image = LoadedImage::Map(bytes, kImageName, &error);
    ASSERT_TRUE(image) << error;
    if (kX64) {
        EXPECT_GT(image->SharedDataReferences(), 0u);
    } else {
        EXPECT_EQ(image->SharedDataReferences(), 0u);
        const auto& imports = image->Imports();
        EXPECT_NE(std::find_if(imports.begin(), imports.end(),
                               [](const sim::ImageImport& i) { return i.name == "KeQueryInterruptTime"; }),
                  imports.end());
    }

    sim::Simulation simulation;
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * 1000 * 250;  // 250 ms
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_EQ(sim::SharedInterruptTime(), static_cast<uint64_t>(KeQueryInterruptTime()));
    EXPECT_GE(sim::SharedInterruptTime(), 250u * 10000u);
}

#if defined(__i386__)
TEST(ImageLoader, BindsDecoratedImportsOnlyToRoutinesPoppingAsManyBytes) {
    // An i386 image names some routines with the byte count they pop.
    EXPECT_EQ(sim::FindKernelExport("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@28"),
              reinterpret_cast<const void*>(&USBD_ParseConfigurationDescriptorEx));
    std::string why;
    EXPECT_EQ(sim::FindKernelExport("USBD.SYS", "_USBD_ParseConfigurationDescriptorEx@24", &why), nullptr);
    EXPECT_EQ(why, "the kernel's USBD_ParseConfigurationDescriptorEx pops 28 bytes of arguments");
    EXPECT_EQ(sim::FindKernelExport("ntoskrnl.exe", "_memcpy@12", &why), nullptr);
    EXPECT_EQ(why, "the kernel's memcpy does not pop its arguments");

    // In a damaged copy of the image the loader names the import and the reason.
    auto bytes = ImageBytes();
    ASSERT_FALSE(bytes.empty());
    const size_t at = Find(bytes, "_USBD_CreateConfigurationRequestEx@8");
    ASSERT_LT(at, bytes.size());
    bytes[at + std::strlen("_USBD_CreateConfigurationRequestEx@")] = '4';
    const std::string refusal = Refusal(bytes);
    EXPECT_NE(refusal.find("_USBD_CreateConfigurationRequestEx@4 from USBD.SYS (the kernel's "
                           "USBD_CreateConfigurationRequestEx pops 8 bytes of arguments)"),
              std::string::npos)
        << refusal;
}

// A DPC routine without the kernel's convention: it leaves its arguments on
// the stack for the caller to pop.
__attribute__((cdecl)) void CdeclDpc(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }
// One that pops one argument too many.
__attribute__((stdcall)) void FiveArgumentDpc(PKDPC, PVOID context, PVOID, PVOID, PVOID) {
    ++*static_cast<int*>(context);
}

TEST(ImageLoader, CatchesRoutinesThatPopAnotherNumberOfBytes) {
    sim::Simulation simulation;
    sim::ExpectViolation expect(sim::Rule::CallingConventionMismatch);
    int ran = 0;
    const struct {
        PKDEFERRED_ROUTINE routine;
        const char* report;
    } cases[] = {
        {reinterpret_cast<PKDEFERRED_ROUTINE>(&CdeclDpc), "popped 0 bytes of arguments where the kernel passed 16"},
        {reinterpret_cast<PKDEFERRED_ROUTINE>(reinterpret_cast<void (*)()>(&FiveArgumentDpc)),
         "popped 20 bytes of arguments where the kernel passed 16"},
    };
    for (const auto& c : cases) {
        KDPC dpc;
        KeInitializeDpc(&dpc, c.routine, &ran);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeLowerIrql(old);
    }
    // Both routines ran, the kernel carried on with its stack put right, and
    // each was reported.
    EXPECT_EQ(ran, 2);
    ASSERT_EQ(expect.Count(), 2);
    EXPECT_NE(expect.LastMessage().find(cases[1].report), std::string::npos) << expect.LastMessage();
    const auto& log = sim::Verifier::Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
        return line.find(cases[0].report) != std::string::npos;
    }));
}
#endif

// Code as a driver's inline IRQL accessors compile it, in a page the trap covers.
class PrivilegedCode {
  public:
    explicit PrivilegedCode(std::vector<uint8_t> code) {
        page_ = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        std::memcpy(page_, code.data(), code.size());
        mprotect(page_, 4096, PROT_READ | PROT_EXEC);
        sim::TrapPrivilegedInstructionsIn(reinterpret_cast<uintptr_t>(page_), 4096);
    }
    ~PrivilegedCode() {
        sim::StopTrappingPrivilegedInstructionsIn(reinterpret_cast<uintptr_t>(page_));
        munmap(page_, 4096);
    }
    template <typename F>
    F As() const {
        return reinterpret_cast<F>(page_);
    }

  private:
    void* page_;
};

#if defined(__x86_64__)
VOID NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int*>(context); }

TEST(ImageLoader, CarriesOutTheIrqlAccessorsOnTheSimulatedProcessor) {
    sim::Simulation simulation;
    // mov %cr8,%rax; ret
    PrivilegedCode read({0x44, 0x0F, 0x20, 0xC0, 0xC3});
    // mov %r9,%cr8; mov %rdi,%rax; ret
    PrivilegedCode write({0x45, 0x0F, 0x22, 0xC1, 0x48, 0x89, 0xF8, 0xC3});
    // mov %cr8,%r9; mov %r9,%rax; ret
    PrivilegedCode readR9({0x45, 0x0F, 0x20, 0xC1, 0x4C, 0x89, 0xC8, 0xC3});

    EXPECT_EQ(read.As<uint64_t (*)()>()(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(read.As<uint64_t (*)()>()(), DISPATCH_LEVEL);
    EXPECT_EQ(readR9.As<uint64_t (*)()>()(), DISPATCH_LEVEL);

    // A DPC queued at DISPATCH_LEVEL runs when the image lowers the IRQL, and
    // every register the image's code relies on is kept across the write.
    int ran = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountDpc, &ran);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    using Write = uint64_t (*)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
    auto lower = write.As<Write>();
    // The value travels in r9 (the sixth argument); rdi comes back as it was.
    EXPECT_EQ(lower(0x1111222233334444, 0, 0, 0, 0, PASSIVE_LEVEL), 0x1111222233334444u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    lower(0, 0, 0, 0, 0, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    lower(0, 0, 0, 0, 0, PASSIVE_LEVEL);
}
#endif

TEST(ImageLoaderDeathTest, ReportsAnyOtherPrivilegedInstructionWithItsPlace) {
    // The threadsafe style runs the test program again, which the 32-bit
    // build's emulator does not do for it; no simulation runs threads here.
    GTEST_FLAG_SET(death_test_style, kX64 ? "threadsafe" : "fast");
    EXPECT_DEATH(
        {
            PrivilegedCode code({0xFA, 0xC3});  // cli; ret
            code.As<void (*)()>()();
        },
        "instruction only the kernel may.*bytes fa c3");
}

}  // namespace
