// The PE reader on images built here byte by byte, so that what it reads can be compared with
// what was written, and so that damaged input can be made on purpose.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sim/pe_image.h>

namespace vodrek::images {
using namespace sim::pe;
namespace {

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    if (bytes.size() < at + 2) {
        bytes.resize(at + 2);
    }
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    Put16(bytes, at, static_cast<uint16_t>(value));
    Put16(bytes, at + 2, static_cast<uint16_t>(value >> 16));
}

void Put64(std::vector<uint8_t>& bytes, size_t at, uint64_t value) {
    Put32(bytes, at, static_cast<uint32_t>(value));
    Put32(bytes, at + 4, static_cast<uint32_t>(value >> 32));
}

void PutText(std::vector<uint8_t>& bytes, size_t at, const std::string& text) {
    if (bytes.size() < at + text.size() + 1) {
        bytes.resize(at + text.size() + 1);
    }
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
    bytes[at + text.size()] = 0;
}

constexpr size_t kPeOffset = 0x80;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kHeadersSize = 0x400;

// Lays out a minimal image: headers in the first 0x400 bytes, the sections one page apart
// from RVA 0x1000 and one file-alignment unit apart in the file, then the COFF symbol table
// and its string table.
class PeBuilder {
  public:
    explicit PeBuilder(bool pe32_plus) : pe32_plus_(pe32_plus) {}

    uint32_t NextSectionRva() const {
        return kSectionAlignment * static_cast<uint32_t>(sections_.size() + 1);
    }

    uint32_t AddSection(const std::string& name, uint32_t characteristics,
                        std::vector<uint8_t> data, uint32_t virtual_size = 0) {
        const uint32_t rva = NextSectionRva();
        sections_.push_back({name, characteristics, std::move(data), virtual_size});
        return rva;
    }

    void SetDirectory(int index, uint32_t rva, uint32_t size) { directories_[index] = {rva, size}; }

    void AddSymbol(const std::string& name, int16_t section, uint32_t value, uint8_t aux = 0) {
        symbols_.push_back({name, section, value, aux});
    }

    uint16_t machine = kMachineAmd64;
    uint16_t file_characteristics = kFileExecutableImage;
    uint32_t entry_point = 0x1000;
    uint64_t image_base = 0x140000000;
    uint16_t subsystem = kSubsystemNative;
    uint16_t dll_characteristics = kDllCharDynamicBase | kDllCharNxCompat | kDllCharWdmDriver;
    bool write_checksum = true;

    size_t OptionalHeaderOffset() const { return kPeOffset + 24; }
    size_t OptionalHeaderSize() const { return (pe32_plus_ ? 112 : 96) + 16 * 8; }
    size_t SectionTableOffset() const { return OptionalHeaderOffset() + OptionalHeaderSize(); }
    size_t ChecksumOffset() const { return OptionalHeaderOffset() + 64; }

