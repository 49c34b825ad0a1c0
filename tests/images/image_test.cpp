// Checks of the two kernel images the cross builds produce. Each check is a function returning
// an AssertionResult so that the same code judges the real image and, in the second half of
// this file, deliberately damaged copies of it: a check that cannot reject a bad image would
// prove nothing about a good one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sim/pe_image.h>

#ifndef VODREK_IMAGE_X64
#error "VODREK_IMAGE_X64 must name the x64 image (a string literal)"
#endif
#ifndef VODREK_IMAGE_X86
#error "VODREK_IMAGE_X86 must name the i386 image (a string literal)"
#endif

namespace vodrek::images {
using namespace sim::pe;
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

struct ImageKind {
    const char* label;
    const char* path;
    const char* preset;
    uint16_t machine;
    uint16_t magic;
    const char* entry_symbol;
    int relocation_type;  // the one relocation a loader applies to this machine's pointers
    size_t pointer_size;
};

const ImageKind kX64 = {"x64",          VODREK_IMAGE_X64, "win-x64",      kMachineAmd64,
                        kMagicPe32Plus, "DriverEntry",    kRelBasedDir64, 8};
const ImageKind kX86 = {"i386",     VODREK_IMAGE_X86, "win-x86",        kMachineI386,
                        kMagicPe32, "_DriverEntry@8", kRelBasedHighLow, 4};

void PrintTo(const ImageKind& kind, std::ostream* out) {
    *out << kind.label << " " << kind.path;
}

// The printf format the driver logs at load; the tab and newline are part of it.
const char kBanner[] = "TARNIX.SYS:\t<Build: %s - %s>\n";

const char* const kAllowedImports[] = {"ntoskrnl.exe", "hal.dll", "usbd.sys", "wmilib.sys"};

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Runs a check, turning a malformed structure met on the way into a failure with its reason.
AssertionResult Guarded(const std::function<AssertionResult()>& check) {
    try {
        return check();
    } catch (const PeFormatError& error) {
        return AssertionFailure() << "malformed image: " << error.what();
    }
}

AssertionResult CheckMachine(const PeImage& image, const ImageKind& kind) {
    if (image.machine() != kind.machine) {
        return AssertionFailure() << "Machine " << Hex(image.machine()) << ", expected "
                                  << Hex(kind.machine);
    }
    if (image.magic() != kind.magic) {
        return AssertionFailure() << "optional header Magic " << Hex(image.magic()) << ", expected "
                                  << Hex(kind.magic);
    }
    if (!(image.file_characteristics() & kFileExecutableImage)) {
        return AssertionFailure() << "IMAGE_FILE_EXECUTABLE_IMAGE not set";
    }
    if (image.file_characteristics() & kFileDll) {
        return AssertionFailure() << "IMAGE_FILE_DLL set: linked as a DLL, not a driver";
    }
    return AssertionSuccess();
}

AssertionResult CheckNativeSubsystem(const PeImage& image) {
    if (image.subsystem() != kSubsystemNative) {
        return AssertionFailure() << "Subsystem " << image.subsystem() << ", expected native ("
                                  << kSubsystemNative << ")";
    }
    return AssertionSuccess();
}

AssertionResult CheckEntryPoint(const PeImage& image, const ImageKind& kind) {
    return Guarded([&]() -> AssertionResult {
        if (image.symbol_count() == 0) {
            return AssertionFailure() << "no COFF symbol table; link the image without -s so "
                                         "the entry point can be matched to "
                                      << kind.entry_symbol;
        }
        const std::optional<uint32_t> rva = image.SymbolRva(kind.entry_symbol);
        if (!rva) {
            return AssertionFailure() << "symbol " << kind.entry_symbol << " not defined";
        }
        if (image.entry_point() != *rva) {
            return AssertionFailure() << "AddressOfEntryPoint " << Hex(image.entry_point())
                                      << " is not " << kind.entry_symbol << " at " << Hex(*rva);
        }
        const Section* section = image.SectionAt(image.entry_point());
        if (section == nullptr) {
            return AssertionFailure()
                   << "entry point " << Hex(image.entry_point()) << " lies in no section";
        }
        if (!(section->characteristics & kScnMemExecute)) {
            return AssertionFailure()
                   << "entry point lies in non-executable section " << section->name;
        }
        return AssertionSuccess();
    });
}

AssertionResult CheckRelocatable(const PeImage& image, const ImageKind& kind) {
    return Guarded([&]() -> AssertionResult {
        if (image.file_characteristics() & kFileRelocsStripped) {
            return AssertionFailure() << "IMAGE_FILE_RELOCS_STRIPPED set";
        }
        if (!(image.dll_characteristics() & kDllCharDynamicBase)) {
            return AssertionFailure() << "DYNAMIC_BASE not set";
        }
        if (!image.directory(kDirBaseReloc).present()) {
            return AssertionFailure() << "no base relocation directory";
        }
        const RelocationSummary relocs = image.Relocations();
        for (const auto& [type, count] : relocs.entries_by_type) {
            if (type != kRelBasedAbsolute && type != kind.relocation_type) {
                return AssertionFailure() << count << " relocation(s) of type " << type
                                          << ", foreign to machine " << Hex(kind.machine);
            }
        }
        const auto native = relocs.entries_by_type.find(kind.relocation_type);
        if (relocs.blocks == 0 || native == relocs.entries_by_type.end()) {
            return AssertionFailure()
                   << "base relocation directory holds " << relocs.blocks
                   << " block(s) and no relocation of type " << kind.relocation_type;
        }
        return AssertionSuccess();
    });
}

AssertionResult CheckDllCharacteristics(const PeImage& image) {
    if (!(image.dll_characteristics() & kDllCharNxCompat)) {
        return AssertionFailure() << "NX_COMPAT not set in " << Hex(image.dll_characteristics());
    }
    if (!(image.dll_characteristics() & kDllCharWdmDriver)) {
        return AssertionFailure() << "WDM_DRIVER not set in " << Hex(image.dll_characteristics());
    }
    return AssertionSuccess();
}

AssertionResult CheckChecksum(const PeImage& image) {
    if (image.stored_checksum() == 0) {
        return AssertionFailure() << "CheckSum is zero; the kernel refuses such a driver";
    }
    const uint32_t computed = image.ComputeChecksum();
    if (computed != image.stored_checksum()) {
        return AssertionFailure() << "CheckSum " << Hex(image.stored_checksum())
                                  << " does not match the file's checksum " << Hex(computed);
    }
    return AssertionSuccess();
}

AssertionResult CheckNoExports(const PeImage& image) {
    const DataDirectory exports = image.directory(kDirExport);
    if (exports.present()) {
        return AssertionFailure() << "export directory at " << Hex(exports.rva) << " ("
                                  << exports.size << " bytes); was the image linked -shared?";
    }
    for (const Section& section : image.sections()) {
        if (section.name == ".edata") {
            return AssertionFailure() << "image has an .edata section";
        }
    }
    return AssertionSuccess();
}

AssertionResult CheckImports(const PeImage& image) {
    return Guarded([&]() -> AssertionResult {
        const std::vector<ImportedDll> dlls = image.Imports();
        bool kernel = false;
        for (const ImportedDll& dll : dlls) {
            const std::string name = Lower(dll.name);
            const auto allowed = std::find(std::begin(kAllowedImports), std::end(kAllowedImports),
                                           name) != std::end(kAllowedImports);
            if (!allowed) {
                return AssertionFailure()
                       << "imports from " << dll.name << " (e.g. "
                       << (dll.functions.empty() ? "nothing" : dll.functions.front())
                       << "), which a kernel driver cannot load";
            }
            kernel = kernel || name == "ntoskrnl.exe";
        }
        if (!kernel) {
            return AssertionFailure() << "nothing imported from ntoskrnl.exe";
        }
        return AssertionSuccess();
    });
}

AssertionResult CheckNoTls(const PeImage& image) {
    if (image.directory(kDirTls).present()) {
        return AssertionFailure() << "TLS directory present; a driver image cannot have one";
    }
    for (const Section& section : image.sections()) {
        if (section.name == ".tls") {
            return AssertionFailure() << "image has a .tls section";
        }
    }
    return AssertionSuccess();
}

// Reads one pointer-sized word; the lists below are pointer arrays.
uint64_t Word(const std::vector<uint8_t>& bytes, size_t at, size_t size) {
    uint64_t value = 0;
    for (size_t i = size; i-- > 0;) {
        value = (value << 8) | bytes[at + i];
    }
    return value;
}

// mingw's ld folds .ctors/.dtors into .text as
//   __CTOR_LIST__: -1, <constructors>, 0    __DTOR_LIST__: -1, <destructors>, 0
// with pointer-sized words. The kernel never walks these lists, so anything between the
// delimiters would be a global object left unconstructed.
AssertionResult CheckPointerList(const PeImage& image, const ImageKind& kind, const char* symbol) {
    const std::optional<uint32_t> rva = image.SymbolRva(symbol);
    if (!rva) {
        return AssertionFailure() << "symbol " << symbol << " not found";
    }
    const std::vector<uint8_t> list = image.ReadAt(*rva, 2 * kind.pointer_size);
    const uint64_t all_ones = kind.pointer_size == 8 ? ~uint64_t{0} : 0xFFFFFFFFu;
    const uint64_t head = Word(list, 0, kind.pointer_size);
    const uint64_t next = Word(list, kind.pointer_size, kind.pointer_size);
    if (head != all_ones) {
        return AssertionFailure() << symbol << " does not start with the -1 delimiter but "
                                  << Hex(head);
    }
    if (next != 0) {
        return AssertionFailure() << symbol << " holds an entry " << Hex(next)
                                  << ": a global object with a constructor or destructor";
    }
    return AssertionSuccess();
}

AssertionResult CheckNoGlobalConstructors(const PeImage& image, const ImageKind& kind) {
    return Guarded([&]() -> AssertionResult {
        if (image.symbol_count() == 0) {
            return AssertionFailure() << "no COFF symbol table; link the image without -s so "
                                         "the constructor list can be found";
        }
        for (const char* symbol : {"__CTOR_LIST__", "__DTOR_LIST__"}) {
            const AssertionResult list = CheckPointerList(image, kind, symbol);
            if (!list) {
                return list;
            }
        }
        // A separate list section only appears with another linker script or runtime; if one
        // does, it too may hold nothing but delimiters and null markers.
        for (const Section& section : image.sections()) {
            const std::string name = section.name;
            if (name != ".ctors" && name != ".dtors" && name != ".init_array" &&
                name != ".fini_array" && name != ".CRT") {
                continue;
            }
            const uint32_t size = std::min(section.virtual_size, section.raw_size);
            const std::vector<uint8_t> data = image.ReadAt(section.virtual_address, size);
            const uint64_t all_ones = kind.pointer_size == 8 ? ~uint64_t{0} : 0xFFFFFFFFu;
            for (size_t at = 0; at + kind.pointer_size <= data.size(); at += kind.pointer_size) {
                const uint64_t word = Word(data, at, kind.pointer_size);
                if (word != 0 && word != all_ones) {
                    return AssertionFailure() << "section " << name << " holds entry " << Hex(word)
                                              << " at offset " << Hex(at);
                }
            }
        }
        return AssertionSuccess();
    });
}

AssertionResult CheckBanner(const PeImage& image) {
    const std::vector<uint8_t>& bytes = image.bytes();
    const char* const end = kBanner + std::strlen(kBanner);
    const auto found = std::search(bytes.begin(), bytes.end(), kBanner, end);
    if (found == bytes.end()) {
        return AssertionFailure() << "build banner \"TARNIX.SYS:\\t<Build: %s - %s>\\n\" "
                                     "not found in the image";
    }
    const size_t offset = static_cast<size_t>(found - bytes.begin());
    for (const Section& section : image.sections()) {
        if (offset >= section.raw_offset && offset - section.raw_offset < section.raw_size) {
            return AssertionSuccess();
        }
    }
    return AssertionFailure() << "build banner at file offset " << Hex(offset)
                              << " lies outside every section, so it is never loaded";
}

// The pageable section that holds the code run only while the port starts, locked
// around each start; and routines that also run with it unlocked, or at
// DISPATCH_LEVEL, which must never be placed in it.
const char kStartSection[] = "PAGESRP0";
const char kStartSectionRoutine[] = "_Z9StartPortP14_DEVICE_OBJECT";
const char* const kNeverPageable[] = {
    "_Z17RedispatchStalledP13PortExtension",  // cancel-stop; takes the cancel spin lock
};

// The symbol a C++ routine of the driver gets on this machine: i386 adds an underscore.
std::string RoutineSymbol(const ImageKind& kind, const char* mangled) {
    return (kind.machine == kMachineI386 ? "_" : "") + std::string(mangled);
}

AssertionResult CheckStartSection(const PeImage& image, const ImageKind& kind) {
    return Guarded([&]() -> AssertionResult {
        if (image.symbol_count() == 0) {
            return AssertionFailure() << "no COFF symbol table; link the image without -s so "
                                         "the routines' sections can be checked";
        }
        auto sectionOf = [&](const char* mangled) -> std::string {
            const std::optional<uint32_t> rva = image.SymbolRva(RoutineSymbol(kind, mangled));
            if (!rva)
                return std::string();
            const Section* section = image.SectionAt(*rva);
            return section ? section->name : std::string();
        };
        // The start section is found where the start routine is: the check sees it.
        const std::string start = sectionOf(kStartSectionRoutine);
        if (start != kStartSection) {
            return AssertionFailure() << kStartSectionRoutine << " is in section '" << start
                                      << "', not in " << kStartSection;
        }
        for (const char* routine : kNeverPageable) {
            const std::string section = sectionOf(routine);
            if (section.empty())
                return AssertionFailure() << "symbol " << routine << " not found";
            if (section == kStartSection) {
                return AssertionFailure() << routine << " lies in the pageable start section";
            }
        }
        return AssertionSuccess();
    });
}

class DriverImage : public ::testing::TestWithParam<ImageKind> {
  protected:
    void SetUp() override {
        const ImageKind& kind = GetParam();
        std::optional<std::vector<uint8_t>> bytes = ReadFileBytes(kind.path);
        ASSERT_TRUE(bytes.has_value())
            << "image " << kind.path << " not found; build it with `cmake --preset " << kind.preset
            << " && cmake --build --preset " << kind.preset << "`";
        try {
            image_.emplace(std::move(*bytes));
        } catch (const PeFormatError& error) {
            FAIL() << kind.path << " is not a valid PE image: " << error.what();
        }
    }

