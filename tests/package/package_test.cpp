// Checks of the driver package the cross builds leave in build/win-*/package: the
// INF (its sections and directives, the hardware identifier against the chip
// model's descriptors, each architecture installing its own image) and the test
// signature of each image. As in the image tests, each check is a function
// returning an AssertionResult, run on the package as built and on doctored
// copies: a check that cannot reject a bad package proves nothing about a good one.
// The last tests install the INF's device-key values on simulated adapters of every
// chip variant and let the driver start on them.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sim/bridge_chip.h>
#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/workbench/workbench.h>

#include "tests/package/inf_file.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/temp_path.h"

#if !defined(VODREK_BUILD_X64) || !defined(VODREK_BUILD_X86) || !defined(VODREK_IMAGE_X64_NAME) || \
    !defined(VODREK_IMAGE_X86_NAME) || !defined(VODREK_OSSLSIGNCODE) || !defined(VODREK_OPENSSL)
#error "the build defines the cross builds' folders, the image names and the signing tools"
#endif

namespace vodrek::package {
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

// One platform of the INF: its Models decoration, its source-media decoration and
// the image it installs.
struct Platform {
    const char* decoration;
    const char* media;
    const char* image;
};
const Platform kAmd64 = {"NTamd64", "amd64", VODREK_IMAGE_X64_NAME ".sys"};
const Platform kX86 = {"NTx86", "x86", VODREK_IMAGE_X86_NAME ".sys"};
const Platform kPlatforms[] = {kAmd64, kX86};

// One cross build and what it leaves: the signed image, the package folder and the
// test CA that issued the signing certificate.
struct Build {
    const char* label;
    const char* preset;
    const char* folder;
    Platform platform;
    std::string Image() const { return std::string(folder) + "/" + platform.image; }
    std::string Package() const { return std::string(folder) + "/package"; }
    std::string Inf() const { return Package() + "/vodrek.inf"; }
    std::string TestCa() const { return std::string(folder) + "/test-signing/ca.pem"; }
};
const Build kBuildX64 = {"x64", "win-x64", VODREK_BUILD_X64, kAmd64};
const Build kBuildX86 = {"i386", "win-x86", VODREK_BUILD_X86, kX86};

void PrintTo(const Build& build, std::ostream* out) {
    *out << build.label << " " << build.folder;
}

const char kPortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr unsigned long kAssociatedService = 0x2;  // SPSVCINST_ASSOCSERVICE
constexpr unsigned long kRegDword = 0x00010001;    // FLG_ADDREG_TYPE_DWORD
constexpr unsigned long kRegMultiSz = 0x00010000;  // FLG_ADDREG_TYPE_MULTI_SZ
constexpr unsigned long kRegSz = 0x0;

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

std::optional<std::string> ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

unsigned long Number(const std::string& text) {
    return text.empty() ? 0 : std::strtoul(text.c_str(), nullptr, 0);
}

// The hardware identifier the hub gives a device with these descriptors, without
// its revision: the one the INF must name.
std::string DescriptorHardwareId(int variant) {
    const std::vector<uint8_t> device = sim::BridgeDescriptors(variant).DeviceDescriptor();
    char id[32];
    std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", device.at(8) | device.at(9) << 8,
                  device.at(10) | device.at(11) << 8);
    return id;
}

// What to run when a cross build's package is missing.
std::string BuildHint(const Build& build) {
    return build.Inf() + " not found; build it with `cmake --preset " + build.preset +
           " && cmake --build --preset " + build.preset + "`";
}

// Runs the check on the INF text, a syntax error being a failure with its reason.
template <typename Check>
AssertionResult OnInf(const std::string& text, Check check) {
    try {
        const InfFile inf(text);
        return check(inf);
    } catch (const InfSyntaxError& error) {
        return AssertionFailure() << "INF: " << error.what();
    }
}

