#include <sim/pe_image.h>

#include <algorithm>
#include <functional>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim::pe {
namespace {

constexpr size_t kDosHeaderSize = 64;
constexpr size_t kLfanewOffset = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSymbolSize = 18;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kRelocationBlockHeaderSize = 8;

// Where the data directories start inside the optional header; everything the checks read
// lies before them, so a header at least this long holds all the scalar fields.
constexpr size_t kPe32DirectoriesOffset = 96;
constexpr size_t kPe32PlusDirectoriesOffset = 112;
constexpr size_t kChecksumOffsetInOptionalHeader = 64;

// Stops a descriptor or thunk walk over a damaged table long before it could exhaust
// memory; far beyond anything a driver imports.
constexpr size_t kMaxTableEntries = 1u << 16;

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

[[noreturn]] void Fail(const std::string& what) {
    throw PeFormatError(what);
}

void Require(const std::vector<uint8_t>& bytes, uint64_t offset, uint64_t size, const char* what) {
    if (offset > bytes.size() || size > bytes.size() - offset) {
        Fail(std::string(what) + " at file offset " + Hex(offset) + " (+" + Hex(size) +
             ") lies beyond the end of the file (" + Hex(bytes.size()) + " bytes)");
    }
}

uint16_t Read16(const std::vector<uint8_t>& bytes, uint64_t offset, const char* what) {
    Require(bytes, offset, 2, what);
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t Read32(const std::vector<uint8_t>& bytes, uint64_t offset, const char* what) {
    Require(bytes, offset, 4, what);
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes[offset + i];
    }
    return value;
}

uint64_t Read64(const std::vector<uint8_t>& bytes, uint64_t offset, const char* what) {
    const uint64_t low = Read32(bytes, offset, what);
    const uint64_t high = Read32(bytes, offset + 4, what);
    return low | (high << 32);
}

// A NUL-terminated string within [offset, limit) of the file.
std::string CString(const std::vector<uint8_t>& bytes, size_t offset, size_t limit,
                    const char* what) {
    limit = std::min(limit, bytes.size());
    if (offset >= limit) {
        Fail(std::string(what) + ": string at file offset " + Hex(offset) + " has no data");
    }
    const auto begin = bytes.begin() + static_cast<ptrdiff_t>(offset);
    const auto end = bytes.begin() + static_cast<ptrdiff_t>(limit);
    const auto nul = std::find(begin, end, uint8_t{0});
    if (nul == end) {
        Fail(std::string(what) + ": string at file offset " + Hex(offset) + " is not terminated");
    }
    return std::string(begin, nul);
}

// The part of a section that is both mapped and backed by file data.
uint64_t FileBackedSpan(const Section& section) {
    const uint64_t mapped = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
    return std::min<uint64_t>(mapped, section.raw_size);
}

}  // namespace