    const ImageKind& kind() const { return GetParam(); }
    const PeImage& image() const { return *image_; }

    // File offsets of the header fields the doctored copies change.
    size_t PeOffset() const {
        const auto& b = image().bytes();
        return b[0x3C] | (b[0x3D] << 8) | (b[0x3E] << 16) | (size_t{b[0x3F]} << 24);
    }
    size_t OptionalHeaderOffset() const { return image().checksum_field_offset() - 64; }
    size_t DirectoryOffset(int index) const {
        return OptionalHeaderOffset() + (image().is_pe32_plus() ? 112 : 96) + 8 * index;
    }

    // A copy of the image with `doctor` applied to its bytes.
    PeImage Doctored(const std::function<void(std::vector<uint8_t>&)>& doctor) const {
        std::vector<uint8_t> bytes = image().bytes();
        doctor(bytes);
        return PeImage(std::move(bytes));
    }

  private:
    std::optional<PeImage> image_;
};

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes.at(at) = static_cast<uint8_t>(value);
    bytes.at(at + 1) = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8));
}

// Every file offset at which `text` occurs.
std::vector<size_t> FindAll(const std::vector<uint8_t>& bytes, const std::string& text) {
    std::vector<size_t> offsets;
    auto from = bytes.begin();
    for (;;) {
        const auto found = std::search(from, bytes.end(), text.begin(), text.end());
        if (found == bytes.end()) {
            return offsets;
        }
        offsets.push_back(static_cast<size_t>(found - bytes.begin()));
        from = found + 1;
    }
}