AssertionResult CheckVersion(const InfFile& inf) {
    const auto value = [&](const char* key) { return inf.Value("Version", key).value_or(""); };
    if (!EqualNoCase(value("Signature"), "$WINDOWS NT$")) {
        return AssertionFailure() << "Signature '" << value("Signature")
                                  << "', expected $WINDOWS NT$";
    }
    if (!EqualNoCase(value("Class"), "Ports") ||
        !EqualNoCase(value("ClassGuid"), kPortsClassGuid)) {
        return AssertionFailure() << "Class '" << value("Class") << "' ClassGuid '"
                                  << value("ClassGuid") << "', expected Ports " << kPortsClassGuid;
    }
    if (value("Provider").empty()) {
        return AssertionFailure() << "no Provider";
    }
    const std::string catalog = value("CatalogFile");
    if (catalog.size() < 5 || !EqualNoCase(catalog.substr(catalog.size() - 4), ".cat")) {
        return AssertionFailure() << "CatalogFile '" << catalog << "' names no .cat file";
    }
    static const std::regex kDriverVer(
        R"((0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/(\d{4}),(\d+)\.(\d+)\.(\d+)\.(\d+))");
    // DriverVer = date,version: two values.
    const std::vector<const InfLine*> lines = inf.Lines("Version", "DriverVer");
    std::string driverVer;
    if (lines.size() == 1 && lines.front()->values.size() == 2) {
        driverVer =
            inf.Expand(lines.front()->values[0]) + "," + inf.Expand(lines.front()->values[1]);
    }
    std::smatch match;
    if (!std::regex_match(driverVer, match, kDriverVer)) {
        return AssertionFailure() << "DriverVer '" << driverVer << "' is not mm/dd/yyyy,w.x.y.z";
    }
    for (size_t part = 4; part < match.size(); ++part) {
        if (std::stoul(match[part]) > 65535) {
            return AssertionFailure()
                   << "DriverVer '" << driverVer << "': " << match[part] << " > 65535";
        }
    }
    return AssertionSuccess();
}

AssertionResult CheckStringsDefined(const InfFile& inf) {
    const std::vector<std::string> undefined = inf.UndefinedTokens();
    if (!undefined.empty()) {
        return AssertionFailure() << undefined.front() << " is not defined in [Strings] ("
                                  << undefined.size() << " undefined)";
    }
    return AssertionSuccess();
}

// The Models section [Manufacturer] names for the platform, or null.
const InfSection* ModelsSection(const InfFile& inf, const Platform& platform) {
    const InfSection* manufacturer = inf.Section("Manufacturer");
    if (manufacturer == nullptr) {
        return nullptr;
    }
    for (const InfLine& line : manufacturer->lines) {
        for (size_t i = 1; i < line.values.size(); ++i) {
            if (EqualNoCase(line.values[i], platform.decoration)) {
                return inf.Section(line.values[0] + "." + platform.decoration);
            }
        }
    }
    return nullptr;
}

AssertionResult CheckModels(const InfFile& inf, const Platform& platform,
                            const std::string& hardwareId) {
    const InfSection* models = ModelsSection(inf, platform);
    if (models == nullptr) {
        return AssertionFailure() << "[Manufacturer] names no Models section for "
                                  << platform.decoration;
    }
    if (models->lines.empty()) {
        return AssertionFailure() << "[" << models->name << "] lists no device";
    }
    for (const InfLine& line : models->lines) {
        if (line.values.size() < 2 || !EqualNoCase(line.values[1], hardwareId)) {
            return AssertionFailure()
                   << "[" << models->name << "] line " << line.number << " names '"
                   << (line.values.size() < 2 ? "" : line.values[1]) << "', not the adapter's "
                   << hardwareId;
        }
        if (inf.Expand(line.key).empty()) {
            return AssertionFailure() << "[" << models->name << "] line " << line.number
                                      << " has no device description";
        }
        if (inf.Decorated(line.values[0], platform.decoration) == nullptr) {
            return AssertionFailure() << "install section " << line.values[0] << " not found for "
                                      << platform.decoration;
        }
    }
    return AssertionSuccess();
}