    std::vector<uint8_t> Build() const {
        if (SectionTableOffset() + 40 * sections_.size() > kHeadersSize) {
            throw std::length_error("section table does not fit the synthetic headers");
        }
        std::vector<uint8_t> b(kHeadersSize, 0);
        b[0] = 'M';
        b[1] = 'Z';
        Put32(b, 0x3C, kPeOffset);
        PutText(b, kPeOffset, "PE");

        const size_t coff = kPeOffset + 4;
        Put16(b, coff, machine);
        Put16(b, coff + 2, static_cast<uint16_t>(sections_.size()));
        Put16(b, coff + 16, static_cast<uint16_t>(OptionalHeaderSize()));
        Put16(b, coff + 18, file_characteristics);

        const size_t opt = OptionalHeaderOffset();
        Put16(b, opt, pe32_plus_ ? kMagicPe32Plus : kMagicPe32);
        Put32(b, opt + 16, entry_point);
        if (pe32_plus_) {
            Put64(b, opt + 24, image_base);
        } else {
            Put32(b, opt + 28, static_cast<uint32_t>(image_base));
        }
        Put32(b, opt + 32, kSectionAlignment);
        Put32(b, opt + 36, kFileAlignment);
        Put32(b, opt + 56, NextSectionRva());
        Put32(b, opt + 60, kHeadersSize);
        Put16(b, opt + 68, subsystem);
        Put16(b, opt + 70, dll_characteristics);
        const size_t dirs = opt + (pe32_plus_ ? 112 : 96);
        Put32(b, dirs - 4, 16);
        for (int i = 0; i < 16; ++i) {
            Put32(b, dirs + 8 * i, directories_[i].first);
            Put32(b, dirs + 8 * i + 4, directories_[i].second);
        }

        for (size_t i = 0; i < sections_.size(); ++i) {
            const PlannedSection& s = sections_[i];
            const size_t header = SectionTableOffset() + 40 * i;
            const uint32_t raw_size = (static_cast<uint32_t>(s.data.size()) + kFileAlignment - 1) /
                                      kFileAlignment * kFileAlignment;
            const uint32_t raw_offset = static_cast<uint32_t>(b.size());
            std::copy(s.name.begin(), s.name.begin() + std::min<size_t>(8, s.name.size()),
                      b.begin() + static_cast<ptrdiff_t>(header));
            Put32(b, header + 8,
                  s.virtual_size != 0 ? s.virtual_size : static_cast<uint32_t>(s.data.size()));
            Put32(b, header + 12, kSectionAlignment * static_cast<uint32_t>(i + 1));
            Put32(b, header + 16, raw_size);
            Put32(b, header + 20, raw_size != 0 ? raw_offset : 0);
            Put32(b, header + 36, s.characteristics);
            b.insert(b.end(), s.data.begin(), s.data.end());
            b.resize(raw_offset + raw_size);
        }

        if (!symbols_.empty()) {
            const size_t table = b.size();
            Put32(b, coff + 8, static_cast<uint32_t>(table));
            uint32_t records = 0;
            std::vector<uint8_t> strings(4, 0);
            for (const PlannedSymbol& sym : symbols_) {
                const size_t at = table + 18 * records;
                b.resize(at + 18 * (1 + sym.aux), 0);
                if (sym.name.size() <= 8) {
                    std::copy(sym.name.begin(), sym.name.end(),
                              b.begin() + static_cast<ptrdiff_t>(at));
                } else {
                    Put32(b, at + 4, static_cast<uint32_t>(strings.size()));
                    PutText(strings, strings.size(), sym.name);
                }
                Put32(b, at + 8, sym.value);
                Put16(b, at + 12, static_cast<uint16_t>(sym.section));
                b[at + 16] = 2;  // external
                b[at + 17] = sym.aux;
                records += 1 + sym.aux;
            }
            Put32(b, coff + 12, records);
            Put32(strings, 0, static_cast<uint32_t>(strings.size()));
            b.insert(b.end(), strings.begin(), strings.end());
        }

        if (write_checksum) {
            Put32(b, ChecksumOffset(), ComputePeChecksum(b, ChecksumOffset()));
        }
        return b;
    }

  private:
    struct PlannedSection {
        std::string name;
        uint32_t characteristics;
        std::vector<uint8_t> data;
        uint32_t virtual_size;
    };
    struct PlannedSymbol {
        std::string name;
        int16_t section;
        uint32_t value;
        uint8_t aux;
    };