// --- the checks on the image as built -------------------------------------------------------

TEST_P(DriverImage, MachineAndOptionalHeaderFitTheArchitecture) {
    EXPECT_TRUE(CheckMachine(image(), kind()));
}

TEST_P(DriverImage, RunsInTheNativeSubsystem) {
    EXPECT_TRUE(CheckNativeSubsystem(image()));
}

TEST_P(DriverImage, EntryPointIsDriverEntryInExecutableCode) {
    EXPECT_TRUE(CheckEntryPoint(image(), kind()));
}

TEST_P(DriverImage, CanBeLoadedAtAnyAddress) {
    EXPECT_TRUE(CheckRelocatable(image(), kind()));
}

TEST_P(DriverImage, IsMarkedNxCompatibleWdmDriver) {
    EXPECT_TRUE(CheckDllCharacteristics(image()));
}

TEST_P(DriverImage, CarriesTheCorrectChecksum) {
    EXPECT_TRUE(CheckChecksum(image()));
}

TEST_P(DriverImage, ExportsNothing) {
    EXPECT_TRUE(CheckNoExports(image()));
}

TEST_P(DriverImage, ImportsOnlyFromKernelModules) {
    EXPECT_TRUE(CheckImports(image()));
}

TEST_P(DriverImage, HasNoThreadLocalStorage) {
    EXPECT_TRUE(CheckNoTls(image()));
}