// The DDInstall section Windows installs the adapter from on the platform, or null.
const InfSection* InstallSection(const InfFile& inf, const Platform& platform) {
    const InfSection* models = ModelsSection(inf, platform);
    if (models == nullptr || models->lines.empty() || models->lines.front().values.empty()) {
        return nullptr;
    }
    return inf.Decorated(models->lines.front().values.front(), platform.decoration);
}

// The values of every `key` line of `section`, one list per line.
std::vector<std::vector<std::string>> Entries(const InfFile& inf, const std::string& section,
                                              const std::string& key) {
    std::vector<std::vector<std::string>> entries;
    for (const InfLine* line : inf.Lines(section, key)) {
        entries.push_back(line->values);
    }
    return entries;
}

AssertionResult CheckInstallsImage(const InfFile& inf, const Platform& platform) {
    const InfSection* install = InstallSection(inf, platform);
    if (install == nullptr) {
        return AssertionFailure() << "no install section for " << platform.decoration;
    }
    // What CopyFiles copies, and where.
    std::set<std::string> copied;
    for (const auto& entry : Entries(inf, install->name, "CopyFiles")) {
        for (const std::string& list : entry) {
            const InfSection* files = inf.Section(list);
            if (files == nullptr) {
                return AssertionFailure() << "CopyFiles section " << list << " not found";
            }
            for (const InfLine& line : files->lines) {
                copied.insert(Lower(line.values.front()));
            }
            std::optional<std::string> dir = inf.Value("DestinationDirs", list);
            if (!dir) {
                dir = inf.Value("DestinationDirs", "DefaultDestDir");
            }
            if (dir.value_or("") != "12") {
                return AssertionFailure() << list << " goes to directory " << dir.value_or("(none)")
                                          << ", not 12 where the service looks";
            }
        }
    }
    if (copied != std::set<std::string>{Lower(platform.image)}) {
        std::ostringstream names;
        for (const std::string& name : copied) {
            names << " " << name;
        }
        return AssertionFailure() << platform.decoration << " copies {" << names.str()
                                  << " }, expected " << platform.image << " alone";
    }
    // Where the file comes from: a disk of the platform's (or every platform's) media.
    const std::string media = std::string(".") + platform.media;
    const std::vector<const InfLine*> source = [&] {
        auto lines = inf.Lines("SourceDisksFiles" + media, platform.image);
        return lines.empty() ? inf.Lines("SourceDisksFiles", platform.image) : lines;
    }();
    if (source.size() != 1 || source.front()->values.empty()) {
        return AssertionFailure() << platform.image << " is not in [SourceDisksFiles" << media
                                  << "]";
    }
    const std::string disk = source.front()->values.front();
    if (inf.Lines("SourceDisksNames" + media, disk).empty() &&
        inf.Lines("SourceDisksNames", disk).empty()) {
        return AssertionFailure() << platform.image << " is on disk " << disk
                                  << ", which no SourceDisksNames has";
    }
    // The one service the device gets as its function driver.
    const std::string services = install->name + ".Services";
    std::vector<std::vector<std::string>> associated;
    for (const auto& entry : Entries(inf, services, "AddService")) {
        if (entry.size() >= 3 && (Number(entry[1]) & kAssociatedService)) {
            associated.push_back(entry);
        }
    }
    if (associated.size() != 1) {
        return AssertionFailure() << "[" << services << "] associates " << associated.size()
                                  << " services with the device, expected 1";
    }
    const std::string section = associated.front()[2];
    const auto value = [&](const char* key) { return inf.Value(section, key).value_or("(none)"); };
    if (Number(value("ServiceType")) != 1 || Number(value("StartType")) != 3 ||
        Number(value("ErrorControl")) != 1) {
        return AssertionFailure() << "service " << associated.front()[0] << ": ServiceType "
                                  << value("ServiceType") << ", StartType " << value("StartType")
                                  << ", ErrorControl " << value("ErrorControl")
                                  << "; expected a kernel driver (1), demand start (3), "
                                  << "normal error control (1)";
    }
    const std::string binary = std::string("%12%\\") + platform.image;
    if (!EqualNoCase(value("ServiceBinary"), binary)) {
        return AssertionFailure() << "service " << associated.front()[0] << " loads "
                                  << value("ServiceBinary") << " on " << platform.decoration
                                  << ", expected " << binary;
    }
    return AssertionSuccess();
}