uint32_t ComputePeChecksum(const std::vector<uint8_t>& bytes, size_t checksum_field_offset) {
    auto byte_at = [&](size_t i) -> uint32_t {
        if (i >= bytes.size()) {
            return 0;  // an odd-length file is summed as if padded with one zero byte
        }
        if (i >= checksum_field_offset && i - checksum_field_offset < 4) {
            return 0;
        }
        return bytes[i];
    };
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        sum += byte_at(i) | (byte_at(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

PeImage::PeImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    Require(bytes_, 0, kDosHeaderSize, "DOS header");
    if (bytes_[0] != 'M' || bytes_[1] != 'Z') {
        Fail("no MZ signature at the start of the file");
    }
    const uint32_t pe_offset = Read32(bytes_, kLfanewOffset, "e_lfanew");
    Require(bytes_, pe_offset, 4 + kCoffHeaderSize, "PE signature and COFF header");
    if (bytes_[pe_offset] != 'P' || bytes_[pe_offset + 1] != 'E' || bytes_[pe_offset + 2] != 0 ||
        bytes_[pe_offset + 3] != 0) {
        Fail("no PE signature at file offset " + Hex(pe_offset));
    }

    const uint64_t coff = uint64_t{pe_offset} + 4;
    machine_ = Read16(bytes_, coff, "Machine");
    const uint16_t section_count = Read16(bytes_, coff + 2, "NumberOfSections");
    symbol_table_offset_ = Read32(bytes_, coff + 8, "PointerToSymbolTable");
    symbol_count_ = Read32(bytes_, coff + 12, "NumberOfSymbols");
    const uint16_t optional_size = Read16(bytes_, coff + 16, "SizeOfOptionalHeader");
    file_characteristics_ = Read16(bytes_, coff + 18, "Characteristics");

    const uint64_t opt = coff + kCoffHeaderSize;
    Require(bytes_, opt, optional_size, "optional header");
    if (optional_size < 2) {
        Fail("optional header of " + std::to_string(optional_size) + " bytes has no Magic");
    }
    magic_ = Read16(bytes_, opt, "Magic");
    size_t directories_offset = 0;
    if (magic_ == kMagicPe32) {
        directories_offset = kPe32DirectoriesOffset;
    } else if (magic_ == kMagicPe32Plus) {
        directories_offset = kPe32PlusDirectoriesOffset;
    } else {
        Fail("unknown optional header Magic " + Hex(magic_));
    }
    if (optional_size < directories_offset) {
        Fail("optional header of " + std::to_string(optional_size) + " bytes is shorter than " +
             std::to_string(directories_offset) + " for Magic " + Hex(magic_));
    }

    entry_point_ = Read32(bytes_, opt + 16, "AddressOfEntryPoint");
    image_base_ = is_pe32_plus() ? Read64(bytes_, opt + 24, "ImageBase")
                                 : Read32(bytes_, opt + 28, "ImageBase");
    size_of_headers_ = Read32(bytes_, opt + 60, "SizeOfHeaders");
    checksum_field_offset_ = static_cast<size_t>(opt + kChecksumOffsetInOptionalHeader);
    checksum_ = Read32(bytes_, checksum_field_offset_, "CheckSum");
    subsystem_ = Read16(bytes_, opt + 68, "Subsystem");
    dll_characteristics_ = Read16(bytes_, opt + 70, "DllCharacteristics");
    const uint32_t declared = Read32(bytes_, opt + directories_offset - 4, "NumberOfRvaAndSizes");
    directory_count_ = std::min<uint32_t>(declared, kDirectoryCount);
    if (directories_offset + uint64_t{directory_count_} * 8 > optional_size) {
        Fail("NumberOfRvaAndSizes " + std::to_string(declared) +
             " does not fit the optional header of " + std::to_string(optional_size) + " bytes");
    }
    for (uint32_t i = 0; i < directory_count_; ++i) {
        const uint64_t at = opt + directories_offset + uint64_t{i} * 8;
        directories_[i].rva = Read32(bytes_, at, "data directory");
        directories_[i].size = Read32(bytes_, at + 4, "data directory");
    }

    const uint64_t table = opt + optional_size;
    Require(bytes_, table, uint64_t{section_count} * kSectionHeaderSize, "section table");
    sections_.reserve(section_count);
    for (uint16_t i = 0; i < section_count; ++i) {
        const uint64_t at = table + uint64_t{i} * kSectionHeaderSize;
        Section section;
        section.name = SectionName(&bytes_[at]);
        section.virtual_size = Read32(bytes_, at + 8, "VirtualSize");
        section.virtual_address = Read32(bytes_, at + 12, "VirtualAddress");
        section.raw_size = Read32(bytes_, at + 16, "SizeOfRawData");
        section.raw_offset = Read32(bytes_, at + 20, "PointerToRawData");
        section.characteristics = Read32(bytes_, at + 36, "Characteristics");
        if (section.raw_size != 0) {
            Require(bytes_, section.raw_offset, section.raw_size,
                    ("raw data of section " + section.name).c_str());
        }
        sections_.push_back(std::move(section));
    }
}

DataDirectory PeImage::directory(int index) const {
    if (index < 0 || static_cast<uint32_t>(index) >= directory_count_) {
        return {};
    }
    return directories_[index];
}

const Section* PeImage::SectionAt(uint32_t rva) const {
    for (const Section& section : sections_) {
        const uint64_t span = section.virtual_size != 0 ? section.virtual_size : section.raw_size;
        if (rva >= section.virtual_address && rva - section.virtual_address < span) {
            return &section;
        }
    }
    return nullptr;
}

size_t PeImage::FileOffsetOf(uint32_t rva, size_t size) const {
    if (const Section* section = SectionAt(rva)) {
        const uint64_t delta = rva - section->virtual_address;
        if (delta + size > FileBackedSpan(*section)) {
            Fail(Hex(size) + " bytes at RVA " + Hex(rva) + " run past the file data of section " +
                 section->name);
        }
        return static_cast<size_t>(section->raw_offset + delta);
    }
    // The headers are mapped at RVA 0 exactly as they lie in the file.
    if (uint64_t{rva} + size <= std::min<uint64_t>(size_of_headers_, bytes_.size())) {
        return rva;
    }
    Fail("RVA " + Hex(rva) + " is not inside any section");
}

std::vector<uint8_t> PeImage::ReadAt(uint32_t rva, size_t size) const {
    const size_t offset = FileOffsetOf(rva, size);
    return std::vector<uint8_t>(bytes_.begin() + static_cast<ptrdiff_t>(offset),
                                bytes_.begin() + static_cast<ptrdiff_t>(offset + size));
}

std::string PeImage::StringAt(uint32_t rva) const {
    const size_t offset = FileOffsetOf(rva, 1);
    size_t limit = bytes_.size();
    if (const Section* section = SectionAt(rva)) {
        limit = static_cast<size_t>(section->raw_offset + FileBackedSpan(*section));
    } else {
        limit = std::min<size_t>(size_of_headers_, bytes_.size());
    }
    return CString(bytes_, offset, limit, ("string at RVA " + Hex(rva)).c_str());
}

std::vector<ImportedDll> PeImage::Imports() const {
    std::vector<ImportedDll> dlls;
    const DataDirectory dir = directory(kDirImport);
    if (!dir.present()) {
        return dlls;
    }
    const size_t thunk_size = is_pe32_plus() ? 8 : 4;
    const uint64_t ordinal_flag = uint64_t{1} << (thunk_size * 8 - 1);
    for (size_t i = 0;; ++i) {
        if (i == kMaxTableEntries) {
            Fail("import directory has no terminating descriptor");
        }
        const uint64_t rva = dir.rva + uint64_t{i} * kImportDescriptorSize;
        if (rva > UINT32_MAX) {
            Fail("import directory runs past the 4 GiB image limit");
        }
        const size_t at = FileOffsetOf(static_cast<uint32_t>(rva), kImportDescriptorSize);
        const uint32_t lookup_rva = Read32(bytes_, at, "OriginalFirstThunk");
        const uint32_t name_rva = Read32(bytes_, at + 12, "import Name");
        const uint32_t first_thunk = Read32(bytes_, at + 16, "FirstThunk");
        if (lookup_rva == 0 && name_rva == 0 && first_thunk == 0) {
            break;
        }
        ImportedDll dll;
        dll.name = StringAt(name_rva);
        // Without a lookup table the address table still holds the names until binding.
        const uint32_t thunks = lookup_rva != 0 ? lookup_rva : first_thunk;
        for (size_t t = 0;; ++t) {
            const uint64_t slot_rva = first_thunk + uint64_t{t} * thunk_size;
            if (t == kMaxTableEntries) {
                Fail("import list of " + dll.name + " has no terminating entry");
            }
            const uint64_t thunk_rva = thunks + uint64_t{t} * thunk_size;
            if (thunk_rva > UINT32_MAX) {
                Fail("import list of " + dll.name + " runs past the 4 GiB image limit");
            }
            const size_t thunk_at = FileOffsetOf(static_cast<uint32_t>(thunk_rva), thunk_size);
            const uint64_t thunk = thunk_size == 8 ? Read64(bytes_, thunk_at, "import thunk")
                                                   : Read32(bytes_, thunk_at, "import thunk");
            if (thunk == 0) {
                break;
            }
            if (slot_rva > UINT32_MAX - thunk_size) {
                Fail("import address table of " + dll.name + " runs past the 4 GiB image limit");
            }
            dll.address_slots.push_back(static_cast<uint32_t>(slot_rva));
            if (thunk & ordinal_flag) {
                dll.functions.push_back("#" + std::to_string(thunk & 0xFFFF));
                continue;
            }
            if (thunk > UINT32_MAX - 2) {
                Fail("import of " + dll.name + " names an RVA beyond 4 GiB: " + Hex(thunk));
            }
            // Skip the two-byte hint in front of the name.
            dll.functions.push_back(StringAt(static_cast<uint32_t>(thunk) + 2));
        }
        dlls.push_back(std::move(dll));
    }
    return dlls;
}

void PeImage::ForEachRelocation(
    const std::function<void(size_t, uint32_t, std::optional<uint16_t>)>& visit) const {
    const DataDirectory dir = directory(kDirBaseReloc);
    if (!dir.present()) {
        return;
    }
    const size_t base = FileOffsetOf(dir.rva, dir.size);
    size_t pos = 0;
    for (size_t block = 0; pos < dir.size; ++block) {
        if (dir.size - pos < kRelocationBlockHeaderSize) {
            Fail("base relocation block header truncated at directory offset " + Hex(pos));
        }
        const uint32_t page_rva = Read32(bytes_, base + pos, "relocation VirtualAddress");
        const uint32_t block_size = Read32(bytes_, base + pos + 4, "relocation SizeOfBlock");
        if (block_size < kRelocationBlockHeaderSize || block_size % 2 != 0 ||
            block_size > dir.size - pos) {
            Fail("base relocation block at directory offset " + Hex(pos) + " has bad size " +
                 Hex(block_size));
        }
        for (size_t e = kRelocationBlockHeaderSize; e < block_size; e += 2) {
            visit(block, page_rva, Read16(bytes_, base + pos + e, "relocation entry"));
        }
        // A block with no entries still counts as one.
        if (block_size == kRelocationBlockHeaderSize) {
            visit(block, page_rva, std::nullopt);
        }
        pos += block_size;
    }
}

RelocationSummary PeImage::Relocations() const {
    RelocationSummary summary;
    ForEachRelocation([&](size_t block, uint32_t, std::optional<uint16_t> entry) {
        summary.blocks = block + 1;
        if (!entry) {
            return;
        }
        ++summary.entries;
        ++summary.entries_by_type[*entry >> 12];
    });
    return summary;
}

std::vector<Relocation> PeImage::RelocationEntries() const {
    std::vector<Relocation> entries;
    ForEachRelocation([&](size_t, uint32_t page, std::optional<uint16_t> entry) {
        if (!entry || (*entry >> 12) == kRelBasedAbsolute) {
            return;
        }
        entries.push_back({page + (*entry & 0x0FFFu), *entry >> 12});
    });
    return entries;
}

std::optional<std::pair<size_t, size_t>> PeImage::StringTable() const {
    if (symbol_table_offset_ == 0) {
        return std::nullopt;
    }
    const uint64_t at = symbol_table_offset_ + uint64_t{symbol_count_} * kSymbolSize;
    if (at + 4 > bytes_.size()) {
        return std::nullopt;
    }
    const uint32_t size = Read32(bytes_, at, "string table size");
    // The size counts its own four bytes.
    if (size < 4) {
        Fail("string table size " + std::to_string(size) + " is smaller than its own field");
    }
    Require(bytes_, at, size, "string table");
    return std::make_pair(static_cast<size_t>(at), static_cast<size_t>(size));
}

std::string PeImage::SectionName(const uint8_t* raw) const {
    std::string name(reinterpret_cast<const char*>(raw), std::find(raw, raw + 8, uint8_t{0}) - raw);
    // Long section names are "/<decimal offset>" into the string table.
    if (name.size() > 1 && name[0] == '/' &&
        std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (const auto table = StringTable()) {
            const size_t offset = std::stoul(name.substr(1));
            if (offset >= 4 && offset < table->second) {
                return CString(bytes_, table->first + offset, table->first + table->second,
                               "long section name");
            }
        }
    }
    return name;
}

std::vector<Symbol> PeImage::Symbols() const {
    std::vector<Symbol> symbols;
    if (symbol_table_offset_ == 0 || symbol_count_ == 0) {
        return symbols;
    }
    Require(bytes_, symbol_table_offset_, uint64_t{symbol_count_} * kSymbolSize,
            "COFF symbol table");
    const auto table = StringTable();
    for (uint32_t i = 0; i < symbol_count_; ++i) {
        const size_t at = symbol_table_offset_ + size_t{i} * kSymbolSize;
        Symbol symbol;
        if (Read32(bytes_, at, "symbol name") == 0) {
            const uint32_t offset = Read32(bytes_, at + 4, "symbol name offset");
            if (!table || offset < 4 || offset >= table->second) {
                Fail("symbol " + std::to_string(i) + " names string table offset " + Hex(offset) +
                     " outside the string table");
            }
            symbol.name =
                CString(bytes_, table->first + offset, table->first + table->second, "symbol name");
        } else {
            const uint8_t* raw = &bytes_[at];
            symbol.name.assign(reinterpret_cast<const char*>(raw),
                               std::find(raw, raw + 8, uint8_t{0}) - raw);
        }
        symbol.value = Read32(bytes_, at + 8, "symbol value");
        symbol.section_number = static_cast<int16_t>(Read16(bytes_, at + 12, "symbol section"));
        symbol.storage_class = bytes_[at + 16];
        const uint8_t aux_count = bytes_[at + 17];
        if (aux_count > symbol_count_ - 1 - i) {
            Fail("symbol " + std::to_string(i) + " claims auxiliary records past the table");
        }
        i += aux_count;
        symbols.push_back(std::move(symbol));
    }
    return symbols;
}

std::optional<uint32_t> PeImage::SymbolRva(const std::string& name) const {
    for (const Symbol& symbol : Symbols()) {
        if (symbol.name != name || symbol.section_number < 1 ||
            static_cast<size_t>(symbol.section_number) > sections_.size()) {
            continue;
        }
        // In a linked image a symbol's value is its offset within its section.
        const uint64_t rva =
            uint64_t{sections_[symbol.section_number - 1].virtual_address} + symbol.value;
        if (rva > UINT32_MAX) {
            Fail("symbol " + name + " lies beyond the 4 GiB image limit");
        }
        return static_cast<uint32_t>(rva);
    }
    return std::nullopt;
}

}  // namespace sim::pe
