#include <sim/image_loader.h>

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include <sim/pe_image.h>

#include "shared_user_data.h"

namespace sim {
namespace {

using pe::PeImage;

constexpr size_t kPage = 4096;

#if defined(__x86_64__)
constexpr uint16_t kHostMachine = pe::kMachineAmd64;
constexpr uint16_t kHostMagic = pe::kMagicPe32Plus;
constexpr int kHostRelocation = pe::kRelBasedDir64;
constexpr const char* kHostName = "x64";
#else
constexpr uint16_t kHostMachine = pe::kMachineI386;
constexpr uint16_t kHostMagic = pe::kMagicPe32;
constexpr int kHostRelocation = pe::kRelBasedHighLow;
constexpr const char* kHostName = "i386";
#endif

constexpr uint32_t kScnMemRead = 0x40000000;

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

const char* MachineName(uint16_t machine) {
    switch (machine) {
        case pe::kMachineAmd64: return "x64";
        case pe::kMachineI386: return "i386";
        default: return "unknown";
    }
}

// "_Z16TransmitEmptyDpcP5_KDPCPvS1_S1_" -> "TransmitEmptyDpc"; C names as they are.
// An i386 image's symbols carry a leading underscore, and those of routines
// that pop their arguments the byte count: "__Z16TransmitEmptyDpc...@16".
std::string RoutineName(std::string symbol, bool i386) {
    if (i386 && symbol.size() > 1 && symbol[0] == '_') {
        symbol.erase(0, 1);
        const size_t at = symbol.rfind('@');
        if (at != std::string::npos && at > 0 && at + 1 < symbol.size() &&
            symbol.find_first_not_of("0123456789", at + 1) == std::string::npos) {
            symbol.erase(at);
        }
    }
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr) return symbol;
    std::string name(demangled);
    std::free(demangled);
    const size_t parameters = name.find('(');
    return parameters == std::string::npos ? name : name.substr(0, parameters);
}

size_t RoundUp(size_t value, size_t to) { return (value + to - 1) / to * to; }

std::vector<LoadedImage*>& Images() {
    static std::vector<LoadedImage*> images;
    return images;
}

}  // namespace

std::unique_ptr<LoadedImage> LoadedImage::Load(const std::string& path, std::string* error) {
    const auto bytes = pe::ReadFileBytes(path);
    if (!bytes) {
        *error = path + ": cannot be read";
        return nullptr;
    }
    std::string name = path.substr(path.find_last_of('/') + 1);
    return Map(*bytes, name, error);
}

std::unique_ptr<LoadedImage> LoadedImage::Map(const std::vector<uint8_t>& file,
                                              const std::string& name, std::string* error) {
    std::unique_ptr<LoadedImage> image(new LoadedImage());
    image->name_ = name;
    if (!image->MapFile(file, error)) {
        *error = name + ": " + *error;
        return nullptr;
    }
    Images().push_back(image.get());
    for (const ImageSection& section : image->sections_) {
        if (section.executable) TrapPrivilegedInstructionsIn(section.start, section.end - section.start);
    }
    return image;
}

LoadedImage::~LoadedImage() {
    auto& images = Images();
    images.erase(std::remove(images.begin(), images.end(), this), images.end());
    for (const ImageSection& section : sections_) {
        if (section.executable) StopTrappingPrivilegedInstructionsIn(section.start);
    }
    if (base_ != 0) munmap(reinterpret_cast<void*>(base_), size_);
}