// One line of an add-registry section.
struct AddRegEntry {
    std::string root, subkey, name;
    unsigned long flags = 0;
    std::vector<std::string> values;
};

// The add-registry lines the platform's DDInstall.HW section writes to the device's
// hardware key (HKR there), expanded.
std::vector<AddRegEntry> DeviceKeyEntries(const InfFile& inf, const Platform& platform) {
    std::vector<AddRegEntry> entries;
    const InfSection* install = InstallSection(inf, platform);
    if (install == nullptr) {
        return entries;
    }
    for (const auto& entry : Entries(inf, install->name + ".HW", "AddReg")) {
        for (const std::string& name : entry) {
            const InfSection* section = inf.Section(name);
            if (section == nullptr) {
                continue;
            }
            for (const InfLine& line : section->lines) {
                std::vector<std::string> v;
                for (const std::string& value : line.values) {
                    v.push_back(inf.Expand(value));
                }
                v.resize(std::max<size_t>(v.size(), 4));
                entries.push_back({v[0], v[1], v[2], Number(v[3]), {v.begin() + 4, v.end()}});
            }
        }
    }
    return entries;
}

AssertionResult CheckDeviceKey(const InfFile& inf, const Platform& platform) {
    const InfSection* install = InstallSection(inf, platform);
    if (install == nullptr || inf.Section(install->name + ".HW") == nullptr) {
        return AssertionFailure() << "no DDInstall.HW section for " << platform.decoration;
    }
    const AddRegEntry* multiport = nullptr;
    const AddRegEntry* upper = nullptr;
    const std::vector<AddRegEntry> entries = DeviceKeyEntries(inf, platform);
    for (const AddRegEntry& entry : entries) {
        if (!EqualNoCase(entry.root, "HKR") || !entry.subkey.empty()) {
            continue;
        }
        if (EqualNoCase(entry.name, "MultiportDevice")) {
            multiport = &entry;
        } else if (EqualNoCase(entry.name, "UpperFilters")) {
            upper = &entry;
        } else if (EqualNoCase(entry.name, "LowerFilters")) {
            return AssertionFailure()
                   << "a COM port has no lower filter; the INF gives LowerFilters";
        }
    }
    if (multiport == nullptr || multiport->flags != kRegDword || multiport->values.size() != 1 ||
        multiport->values.front() != "0") {
        return AssertionFailure() << "the device key gets no MultiportDevice DWORD 0 ("
                                  << (multiport ? "flags or value differ" : "absent") << ")";
    }
    if (upper == nullptr || upper->flags != kRegMultiSz || upper->values.size() != 1 ||
        !EqualNoCase(upper->values.front(), "serenum")) {
        return AssertionFailure()
               << "the device key gets no UpperFilters REG_MULTI_SZ naming serenum alone";
    }
    for (const auto& entry : Entries(inf, install->name + ".Services", "AddService")) {
        if (EqualNoCase(entry.front(), "serenum")) {
            if (entry.size() >= 2 && (Number(entry[1]) & kAssociatedService)) {
                return AssertionFailure()
                       << "serenum is a filter, yet the INF makes it the device's service";
            }
            return AssertionSuccess();
        }
    }
    return AssertionFailure() << "the filter serenum has no AddService in " << install->name
                              << ".Services";
}

