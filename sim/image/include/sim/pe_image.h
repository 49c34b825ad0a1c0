// A small PE/COFF reader: the image checks read the driver images the cross builds
// produce with it, and the simulator loads them with it.
//
// Every read is bounds-checked against the file: a truncated or malformed image raises
// PeFormatError instead of reading past the buffer, so a broken build shows up as a failed
// test with a reason, never as a crashed test program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim::pe {

class PeFormatError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Values the checks compare against, named as the platform names them.
inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kMagicPe32 = 0x010B;
inline constexpr uint16_t kMagicPe32Plus = 0x020B;
inline constexpr uint16_t kSubsystemNative = 1;

inline constexpr uint16_t kFileRelocsStripped = 0x0001;
inline constexpr uint16_t kFileExecutableImage = 0x0002;
inline constexpr uint16_t kFileDll = 0x2000;

inline constexpr uint16_t kDllCharDynamicBase = 0x0040;
inline constexpr uint16_t kDllCharNxCompat = 0x0100;
inline constexpr uint16_t kDllCharWdmDriver = 0x2000;

inline constexpr uint32_t kScnCntCode = 0x00000020;
inline constexpr uint32_t kScnMemExecute = 0x20000000;
inline constexpr uint32_t kScnMemWrite = 0x80000000;

inline constexpr int kDirExport = 0;
inline constexpr int kDirImport = 1;
inline constexpr int kDirBaseReloc = 5;
inline constexpr int kDirTls = 9;
inline constexpr int kDirectoryCount = 16;

inline constexpr int kRelBasedAbsolute = 0;
inline constexpr int kRelBasedHighLow = 3;
inline constexpr int kRelBasedDir64 = 10;

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
    bool present() const { return rva != 0 && size != 0; }
};

struct Section {
    std::string name;
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
    uint32_t characteristics = 0;
};

struct ImportedDll {
    std::string name;
    // Functions imported by name; an import by ordinal is recorded as "#<ordinal>".
    std::vector<std::string> functions;
    // For each function, the RVA of its slot in the import address table: the
    // loader writes the routine's address there.
    std::vector<uint32_t> address_slots;
};

struct Relocation {
    uint32_t rva = 0;  // where the value to adjust lies
    int type = 0;
};

struct RelocationSummary {
    size_t blocks = 0;
    size_t entries = 0;  // every entry, the ABSOLUTE padding included
    std::map<int, size_t> entries_by_type;
};

struct Symbol {
    std::string name;
    uint32_t value = 0;
    int16_t section_number = 0;  // 1-based; 0 undefined, negative for absolute/debug
    uint8_t storage_class = 0;
};

// Standard image checksum: the file summed as little-endian 16-bit words with the carry
// folded back in, the 4-byte CheckSum field counted as zero, plus the file length.
uint32_t ComputePeChecksum(const std::vector<uint8_t>& bytes, size_t checksum_field_offset);

// Reads a whole file; std::nullopt when it cannot be opened.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);

class PeImage {
  public:
    // Parses the headers and the section table; throws PeFormatError when they are
    // missing, truncated or inconsistent. The directories are parsed on demand.
    explicit PeImage(std::vector<uint8_t> bytes);

    const std::vector<uint8_t>& bytes() const { return bytes_; }

    uint16_t machine() const { return machine_; }
    uint16_t file_characteristics() const { return file_characteristics_; }
    uint32_t symbol_table_offset() const { return symbol_table_offset_; }
    uint32_t symbol_count() const { return symbol_count_; }

    uint16_t magic() const { return magic_; }
    bool is_pe32_plus() const { return magic_ == kMagicPe32Plus; }
    uint32_t entry_point() const { return entry_point_; }
    uint64_t image_base() const { return image_base_; }
    uint16_t subsystem() const { return subsystem_; }
    uint16_t dll_characteristics() const { return dll_characteristics_; }
    uint32_t stored_checksum() const { return checksum_; }
    size_t checksum_field_offset() const { return checksum_field_offset_; }
    uint32_t size_of_headers() const { return size_of_headers_; }

    // Directories beyond NumberOfRvaAndSizes read as absent.
    DataDirectory directory(int index) const;
    const std::vector<Section>& sections() const { return sections_; }

    // The section whose virtual range holds the RVA, or nullptr.
    const Section* SectionAt(uint32_t rva) const;
    // File offset of `size` bytes at the RVA; throws when they are not all backed by file
    // data (outside every section, or in a section's zero-filled tail).
    size_t FileOffsetOf(uint32_t rva, size_t size) const;
    std::vector<uint8_t> ReadAt(uint32_t rva, size_t size) const;
    // A NUL-terminated string at the RVA, bounded by the file data behind it.
    std::string StringAt(uint32_t rva) const;

    uint32_t ComputeChecksum() const { return ComputePeChecksum(bytes_, checksum_field_offset_); }

    std::vector<ImportedDll> Imports() const;
    RelocationSummary Relocations() const;
    // Every entry of every block, the ABSOLUTE padding left out.
    std::vector<Relocation> RelocationEntries() const;
    // The COFF symbol table with long names resolved through its string table; empty when
    // the image carries none.
    std::vector<Symbol> Symbols() const;
    // RVA of a symbol defined in a section, or std::nullopt when there is no such symbol.
    std::optional<uint32_t> SymbolRva(const std::string& name) const;

  private:
    // Calls `visit(block index, page RVA, entry)` for every entry of every
    // relocation block, and once without an entry for a block that has none.
    void ForEachRelocation(
        const std::function<void(size_t, uint32_t, std::optional<uint16_t>)>& visit) const;
    std::string SectionName(const uint8_t* raw) const;
    std::optional<std::pair<size_t, size_t>> StringTable() const;

    std::vector<uint8_t> bytes_;
    uint16_t machine_ = 0;
    uint16_t file_characteristics_ = 0;
    uint32_t symbol_table_offset_ = 0;
    uint32_t symbol_count_ = 0;
    uint16_t magic_ = 0;
    uint32_t entry_point_ = 0;
    uint64_t image_base_ = 0;
    uint16_t subsystem_ = 0;
    uint16_t dll_characteristics_ = 0;
    uint32_t checksum_ = 0;
    size_t checksum_field_offset_ = 0;
    uint32_t size_of_headers_ = 0;
    uint32_t directory_count_ = 0;
    DataDirectory directories_[kDirectoryCount] = {};
    std::vector<Section> sections_;
};

}  // namespace sim::pe