bool LoadedImage::MapFile(const std::vector<uint8_t>& file, std::string* error) {
    try {
        const PeImage pe(file);
        if (pe.machine() != kHostMachine || pe.magic() != kHostMagic) {
            *error = std::string("an image for ") + MachineName(pe.machine()) + " (machine " +
                     Hex(pe.machine()) + "), where this simulator runs " + kHostName + " images";
            return false;
        }
        if (pe.subsystem() != pe::kSubsystemNative) {
            *error = "not a kernel-mode image (subsystem " + std::to_string(pe.subsystem()) + ")";
            return false;
        }
        if (pe.file_characteristics() & pe::kFileRelocsStripped) {
            *error = "its relocations were stripped: it can only be loaded at its preferred base";
            return false;
        }

        // The mapping: the headers, then every section at its RVA, as long as the
        // furthest one reaches.
        size_t size = RoundUp(pe.size_of_headers(), kPage);
        for (const pe::Section& section : pe.sections()) {
            const size_t extent = std::max(section.virtual_size, section.raw_size);
            size = std::max(size, RoundUp(size_t{section.virtual_address} + extent, kPage));
        }
        void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            *error = "no memory for " + std::to_string(size) + " bytes";
            return false;
        }
        base_ = reinterpret_cast<uintptr_t>(memory);
        size_ = size;
        preferredBase_ = pe.image_base();
        auto* at = static_cast<uint8_t*>(memory);
        std::memcpy(at, file.data(), std::min<size_t>(pe.size_of_headers(), file.size()));
        for (const pe::Section& section : pe.sections()) {
            const size_t length = section.virtual_size != 0
                                      ? std::min(section.raw_size, section.virtual_size)
                                      : section.raw_size;
            if (length != 0) {
                if (section.raw_offset > file.size() || length > file.size() - section.raw_offset) {
                    *error = "section " + section.name + " lies beyond the end of the file";
                    return false;
                }
                std::memcpy(at + section.virtual_address, file.data() + section.raw_offset, length);
            }
            ImageSection mapped;
            mapped.name = section.name;
            mapped.start = base_ + section.virtual_address;
            mapped.end = mapped.start + std::max(section.virtual_size, section.raw_size);
            mapped.executable = (section.characteristics & pe::kScnMemExecute) != 0;
            mapped.writable = (section.characteristics & pe::kScnMemWrite) != 0;
            mapped.pageable = section.name.compare(0, 4, "PAGE") == 0;
            sections_.push_back(mapped);
        }

        // Base relocations: every absolute address in the image moves by how far
        // from its preferred base it was loaded.
        const uint64_t delta = base_ - preferredBase_;
        for (const pe::Relocation& relocation : pe.RelocationEntries()) {
            const size_t width = relocation.type == pe::kRelBasedDir64 ? 8 : 4;
            if (relocation.type != kHostRelocation) {
                *error = "a base relocation of type " + std::to_string(relocation.type) + " at RVA " +
                         Hex(relocation.rva) + ", which no " + kHostName + " kernel image carries";
                return false;
            }
            if (relocation.rva > size_ - width) {
                *error = "a base relocation at RVA " + Hex(relocation.rva) + " lies outside the image (" +
                         Hex(size_) + " bytes)";
                return false;
            }
            if (width == 8) {
                uint64_t value;
                std::memcpy(&value, at + relocation.rva, 8);
                value += delta;
                std::memcpy(at + relocation.rva, &value, 8);
            } else {
                uint32_t value;
                std::memcpy(&value, at + relocation.rva, 4);
                value += static_cast<uint32_t>(delta);
                std::memcpy(at + relocation.rva, &value, 4);
            }
            ++relocationsApplied_;
        }

        // Imports, bound by name. Every one missing is named, not only the first.
        std::vector<std::string> unresolved;
        const size_t slot = pe.is_pe32_plus() ? 8 : 4;
        for (const pe::ImportedDll& dll : pe.Imports()) {
            for (size_t i = 0; i < dll.functions.size(); ++i) {
                const std::string& function = dll.functions[i];
                std::string why;
                const void* address = function[0] == '#' ? nullptr : FindKernelExport(dll.name, function, &why);
                if (address == nullptr) {
                    unresolved.push_back(function[0] == '#' ? "ordinal " + function.substr(1) + " of " + dll.name
                                                            : function + " from " + dll.name +
                                                                  (why.empty() ? std::string() : " (" + why + ")"));
                    continue;
                }
                if (dll.address_slots[i] > size_ - slot) {
                    *error = "the import address of " + function + " lies outside the image";
                    return false;
                }
                const uint64_t value = reinterpret_cast<uintptr_t>(address);
                std::memcpy(at + dll.address_slots[i], &value, slot);
                imports_.push_back({dll.name, function, address});
            }
        }
        if (!unresolved.empty()) {
            *error = "imports what the simulated kernel does not export: ";
            for (size_t i = 0; i < unresolved.size(); ++i) *error += (i ? ", " : "") + unresolved[i];
            return false;
        }

        // The kernel's shared data page is at a fixed kernel address; the image's
        // references to it are pointed at the simulator's copy, which the clock
        // keeps current.
        sharedDataReferences_ = RedirectSharedUserData(at, sections_, base_);

        // Routine names for reports: every symbol defined in a code section.
        constexpr uint8_t kStorageExternal = 2, kStorageStatic = 3;
        for (const pe::Symbol& symbol : pe.Symbols()) {
            if (symbol.section_number < 1 || static_cast<size_t>(symbol.section_number) > sections_.size() ||
                (symbol.storage_class != kStorageExternal && symbol.storage_class != kStorageStatic)) {
                continue;
            }
            const ImageSection& section = sections_[symbol.section_number - 1];
            if (!section.executable || symbol.name.empty() || symbol.name[0] == '.') continue;
            routines_.push_back({section.start + symbol.value, RoutineName(symbol.name, pe.machine() == pe::kMachineI386)});
        }
        std::sort(routines_.begin(), routines_.end(),
                  [](const ImageRoutine& a, const ImageRoutine& b) { return a.address < b.address; });

        const ImageSection* entrySection = SectionAt(base_ + pe.entry_point());
        if (pe.entry_point() == 0 || entrySection == nullptr || !entrySection->executable) {
            *error = "its entry point (RVA " + Hex(pe.entry_point()) + ") is not in code";
            return false;
        }
        entry_ = reinterpret_cast<const void*>(base_ + pe.entry_point());

        // Protections as the sections ask; the headers read-only.
        mprotect(memory, RoundUp(pe.size_of_headers(), kPage), PROT_READ);
        for (const pe::Section& section : pe.sections()) {
            int protection = 0;
            if (section.characteristics & kScnMemRead) protection |= PROT_READ;
            if (section.characteristics & pe::kScnMemWrite) protection |= PROT_READ | PROT_WRITE;
            if (section.characteristics & pe::kScnMemExecute) protection |= PROT_READ | PROT_EXEC;
            const size_t extent = RoundUp(std::max(section.virtual_size, section.raw_size), kPage);
            if (extent != 0) mprotect(at + section.virtual_address, extent, protection);
        }
        return true;
    } catch (const pe::PeFormatError& e) {
        *error = std::string("a damaged image: ") + e.what();
        return false;
    }
}

const ImageSection* LoadedImage::SectionAt(uintptr_t address) const {
    for (const ImageSection& section : sections_) {
        if (address >= section.start && address < section.end) return &section;
    }
    return nullptr;
}

std::string LoadedImage::Describe(uintptr_t address) const {
    auto after = std::upper_bound(routines_.begin(), routines_.end(), address,
                                  [](uintptr_t a, const ImageRoutine& r) { return a < r.address; });
    std::string text = after == routines_.begin()
                           ? name_ + "+" + Hex(address - base_)
                           : name_ + "!" + std::prev(after)->name + "+" + Hex(address - std::prev(after)->address);
    if (const ImageSection* section = SectionAt(address)) text += " (" + section->name + ")";
    return text;
}

const LoadedImage* LoadedImage::Holding(uintptr_t address) {
    for (const LoadedImage* image : Images()) {
        if (image->Contains(address)) return image;
    }
    return nullptr;
}

}  // namespace sim