// Every check for both platforms: what a package must pass.
AssertionResult CheckInf(const std::string& text, const std::string& hardwareId) {
    return OnInf(text, [&](const InfFile& inf) -> AssertionResult {
        for (auto check : {CheckVersion, CheckStringsDefined}) {
            if (AssertionResult result = check(inf); !result) {
                return result;
            }
        }
        for (const Platform& platform : kPlatforms) {
            if (AssertionResult result = CheckModels(inf, platform, hardwareId); !result) {
                return result;
            }
            for (auto check : {CheckInstallsImage, CheckDeviceKey}) {
                if (AssertionResult result = check(inf, platform); !result) {
                    return result;
                }
            }
        }
        return AssertionSuccess();
    });
}

// `text` with `from` replaced by `to` everywhere; `from` must occur, so that a
// doctored copy is never the original by mistake.
std::string Doctored(const std::string& text, const std::string& from, const std::string& to) {
    std::string out = text;
    size_t at = out.find(from);
    EXPECT_NE(at, std::string::npos) << "'" << from << "' not in the INF";
    while (at != std::string::npos) {
        out.replace(at, from.size(), to);
        at = out.find(from, at + to.size());
    }
    return out;
}

// --- the INF reader ---------------------------------------------------------------------------

TEST(InfReader, ReadsSectionsLinesQuotesCommentsAndContinuations) {
    const InfFile inf(
        "; leading comment\r\n"
        "[Version]\r\n"
        "Signature = \"$Windows NT$\" ; trailing comment\r\n"
        "[strings]\r\n"
        "Name = \"a; b, \"\"c\"\"\"\r\n"
        "[List]\r\n"
        "HKR,,Value,0x00010000,\"one\",\\\r\n"
        "    \"two\"\r\n"
        "file.sys\r\n"
        "[LIST]\r\n"
        "Key = %Name% in %12%\\x, 100%%\r\n");
    EXPECT_EQ(inf.Value("version", "SIGNATURE"), "$Windows NT$");
    // A comment character and a comma inside quotes are text; "" is one quote.
    EXPECT_EQ(inf.Value("Strings", "Name"), "a; b, \"c\"");
    const InfSection* list = inf.Section("list");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->lines.size(), 3u) << "both [List] sections are one";
    EXPECT_EQ(list->lines[0].values,
              (std::vector<std::string>{"HKR", "", "Value", "0x00010000", "one", "two"}));
    EXPECT_EQ(list->lines[0].number, 7);
    EXPECT_EQ(list->lines[1].values, std::vector<std::string>{"file.sys"});
    EXPECT_TRUE(list->lines[1].key.empty());
    // String tokens expand; directory identifiers stay; %% is one percent sign.
    EXPECT_EQ(inf.Value("List", "Key"), "a; b, \"c\" in %12%\\x");
    EXPECT_EQ(inf.Expand("100%%"), "100%");
    EXPECT_TRUE(inf.UndefinedTokens().empty());
}

TEST(InfReader, PicksTheSectionOfThePlatformAndReportsWhatIsMissing) {
    const InfFile inf("[Install.NTamd64]\n[Install.NT]\n[Install]\n[Other]\nKey = %Missing%\n");
    EXPECT_EQ(inf.Decorated("install", "NTamd64")->name, "Install.NTamd64");
    EXPECT_EQ(inf.Decorated("Install", "NTx86")->name, "Install.NT");
    EXPECT_EQ(inf.Decorated("Other", "NTx86")->name, "Other");
    EXPECT_EQ(inf.Decorated("None", "NTx86"), nullptr);
    EXPECT_EQ(inf.UndefinedTokens(), std::vector<std::string>{"%Missing% (line 5)"});
    EXPECT_THROW(inf.Value("Other", "Key"), InfSyntaxError);
    EXPECT_THROW(InfFile("Key = value\n"), InfSyntaxError);
    EXPECT_THROW(InfFile("[Version\n"), InfSyntaxError);
    EXPECT_THROW(InfFile("[A]\nKey = \"open\n"), InfSyntaxError);
}

