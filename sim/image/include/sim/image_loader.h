// The kernel's image loader, for driver images built for Windows: maps a .sys
// file by its section table, applies its base relocations at the address it
// landed at, binds its imports by name to the routines the simulated kernel
// exports as ntoskrnl.exe, HAL.dll, USBD.SYS and WMILIB.SYS, and gives each
// section the protection its characteristics ask for. A damaged image (bad
// headers, a relocation it cannot apply, an import nobody exports, a machine
// other than the host's) is refused with a message that says what and where.
//
// Code in a loaded image runs as kernel code: the privileged instructions a
// driver's inline IRQL accessors use (moves from and to CR8) are trapped and
// carried out on the simulated processor; any other privileged instruction in
// an image is reported with its address before the program stops.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct ImageSection {
    std::string name;
    uintptr_t start = 0;
    uintptr_t end = 0;  // one past the last byte of its pages' content
    bool executable = false;
    bool writable = false;
    bool pageable = false;  // a PAGE* section: code or data the driver may page out
};

// A routine of the image, by the name its symbol table gives it (C++ names
// demangled, without their parameter lists).
struct ImageRoutine {
    uintptr_t address = 0;
    std::string name;
};

struct ImageImport {
    std::string module;
    std::string name;
    const void* address = nullptr;  // what the image's address table now holds
};

class LoadedImage {
  public:
    // Reads and maps the file; on failure answers null with the reason in *error.
    static std::unique_ptr<LoadedImage> Load(const std::string& path, std::string* error);
    // The same for an image already in memory; `name` is used in messages.
    static std::unique_ptr<LoadedImage> Map(const std::vector<uint8_t>& file,
                                            const std::string& name, std::string* error);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    const std::string& Name() const { return name_; }
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }
    // The image's preferred base, and how far from it the image was loaded.
    uint64_t PreferredBase() const { return preferredBase_; }
    // The entry point (DriverEntry), as the loaded image's code address.
    const void* EntryPoint() const { return entry_; }
    const std::vector<ImageSection>& Sections() const { return sections_; }
    const std::vector<ImageImport>& Imports() const { return imports_; }
    // From the image's COFF symbol table, by address; empty for a stripped image.
    const std::vector<ImageRoutine>& Routines() const { return routines_; }
    size_t RelocationsApplied() const { return relocationsApplied_; }
    // References to the kernel's shared data page pointed at the simulator's copy.
    size_t SharedDataReferences() const { return sharedDataReferences_; }

    bool Contains(uintptr_t address) const { return address - base_ < size_; }
    const ImageSection* SectionAt(uintptr_t address) const;
    // "vodrek64.sys!TransmitEmptyDpc+0x1b (.text)" — or "vodrek64.sys+0x1a2b"
    // without symbols — for reports.
    std::string Describe(uintptr_t address) const;

    // The loaded image holding `address`, or null.
    static const LoadedImage* Holding(uintptr_t address);

  private:
    LoadedImage() = default;
    bool MapFile(const std::vector<uint8_t>& file, std::string* error);

    std::string name_;
    uintptr_t base_ = 0;
    size_t size_ = 0;
    uint64_t preferredBase_ = 0;
    const void* entry_ = nullptr;
    size_t relocationsApplied_ = 0;
    size_t sharedDataReferences_ = 0;
    std::vector<ImageSection> sections_;
    std::vector<ImageImport> imports_;
    std::vector<ImageRoutine> routines_;
};

// The routine the simulated kernel exports from `module` under `name` (module
// names compare without regard to case), or null; when a decorated i386 name
// ("_Name@bytes") names a routine that pops another number of bytes, *why
// says so.
const void* FindKernelExport(const std::string& module, const std::string& name, std::string* why = nullptr);

// The interrupt time as an image reads it from the shared data page.
uint64_t SharedInterruptTime();

// Emulation of privileged instructions in loaded images, installed while an
// image is loaded. Exposed for tests: run `code` (a routine in executable
// memory) as if it were image code.
void TrapPrivilegedInstructionsIn(uintptr_t start, size_t size);
void StopTrappingPrivilegedInstructionsIn(uintptr_t start);

}  // namespace sim