TEST_P(DriverImage, HasNoGlobalConstructors) {
    EXPECT_TRUE(CheckNoGlobalConstructors(image(), kind()));
}

TEST_P(DriverImage, CodeThatMayRunUnlockedLiesOutsideThePageableStartSection) {
    EXPECT_TRUE(CheckStartSection(image(), kind()));
}

TEST_P(DriverImage, ContainsTheBuildBanner) {
    EXPECT_TRUE(CheckBanner(image()));
}

// --- the same checks on damaged copies ------------------------------------------------------

TEST_P(DriverImage, ChecksRejectWrongHeaderFields) {
    const size_t coff = PeOffset() + 4;
    const size_t opt = OptionalHeaderOffset();

    const ImageKind& other = kind().machine == kMachineAmd64 ? kX86 : kX64;
    EXPECT_FALSE(CheckMachine(image(), other));
    EXPECT_FALSE(CheckMachine(Doctored([&](auto& b) { Put16(b, coff, 0x01C4); }), kind()));
    EXPECT_FALSE(CheckMachine(
        Doctored([&](auto& b) { Put16(b, coff + 18, Get16(b, coff + 18) | kFileDll); }), kind()));

    EXPECT_FALSE(CheckNativeSubsystem(Doctored([&](auto& b) { Put16(b, opt + 68, 2); })));

    EXPECT_FALSE(CheckDllCharacteristics(
        Doctored([&](auto& b) { Put16(b, opt + 70, Get16(b, opt + 70) & ~kDllCharNxCompat); })));
    EXPECT_FALSE(CheckDllCharacteristics(
        Doctored([&](auto& b) { Put16(b, opt + 70, Get16(b, opt + 70) & ~kDllCharWdmDriver); })));
}