// --- the package each cross build leaves ------------------------------------------------------

class DriverPackage : public ::testing::TestWithParam<Build> {
  protected:
    void SetUp() override {
        const std::optional<std::string> text = ReadText(build().Inf());
        ASSERT_TRUE(text.has_value()) << BuildHint(build());
        inf_ = *text;
    }
    const Build& build() const { return GetParam(); }
    const std::string& inf() const { return inf_; }

    // osslsigncode's verdict on `image` against the certificates in `ca`.
    static std::pair<int, std::string> Verify(const std::string& image, const std::string& ca) {
        return Run(std::string(VODREK_OSSLSIGNCODE) + " verify -CAfile " + Quoted(ca) + " -in " +
                   Quoted(image));
    }
    static std::pair<int, std::string> Run(const std::string& command) {
        std::string output;
        FILE* pipe = popen((command + " 2>&1").c_str(), "r");
        if (pipe == nullptr) {
            return {-1, "cannot run " + command};
        }
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
            output.append(chunk, got);
        }
        const int status = pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    }

  private:
    std::string inf_;
};

TEST_P(DriverPackage, InfInstallsEachArchitecturesImageForTheChipModelsAdapter) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        EXPECT_TRUE(CheckInf(inf(), DescriptorHardwareId(variant))) << "chip variant " << variant;
    }
    // CR LF line ends, as the Windows tools write an INF, and nothing outside ASCII.
    EXPECT_EQ(inf().find("\n"), inf().find("\r\n") + 1);
    EXPECT_EQ(Doctored(inf(), "\r\n", "").find('\n'), std::string::npos);
    for (unsigned char c : inf()) {
        ASSERT_LT(c, 0x80) << "the INF holds a character outside ASCII";
    }
}

TEST_P(DriverPackage, InfChecksRejectADoctoredInf) {
    const std::string id = DescriptorHardwareId(0);
    const std::string x64 = kAmd64.image;
    const std::string x86 = kX86.image;
    const std::string guid = kPortsClassGuid;
    struct Case {
        const char* what;
        std::string from, to;
        std::string reason;  // in the failure the check gives
    };
    const Case cases[] = {
        {"another device setup class", "Class       = Ports", "Class       = Modem",
         "Class 'Modem'"},
        {"another class GUID", guid, "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
         "ClassGuid '{4D36E96D"},
        {"a DriverVer that is no date", "DriverVer   = ", "DriverVer   = 2026-",
         "is not mm/dd/yyyy"},
        {"another adapter", id.substr(0, 12), "USB\\VID_0001", "not the adapter's"},
        {"no x86 models", ", NTamd64, NTx86", ", NTamd64", "no Models section for NTx86"},
        {"the images swapped in the services", "%12%\\" + x64, "%12%\\" + x86,
         "loads %12%\\" + x86},
        {"the x86 image copied on x64", "[VodrekPort.Files.amd64]\r\n" + x64,
         "[VodrekPort.Files.amd64]\r\n" + x86, "NTamd64 copies { " + x86},
        {"the x64 image not on the source media", x64 + " = 1", x86 + " = 1",
         x64 + " is not in [SourceDisksFiles.amd64]"},
        {"no function driver associated", "0x00000002, VodrekService.amd64",
         "0x00000000, VodrekService.amd64", "associates 0 services"},
        {"an automatic start", "StartType     = 3", "StartType     = 2", "StartType 2"},
        {"a user-mode service", "ServiceType   = 1", "ServiceType   = 16", "ServiceType 16"},
        {"files to another directory", "DefaultDestDir = 12", "DefaultDestDir = 11",
         "goes to directory 11"},
        {"no MultiportDevice", "HKR,,MultiportDevice,0x00010001,0", "HKR,,Unrelated,0x00010001,0",
         "no MultiportDevice DWORD 0 (absent)"},
        {"a multiport device", "HKR,,MultiportDevice,0x00010001,0",
         "HKR,,MultiportDevice,0x00010001,1", "no MultiportDevice DWORD 0 (flags or value differ)"},
        {"MultiportDevice as a string", "HKR,,MultiportDevice,0x00010001,0",
         "HKR,,MultiportDevice,,0", "no MultiportDevice DWORD 0 (flags or value differ)"},
        {"no upper filter", "HKR,,UpperFilters", "HKR,,OtherFilters", "no UpperFilters"},
        {"a lower filter", "HKR,,UpperFilters", "HKR,,LowerFilters", "gives LowerFilters"},
        {"an undefined string", "%MakerName% =", "%NoSuchName% =", "%NoSuchName%"},
        {"an unterminated quote", "\"vodrek\"", "\"vodrek", "unterminated quote"},
    };
    ASSERT_TRUE(CheckInf(inf(), id));
    for (const Case& doctored : cases) {
        const AssertionResult result = CheckInf(Doctored(inf(), doctored.from, doctored.to), id);
        EXPECT_FALSE(result) << doctored.what;
        EXPECT_NE(std::string(result.message()).find(doctored.reason), std::string::npos)
            << doctored.what << ": rejected for another reason: " << result.message();
    }
}