    bool pe32_plus_;
    std::vector<PlannedSection> sections_;
    std::vector<PlannedSymbol> symbols_;
    std::pair<uint32_t, uint32_t> directories_[16] = {};
};

constexpr uint32_t kText = kScnCntCode | kScnMemExecute | 0x40000000;
constexpr uint32_t kData = 0x40 | 0x40000000;

struct PlannedImport {
    std::string dll;
    std::vector<std::string> names;  // "#<n>" imports ordinal n
};

// An import section placed at `rva`: descriptors, then per DLL a lookup table and an address
// table, then the hint/name records and the DLL names.
std::vector<uint8_t> ImportSection(uint32_t rva, bool pe32_plus,
                                   const std::vector<PlannedImport>& dlls) {
    const size_t thunk = pe32_plus ? 8 : 4;
    std::vector<uint8_t> b(20 * (dlls.size() + 1), 0);
    for (size_t d = 0; d < dlls.size(); ++d) {
        const size_t list_bytes = thunk * (dlls[d].names.size() + 1);
        const size_t lookup = b.size();
        const size_t address = lookup + list_bytes;
        b.resize(address + list_bytes, 0);
        for (size_t f = 0; f < dlls[d].names.size(); ++f) {
            const std::string& name = dlls[d].names[f];
            uint64_t value = 0;
            if (name[0] == '#') {
                value = std::stoull(name.substr(1)) | (uint64_t{1} << (thunk * 8 - 1));
            } else {
                const size_t record = b.size();
                Put16(b, record, static_cast<uint16_t>(f));  // hint
                PutText(b, record + 2, name);
                value = rva + record;
            }
            for (size_t table : {lookup, address}) {
                if (pe32_plus) {
                    Put64(b, table + thunk * f, value);
                } else {
                    Put32(b, table + thunk * f, static_cast<uint32_t>(value));
                }
            }
        }
        const size_t name_at = b.size();
        PutText(b, name_at, dlls[d].dll);
        Put32(b, 20 * d, static_cast<uint32_t>(rva + lookup));
        Put32(b, 20 * d + 12, static_cast<uint32_t>(rva + name_at));
        Put32(b, 20 * d + 16, static_cast<uint32_t>(rva + address));
    }
    return b;
}

// A driver-shaped image: code with the entry point, read-only data, an import section, a base
// relocation block and a symbol table with a long name.
PeBuilder SampleBuilder(bool pe32_plus) {
    PeBuilder builder(pe32_plus);
    if (!pe32_plus) {
        builder.machine = kMachineI386;
        builder.image_base = 0x10000;
    }
    const uint32_t text = builder.AddSection(".text", kText, std::vector<uint8_t>(0x40, 0xC3));
    builder.entry_point = text + 0x10;
    std::vector<uint8_t> rdata;
    PutText(rdata, 0, "read-only data");
    builder.AddSection(".rdata", kData, rdata);
    builder.AddSection(".bss", kData | kScnMemWrite, {}, 0x100);
    const uint32_t idata = builder.NextSectionRva();
    const std::vector<uint8_t> imports =
        ImportSection(idata, pe32_plus,
                      {{"ntoskrnl.exe", {"IofCompleteRequest", "DbgPrint"}}, {"HAL.dll", {"#7"}}});
    builder.AddSection(".idata", kData | kScnMemWrite, imports);
    builder.SetDirectory(kDirImport, idata, 20 * 3);

    const uint16_t type = pe32_plus ? kRelBasedDir64 : kRelBasedHighLow;
    std::vector<uint8_t> relocs;
    Put32(relocs, 0, text);
    Put32(relocs, 4, 16);
    Put16(relocs, 8, static_cast<uint16_t>(type << 12 | 0x020));
    Put16(relocs, 10, static_cast<uint16_t>(type << 12 | 0x028));
    Put16(relocs, 12, static_cast<uint16_t>(type << 12 | 0x030));
    Put16(relocs, 14, 0);  // padding to a 32-bit boundary
    const uint32_t reloc = builder.AddSection(".reloc", kData, relocs);
    builder.SetDirectory(kDirBaseReloc, reloc, 16);

    builder.AddSymbol(".text", 1, 0, 1);
    builder.AddSymbol("DriverEntry", 1, 0x10);
    builder.AddSymbol("_ZL7Helperv", 1, 0x20);
    builder.AddSymbol("shortone", 2, 4);
    return builder;
}

TEST(PeImageReader, ReadsThePe32PlusHeaders) {
    const PeImage image(SampleBuilder(true).Build());
    EXPECT_EQ(image.machine(), kMachineAmd64);
    EXPECT_TRUE(image.is_pe32_plus());
    EXPECT_EQ(image.magic(), kMagicPe32Plus);
    EXPECT_EQ(image.entry_point(), 0x1010u);
    EXPECT_EQ(image.image_base(), 0x140000000u);
    EXPECT_EQ(image.subsystem(), kSubsystemNative);
    EXPECT_EQ(image.dll_characteristics(),
              kDllCharDynamicBase | kDllCharNxCompat | kDllCharWdmDriver);
    EXPECT_EQ(image.file_characteristics(), kFileExecutableImage);
    ASSERT_EQ(image.sections().size(), 5u);
    EXPECT_EQ(image.sections()[0].name, ".text");
    EXPECT_EQ(image.sections()[3].name, ".idata");
    EXPECT_EQ(image.sections()[3].virtual_address, 0x4000u);
    EXPECT_EQ(image.sections()[2].raw_size, 0u);
    EXPECT_EQ(image.directory(kDirBaseReloc).rva, 0x5000u);
    EXPECT_FALSE(image.directory(kDirExport).present());
    EXPECT_FALSE(image.directory(kDirectoryCount).present());
}

TEST(PeImageReader, ReadsThePe32Headers) {
    const PeImage image(SampleBuilder(false).Build());
    EXPECT_EQ(image.machine(), kMachineI386);
    EXPECT_FALSE(image.is_pe32_plus());
    EXPECT_EQ(image.image_base(), 0x10000u);
    EXPECT_EQ(image.entry_point(), 0x1010u);
    EXPECT_EQ(image.subsystem(), kSubsystemNative);
    EXPECT_EQ(image.directory(kDirImport).rva, 0x4000u);
}

TEST(PeImageReader, MapsRvasToFileOffsets) {
    const PeImage image(SampleBuilder(true).Build());
    const Section& rdata = image.sections()[1];
    EXPECT_EQ(image.FileOffsetOf(rdata.virtual_address + 5, 3), rdata.raw_offset + 5);
    EXPECT_EQ(image.StringAt(rdata.virtual_address), "read-only data");
    EXPECT_EQ(image.FileOffsetOf(0x3C, 4), 0x3Cu) << "headers map to themselves";
    EXPECT_EQ(image.SectionAt(0x3010)->name, ".bss");
    // .bss has no file data; the gap between sections and the space past the image map to
    // nothing.
    EXPECT_THROW(image.FileOffsetOf(0x3010, 1), PeFormatError);
    EXPECT_THROW(image.FileOffsetOf(0x1800, 1), PeFormatError);
    EXPECT_THROW(image.FileOffsetOf(0x90000, 1), PeFormatError);
    // A read that starts inside a section but runs past its data.
    EXPECT_THROW(image.ReadAt(rdata.virtual_address + rdata.virtual_size - 2, 8), PeFormatError);
}

TEST(PeImageReader, ListsImportsByNameAndOrdinal) {
    for (bool pe32_plus : {true, false}) {
        const std::vector<ImportedDll> dlls = PeImage(SampleBuilder(pe32_plus).Build()).Imports();
        ASSERT_EQ(dlls.size(), 2u);
        EXPECT_EQ(dlls[0].name, "ntoskrnl.exe");
        EXPECT_EQ(dlls[0].functions, (std::vector<std::string>{"IofCompleteRequest", "DbgPrint"}));
        EXPECT_EQ(dlls[1].name, "HAL.dll");
        EXPECT_EQ(dlls[1].functions, (std::vector<std::string>{"#7"}));
    }
}

TEST(PeImageReader, SummarisesBaseRelocations) {
    const RelocationSummary x64 = PeImage(SampleBuilder(true).Build()).Relocations();
    EXPECT_EQ(x64.blocks, 1u);
    EXPECT_EQ(x64.entries, 4u);
    EXPECT_EQ(x64.entries_by_type.at(kRelBasedDir64), 3u);
    EXPECT_EQ(x64.entries_by_type.at(kRelBasedAbsolute), 1u);
    const RelocationSummary x86 = PeImage(SampleBuilder(false).Build()).Relocations();
    EXPECT_EQ(x86.entries_by_type.at(kRelBasedHighLow), 3u);
    EXPECT_EQ(x86.entries_by_type.count(kRelBasedDir64), 0u);
}

TEST(PeImageReader, FindsSymbolsWithShortAndLongNames) {
    const PeImage image(SampleBuilder(true).Build());
    const std::vector<Symbol> symbols = image.Symbols();
    ASSERT_EQ(symbols.size(), 4u) << "the auxiliary record of .text is not a symbol";
    EXPECT_EQ(symbols[1].name, "DriverEntry");
    EXPECT_EQ(symbols[3].name, "shortone");
    EXPECT_EQ(image.SymbolRva("DriverEntry"), 0x1010u);
    EXPECT_EQ(image.SymbolRva("_ZL7Helperv"), 0x1020u);
    EXPECT_EQ(image.SymbolRva("shortone"), 0x2004u);
    EXPECT_EQ(image.SymbolRva("DriverEntr"), std::nullopt);
    EXPECT_EQ(image.SymbolRva("_DriverEntry@8"), std::nullopt);
}

TEST(PeImageReader, ImageWithoutSymbolTableHasNoSymbols) {
    PeBuilder builder(true);
    builder.AddSection(".text", kText, std::vector<uint8_t>(16, 0xC3));
    const PeImage image(builder.Build());
    EXPECT_EQ(image.symbol_count(), 0u);
    EXPECT_TRUE(image.Symbols().empty());
    EXPECT_EQ(image.SymbolRva("DriverEntry"), std::nullopt);
    EXPECT_TRUE(image.Imports().empty());
    EXPECT_EQ(image.Relocations().blocks, 0u);
}

TEST(PeChecksum, FoldsCarriesAndAddsTheLength) {
    // 0xFFFF + 0xFFFF folds to 0xFFFF; the odd last byte adds 0x0001 and folds to 0x0001;
    // plus the length 5.
    EXPECT_EQ(ComputePeChecksum({0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 100), 6u);
    // With the four-byte CheckSum field over bytes 2 to 5, only the first word counts.
    EXPECT_EQ(ComputePeChecksum({0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 2), 0xFFFFu + 5);
    EXPECT_EQ(ComputePeChecksum({0x34, 0x12, 0x01, 0x00}, 100), 0x1235u + 4);
    EXPECT_EQ(ComputePeChecksum({}, 0), 0u);
}

TEST(PeChecksum, MatchesTheWrittenImageAndIgnoresItsOwnField) {
    PeBuilder builder = SampleBuilder(true);
    const std::vector<uint8_t> bytes = builder.Build();
    const PeImage image(bytes);
    EXPECT_NE(image.stored_checksum(), 0u);
    EXPECT_EQ(image.ComputeChecksum(), image.stored_checksum());
    EXPECT_EQ(image.checksum_field_offset(), builder.ChecksumOffset());

    std::vector<uint8_t> changed_field = bytes;
    changed_field[builder.ChecksumOffset()] ^= 0xFF;
    EXPECT_EQ(PeImage(changed_field).ComputeChecksum(), image.stored_checksum());

    builder.write_checksum = false;
    EXPECT_EQ(PeImage(builder.Build()).stored_checksum(), 0u);
}

TEST(PeChecksum, ChangesWhenAnyByteChanges) {
    const std::vector<uint8_t> bytes = SampleBuilder(false).Build();
    const uint32_t original = ComputePeChecksum(bytes, 0xD8);
    for (size_t at = 0; at < bytes.size(); at += 97) {
        if (at >= 0xD8 && at < 0xDC) {
            continue;
        }
        std::vector<uint8_t> flipped = bytes;
        flipped[at] ^= 0x01;
        EXPECT_NE(ComputePeChecksum(flipped, 0xD8), original) << "byte " << at;
    }
    std::vector<uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_NE(ComputePeChecksum(longer, 0xD8), original) << "a trailing zero byte";
}

TEST(PeImageReader, RejectsWhatIsNotAPeImage) {
    const std::vector<uint8_t> good = SampleBuilder(true).Build();
    EXPECT_THROW(PeImage({}), PeFormatError);
    EXPECT_THROW(PeImage(std::vector<uint8_t>(63, 0)), PeFormatError);

    std::vector<uint8_t> no_mz = good;
    no_mz[0] = 'Z';
    EXPECT_THROW(PeImage{no_mz}, PeFormatError);

    std::vector<uint8_t> no_pe = good;
    no_pe[kPeOffset + 1] = 'X';
    EXPECT_THROW(PeImage{no_pe}, PeFormatError);

    std::vector<uint8_t> far_lfanew = good;
    Put32(far_lfanew, 0x3C, 0xFFFFFFF0u);
    EXPECT_THROW(PeImage{far_lfanew}, PeFormatError);

    std::vector<uint8_t> bad_magic = good;
    Put16(bad_magic, kPeOffset + 24, 0x0107);
    EXPECT_THROW(PeImage{bad_magic}, PeFormatError);

    std::vector<uint8_t> short_optional = good;
    Put16(short_optional, kPeOffset + 4 + 16, 100);
    EXPECT_THROW(PeImage{short_optional}, PeFormatError);

    std::vector<uint8_t> many_sections = good;
    Put16(many_sections, kPeOffset + 4 + 2, 0xFFFF);
    EXPECT_THROW(PeImage{many_sections}, PeFormatError);

    std::vector<uint8_t> section_past_end = good;
    Put32(section_past_end, PeBuilder(true).SectionTableOffset() + 20, 0x7FFFFF00);
    EXPECT_THROW(PeImage{section_past_end}, PeFormatError);
}

TEST(PeImageReader, RejectsDamagedDirectories) {
    PeBuilder builder = SampleBuilder(true);
    const std::vector<uint8_t> good = builder.Build();
    const PeImage image(good);
    const size_t idata = image.sections()[3].raw_offset;
    const size_t reloc = image.sections()[4].raw_offset;

    std::vector<uint8_t> name_outside = good;
    Put32(name_outside, idata + 12, 0x00800000);
    EXPECT_THROW(PeImage(name_outside).Imports(), PeFormatError);

    // A name running to the end of its section without a terminating NUL.
    std::vector<uint8_t> unterminated = good;
    const uint32_t name_rva = static_cast<uint32_t>(image.sections()[1].virtual_address);
    Put32(unterminated, idata + 12, name_rva);
    const size_t rdata = image.sections()[1].raw_offset;
    std::fill(unterminated.begin() + static_cast<ptrdiff_t>(rdata),
              unterminated.begin() + static_cast<ptrdiff_t>(rdata + image.sections()[1].raw_size),
              uint8_t{'A'});
    EXPECT_THROW(PeImage(unterminated).Imports(), PeFormatError);

    // A lookup table that never ends: every remaining word of the section is a thunk.
    std::vector<uint8_t> endless = good;
    const size_t thunks = idata + 20 * 3;
    for (size_t at = thunks; at + 8 <= idata + image.sections()[3].raw_size; at += 8) {
        Put64(endless, at, 0x8000000000000001ull);
    }
    EXPECT_THROW(PeImage(endless).Imports(), PeFormatError);

    std::vector<uint8_t> tiny_block = good;
    Put32(tiny_block, reloc + 4, 4);
    EXPECT_THROW(PeImage(tiny_block).Relocations(), PeFormatError);

    std::vector<uint8_t> block_past_directory = good;
    Put32(block_past_directory, reloc + 4, 0x40);
    EXPECT_THROW(PeImage(block_past_directory).Relocations(), PeFormatError);

    std::vector<uint8_t> symbols_past_end = good;
    Put32(symbols_past_end, kPeOffset + 4 + 12, 0x10000000);
    EXPECT_THROW(PeImage(symbols_past_end).Symbols(), PeFormatError);

    std::vector<uint8_t> name_past_strings = good;
    const size_t symbol_table = image.symbol_table_offset();
    Put32(name_past_strings, symbol_table + 18 * 2 + 4, 0x1000);  // DriverEntry's name
    EXPECT_THROW(PeImage(name_past_strings).SymbolRva("DriverEntry"), PeFormatError);

    std::vector<uint8_t> aux_past_end = good;
    aux_past_end[symbol_table + 18 * 4 + 17] = 5;  // the last symbol
    EXPECT_THROW(PeImage(aux_past_end).Symbols(), PeFormatError);
}

// Every prefix of an image either fails to parse or parses into something whose every
// accessor reports an error or a value; none may read outside the buffer (the sanitizer
// build turns such a read into a failure).
TEST(PeImageReader, TruncatedImagesGiveErrorsNotCrashes) {
    for (bool pe32_plus : {true, false}) {
        const std::vector<uint8_t> good = SampleBuilder(pe32_plus).Build();
        size_t parsed = 0;
        for (size_t length = 0; length < good.size(); ++length) {
            const std::vector<uint8_t> prefix(good.begin(),
                                              good.begin() + static_cast<ptrdiff_t>(length));
            try {
                const PeImage image(prefix);
                ++parsed;
                try {
                    image.Imports();
                    image.Relocations();
                    image.SymbolRva("DriverEntry");
                    image.ComputeChecksum();
                } catch (const PeFormatError&) {
                }
            } catch (const PeFormatError&) {
            }
        }
        // The section table lies in the headers and the sections' raw data after
        // it, so no prefix shorter than the last section's end may parse.
        EXPECT_EQ(parsed, good.size() - PeImage(good).sections().back().raw_offset -
                              PeImage(good).sections().back().raw_size)
            << (pe32_plus ? "PE32+" : "PE32");
    }
}

TEST(PeImageReader, TruncatedSymbolTableIsAnError) {
    const std::vector<uint8_t> good = SampleBuilder(true).Build();
    const PeImage image(good);
    const std::vector<uint8_t> cut(
        good.begin(), good.begin() + static_cast<ptrdiff_t>(image.symbol_table_offset() + 18 * 2));
    EXPECT_THROW(PeImage(cut).SymbolRva("DriverEntry"), PeFormatError);
}

}  // namespace
}  // namespace vodrek::images