TEST_P(DriverImage, EntryPointCheckRejectsAMovedEntryPoint) {
    const size_t opt = OptionalHeaderOffset();
    EXPECT_FALSE(CheckEntryPoint(
        Doctored([&](auto& b) { Put32(b, opt + 16, image().entry_point() + 1); }), kind()));
    // Code moved into a section without execute permission.
    const Section* text = image().SectionAt(image().entry_point());
    ASSERT_NE(text, nullptr);
    const size_t header = static_cast<size_t>(text - image().sections().data());
    const size_t table = opt + Get16(image().bytes(), PeOffset() + 4 + 16);
    EXPECT_FALSE(CheckEntryPoint(Doctored([&](auto& b) {
                                     const size_t at = table + 40 * header + 36;
                                     Put32(b, at, 0x40000040);
                                 }),
                                 kind()));
}

TEST_P(DriverImage, RelocationCheckRejectsAFixedImage) {
    const size_t coff = PeOffset() + 4;
    const size_t opt = OptionalHeaderOffset();
    EXPECT_FALSE(CheckRelocatable(
        Doctored([&](auto& b) { Put16(b, coff + 18, Get16(b, coff + 18) | kFileRelocsStripped); }),
        kind()));
    EXPECT_FALSE(CheckRelocatable(
        Doctored([&](auto& b) { Put16(b, opt + 70, Get16(b, opt + 70) & ~kDllCharDynamicBase); }),
        kind()));
    EXPECT_FALSE(CheckRelocatable(
        Doctored([&](auto& b) { Put32(b, DirectoryOffset(kDirBaseReloc) + 4, 0); }), kind()));
    // A relocation type for the other machine's pointers.
    const DataDirectory relocs = image().directory(kDirBaseReloc);
    ASSERT_TRUE(relocs.present());
    const size_t first_entry = image().FileOffsetOf(relocs.rva, relocs.size) + 8;
    const uint16_t foreign =
        kind().relocation_type == kRelBasedDir64 ? kRelBasedHighLow : kRelBasedDir64;
    EXPECT_FALSE(CheckRelocatable(Doctored([&](auto& b) {
                                      Put16(b, first_entry,
                                            (Get16(b, first_entry) & 0x0FFF) | (foreign << 12));
                                  }),
                                  kind()));
}