TEST_P(DriverPackage, ImageIsTestSignedByTheBuildTreesOwnCa) {
    const auto [status, output] = Verify(build().Image(), build().TestCa());
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("Signature verification: ok"), std::string::npos) << output;
    EXPECT_NE(output.find("Message digest algorithm  : SHA256"), std::string::npos) << output;
    // The package holds that same signed image.
    const std::string packaged = build().Package() + "/" + build().platform.image;
    const auto image = ReadText(build().Image());
    ASSERT_TRUE(image.has_value()) << build().Image();
    EXPECT_EQ(ReadText(packaged), image) << packaged << " is not the signed image";
}

TEST_P(DriverPackage, SignatureCheckRejectsAChangedImageAndAnotherCa) {
    const std::optional<std::string> image = ReadText(build().Image());
    ASSERT_TRUE(image.has_value()) << build().Image();
    const std::string changed = simtest::TempPath(std::string("changed_") + build().platform.image);
    {
        std::string bytes = *image;
        bytes[bytes.size() / 3] ^= 0x10;  // inside the code, which the signature covers
        std::ofstream(changed, std::ios::binary) << bytes;
    }
    auto [status, output] = Verify(changed, build().TestCa());
    EXPECT_NE(status, 0) << "a changed image verified:\n" << output;
    std::remove(changed.c_str());

    // A CA of the same kind that did not issue the signing certificate.
    const std::string key = simtest::TempPath("other_ca.key");
    const std::string ca = simtest::TempPath("other_ca.pem");
    const auto made =
        Run(std::string(VODREK_OPENSSL) + " req -x509 -newkey rsa:2048 -nodes -days 1 -keyout " +
            Quoted(key) + " -out " + Quoted(ca) + " -subj '/CN=another test CA'");
    ASSERT_EQ(made.first, 0) << made.second;
    std::tie(status, output) = Verify(build().Image(), ca);
    EXPECT_NE(status, 0) << "the image verified against a CA that did not sign it:\n" << output;
    std::remove(key.c_str());
    std::remove(ca.c_str());
}

INSTANTIATE_TEST_SUITE_P(Vodrek, DriverPackage, ::testing::Values(kBuildX64, kBuildX86),
                         [](const ::testing::TestParamInfo<Build>& info) {
                             return std::string(info.param.label);
                         });

// --- the INF on the simulated machine ---------------------------------------------------------

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// What Windows does with the DDInstall.HW section: its HKR values go to the
// device's hardware key, the one the driver opens with PLUGPLAY_REGKEY_DEVICE.
void InstallDeviceKey(const InfFile& inf, const Platform& platform, const std::u16string& key) {
    const std::vector<AddRegEntry> entries = DeviceKeyEntries(inf, platform);
    ASSERT_FALSE(entries.empty()) << "the INF writes nothing to the device key";
    for (const AddRegEntry& entry : entries) {
        ASSERT_TRUE(EqualNoCase(entry.root, "HKR") && entry.subkey.empty())
            << entry.root << "," << entry.subkey;
        const std::u16string name = Wide(entry.name);
        if (entry.flags == kRegDword) {
            ASSERT_EQ(entry.values.size(), 1u) << entry.name;
            sim::SetRegistryDword(key, name, Number(entry.values.front()));
        } else if (entry.flags == kRegMultiSz) {
            std::vector<std::u16string> strings;
            for (const std::string& value : entry.values) {
                strings.push_back(Wide(value));
            }
            sim::SetRegistryMultiString(key, name, strings);
        } else if (entry.flags == kRegSz) {
            ASSERT_EQ(entry.values.size(), 1u) << entry.name;
            sim::SetRegistryString(key, name, Wide(entry.values.front()));
        } else {
            FAIL() << entry.name << ": registry type flags " << entry.flags
                   << " not installed by this test";
        }
    }
}

std::vector<std::u16string> Strings(ULONG_PTR list) {
    std::vector<std::u16string> out;
    for (auto* p = reinterpret_cast<const char16_t*>(list); p && *p; p += out.back().size() + 1) {
        out.emplace_back(p);
    }
    return out;
}

class PackageOnTheSimulatedMachine : public simtest::SimTest,
                                     public ::testing::WithParamInterface<Build> {
  protected:
    sim::Workbench bench;
};

// The bus names each chip variant by the identifiers in its descriptors; the INF
// must match one of them, and the device key it writes must be what the driver
// needs to answer the hardware-identifier query as a single COM port.
TEST_P(PackageOnTheSimulatedMachine, EveryChipVariantMatchesAndItsPortStartsWithTheInfsDeviceKey) {
    const Build& build = GetParam();
    const std::optional<std::string> text = ReadText(build.Inf());
    ASSERT_TRUE(text.has_value()) << BuildHint(build);
    const InfFile inf(*text);
    const InfSection* models = ModelsSection(inf, build.platform);
    ASSERT_TRUE(models != nullptr && !models->lines.empty() &&
                models->lines.front().values.size() >= 2);
    const std::string infId = models->lines.front().values[1];

    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        SCOPED_TRACE("chip variant " + std::to_string(variant));
        sim::AdapterOptions options;
        options.variant = variant;
        options.portName = u"COM" + Wide(std::to_string(3 + variant));
        options.multiportDevice = std::nullopt;  // the INF's value, not the workbench's
        sim::Adapter& adapter = bench.AddAdapter(options);
        InstallDeviceKey(inf, build.platform, adapter.DeviceKeyPath());
        ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);

        const std::vector<std::u16string>& busIds = adapter.Usb().HardwareIds();
        bool matched = false;
        for (const std::u16string& id : busIds) {
            matched = matched || EqualNoCase(std::string(id.begin(), id.end()), infId);
        }
        EXPECT_TRUE(matched) << "the INF's " << infId << " is none of the bus's identifiers";

        const sim::PnpResult answer = sim::SendPnp(
            adapter.Pdo(), IRP_MN_QUERY_ID,
            [](IO_STACK_LOCATION& sp) { sp.Parameters.QueryId.IdType = BusQueryHardwareIDs; });
        ASSERT_EQ(answer.status, STATUS_SUCCESS);
        std::vector<std::u16string> expected = busIds;
        expected.push_back(u"*PNP0501");
        EXPECT_EQ(Strings(answer.information), expected);
        ExFreePool(reinterpret_cast<PVOID>(answer.information));
    }
}

INSTANTIATE_TEST_SUITE_P(Vodrek, PackageOnTheSimulatedMachine,
                         ::testing::Values(kBuildX64, kBuildX86),
                         [](const ::testing::TestParamInfo<Build>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
}  // namespace vodrek::package