TEST_P(DriverImage, ChecksumCheckRejectsAnyChangedByte) {
    const size_t field = image().checksum_field_offset();
    EXPECT_FALSE(CheckChecksum(Doctored([&](auto& b) { Put32(b, field, 0); })));
    EXPECT_FALSE(
        CheckChecksum(Doctored([&](auto& b) { Put32(b, field, image().stored_checksum() + 1); })));
    const std::vector<size_t> offsets = {0x4E, image().bytes().size() / 2,
                                         image().bytes().size() - 1};
    for (size_t at : offsets) {
        EXPECT_FALSE(CheckChecksum(Doctored([&](auto& b) { b.at(at) ^= 0x10; })))
            << "byte at " << Hex(at) << " flipped";
    }
}

TEST_P(DriverImage, ExportCheckRejectsAnExportDirectory) {
    const Section& any = image().sections().front();
    EXPECT_FALSE(CheckNoExports(Doctored([&](auto& b) {
        Put32(b, DirectoryOffset(kDirExport), any.virtual_address);
        Put32(b, DirectoryOffset(kDirExport) + 4, 40);
    })));
}

TEST_P(DriverImage, ImportCheckRejectsAUserModeLibrary) {
    const std::vector<size_t> kernel = FindAll(image().bytes(), "ntoskrnl.exe");
    ASSERT_FALSE(kernel.empty());
    // Same length, so nothing else in the table moves.
    const std::string user = "kernel32.dll";
    EXPECT_FALSE(CheckImports(Doctored([&](auto& b) {
        for (size_t at : kernel) {
            std::copy(user.begin(), user.end(), b.begin() + static_cast<ptrdiff_t>(at));
        }
    })));
    EXPECT_FALSE(CheckImports(Doctored([&](auto& b) { Put32(b, DirectoryOffset(kDirImport), 0); })))
        << "an image importing nothing from ntoskrnl.exe must be rejected";
}

TEST_P(DriverImage, TlsCheckRejectsATlsDirectory) {
    const Section& any = image().sections().front();
    EXPECT_FALSE(CheckNoTls(Doctored([&](auto& b) {
        Put32(b, DirectoryOffset(kDirTls), any.virtual_address);
        Put32(b, DirectoryOffset(kDirTls) + 4, kind().pointer_size == 8 ? 40 : 24);
    })));
}

TEST_P(DriverImage, ConstructorCheckRejectsAListEntry) {
    const std::optional<uint32_t> list = image().SymbolRva("__CTOR_LIST__");
    ASSERT_TRUE(list.has_value()) << "no __CTOR_LIST__ symbol";
    const size_t terminator =
        image().FileOffsetOf(*list, 2 * kind().pointer_size) + kind().pointer_size;
    EXPECT_FALSE(CheckNoGlobalConstructors(
        Doctored([&](auto& b) { Put32(b, terminator, image().entry_point()); }), kind()));
}

TEST_P(DriverImage, BannerCheckRejectsAnAlteredBanner) {
    const std::vector<size_t> banners = FindAll(image().bytes(), kBanner);
    ASSERT_FALSE(banners.empty());
    // The tab is part of the banner: a space in its place is not the banner.
    EXPECT_FALSE(CheckBanner(Doctored([&](auto& b) {
        for (size_t at : banners) {
            b.at(at + std::strlen("TARNIX.SYS:")) = ' ';
        }
    })));
}

INSTANTIATE_TEST_SUITE_P(Vodrek, DriverImage, ::testing::Values(kX64, kX86),
                         [](const ::testing::TestParamInfo<ImageKind>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
}  // namespace vodrek::images
