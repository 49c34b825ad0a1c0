// vodrek-sim chip, run as a person runs it: each thing it does on the chip types
// where it applies, the values it refuses before anything is written, its JSON,
// and a blank adapter programmed through the port that the driver then finds
// programmed at the next start.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

using simtest::ExpectRefused;
using simtest::Has;
using simtest::JsonValue;
using simtest::RunTool;
using simtest::RunToolJson;
using simtest::ToolRun;

std::string Chip(int variant, const std::string& rest) {
    return "chip --chip " + std::to_string(variant) + " " + rest;
}

std::string HexWord(unsigned word) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X %02X", word & 0xFF, (word >> 8) & 0xFF);
    return buf;
}

// The trace lines of a report's USB requests, joined.
std::string Trace(const JsonValue& requests) {
    std::string text;
    for (const JsonValue& line : requests["trace"].elements)
        text += line.string + "\n";
    return text;
}

// Writes of registers 0, 1 and 2: what the driver sends a chip whose memory is blank.
bool WritesDefaultRegisters(const std::string& trace) {
    return Has(trace, "setup 40 01 0000 ") && Has(trace, "setup 40 01 0101 ") &&
           Has(trace, "setup 40 01 0202 ");
}

class ChipTool : public ::testing::TestWithParam<int> {};

TEST_P(ChipTool, DescriptorsDecodedFromThePort) {
    const int variant = GetParam();
    JsonValue json;
    ToolRun run = RunToolJson(Chip(variant, "--json descriptors"), &json);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(json["chip_type"].Int(), variant);
    const JsonValue& result = json["result"];
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "0x%04X", VODREK_USB_VENDOR_ID);
    EXPECT_EQ(result["device"]["idVendor"].string, vendor) << run.output;
    EXPECT_EQ(result["device"]["bNumConfigurations"].Int(), 1);
    EXPECT_FALSE(result["strings"]["product"].string.empty()) << run.output;
    const JsonValue& config = result["configuration"];
    EXPECT_EQ(config["bConfigurationValue"].Int(), 1) << run.output;
    EXPECT_EQ(static_cast<long long>(config["interfaces"].elements.size()),
              config["bNumInterfaces"].Int());
    size_t endpoints = 0;
    for (const JsonValue& interface : config["interfaces"].elements)
        endpoints += interface["endpoints"].elements.size();
    EXPECT_EQ(endpoints, 3u) << "status in, bulk out, bulk in: " << run.output;
    // Only descriptor requests went to the chip.
    const JsonValue& functions = json["usb_requests"]["by_function"];
    EXPECT_GE(functions["GET_DESCRIPTOR_FROM_DEVICE"].Int(), 5) << run.output;
    EXPECT_FALSE(functions.Has("VENDOR_DEVICE")) << run.output;
    EXPECT_FALSE(functions.Has("CLASS_INTERFACE")) << run.output;

    ToolRun person = RunTool(Chip(variant, "descriptors"));
    simtest::ExpectSays(
        person, 0,
        {"Device descriptor: USB 0x", "Product (string ", "Configuration 1: ", "Endpoint 0x"});
}

TEST_P(ChipTool, ReadsEveryRegisterTheChipTypeHas) {
    const int variant = GetParam();
    JsonValue json;
    ToolRun run = RunToolJson(Chip(variant, "--json registers"), &json);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const JsonValue& registers = json["result"]["registers"];
    const size_t expected = variant < 2 ? 5 : variant == 2 ? 11 : 15;
    ASSERT_EQ(registers.elements.size(), expected) << run.output;
    for (const JsonValue& r : registers.elements)
        EXPECT_FALSE(r.Has("error")) << run.output;
    // Register 2 holds the receive levels the record gave it.
    EXPECT_EQ(registers[2]["value"].Int(), variant < 2 ? 0x24 : 0x44) << run.output;
    if (variant >= 2) {
        // Register 7 is the chip's revision word, read through its own control.
        EXPECT_EQ(registers[7]["register"].string, "0x07");
        EXPECT_EQ(registers[7]["value"].Int(), 0x10 * variant) << run.output;
        EXPECT_EQ(registers[7]["bytes"].Int(), 2);
    }
    // Reading writes nothing.
    EXPECT_FALSE(Has(Trace(json["usb_requests"]), "setup 40 ")) << run.output;
}

TEST_P(ChipTool, ConfigurationMemoryHoldsTheMakersRecordAndTakesWrites) {
    const int variant = GetParam();
    const unsigned place = variant == 3 ? 32 : variant == 4 ? 96 : 0;
    JsonValue json;
    ToolRun run = RunToolJson(
        Chip(variant, "--json config-memory read --from " + std::to_string(place) + " --count 4"),
        &json);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(json["result"]["bytes"].string,
              HexWord(VODREK_CONFIG_MEMORY_MARKER) + " " + HexWord(VODREK_USB_PRODUCT_ID))
        << run.output;

    ToolRun dump = RunTool(Chip(variant, "config-memory read"));
    simtest::ExpectSays(dump, 0, {"256 bytes from 0x00", "  0x00: ", "  0xF0: "});

    JsonValue written;
    run = RunToolJson(Chip(variant, "--json config-memory write 0xF0 0xA5 90 0"), &written);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(written["result"]["verified"].True()) << run.output;
    EXPECT_EQ(written["result"]["read_back"].string, "A5 5A 00") << run.output;
    // One programming write per byte, each to its own address.
    const std::string trace = Trace(written["usb_requests"]);
    EXPECT_TRUE(Has(trace, "setup 40 01 0303 a5f0 ")) << trace;
    EXPECT_TRUE(Has(trace, "setup 40 01 0303 5af1 ")) << trace;
    EXPECT_TRUE(Has(trace, "setup 40 01 0303 00f2 ")) << trace;
    EXPECT_FALSE(Has(trace, "setup 40 01 0303 00f3 ")) << trace;
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, ChipTool, ::testing::Values(0, 1, 2, 3, 4));

TEST(ChipToolRegisters, WritesAGatedRegisterOnlyOnTheChipTypesThatHaveIt) {
    JsonValue json;
    ToolRun run = RunToolJson(Chip(3, "--json registers write 0C 0x1234"), &json);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(json["result"]["registers"][0]["value"].Int(), 0x1234) << run.output;
    EXPECT_TRUE(Has(Trace(json["usb_requests"]), "setup 40 01 0c0c 1234 ")) << run.output;
    run = RunToolJson(Chip(2, "--json registers write 06 0x00AA"), &json);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(json["result"]["registers"][0]["value"].Int(), 0xAA) << run.output;
}

TEST(ChipToolRegisters, ARegisterTheChipTypeLacksIsRefusedAndNotWritten) {
    for (const auto& [variant, reg] :
         {std::pair<int, const char*>{2, "0C"}, {1, "07"}, {0, "0F"}}) {
        SCOPED_TRACE(std::to_string(variant) + " " + reg);
        const std::string pcap =
            simtest::TempPath("chip_refused_" + std::to_string(variant) + ".pcap");
        ToolRun refused = RunTool(
            Chip(variant, std::string("--pcap ") + pcap + " registers write " + reg + " 1"));
        EXPECT_EQ(refused.exitCode, 2) << refused.output;
        EXPECT_TRUE(Has(refused.output, std::string("register 0x") + reg + " refused: chip type " +
                                            std::to_string(variant)))
            << refused.output;
        EXPECT_TRUE(Has(refused.output, "nothing written"));
        EXPECT_EQ(std::count(refused.output.begin(), refused.output.end(), '\n'), 1)
            << refused.output;
        if (simtest::HaveTshark()) {
            const std::string code = std::string("0x") + reg + reg;
            EXPECT_TRUE(
                simtest::TsharkRows(pcap, "usb.setup.wValue == " + code, {"usb.setup.wValue"})
                    .empty());
            // The capture is real: the start's own register writes are in it.
            EXPECT_FALSE(
                simtest::TsharkRows(pcap, "usb.bmRequestType == 0x40", {"usb.setup.wValue"})
                    .empty());
        }
        std::remove(pcap.c_str());
    }
}

TEST(ChipToolRefusals, AddressesLengthsAndValuesAreRefusedBeforeTheAdapterIsTouched) {
    ExpectRefused("chip --chip 2",
                  {{"config-memory read --from 256", "--from takes a number from 0 to 255"},
                   {"config-memory read --count 0", "--count takes a number from 1 to 256"},
                   {"config-memory read --from 250 --count 7", "length 7 from address 250 refused"},
                   {"config-memory write 256 1", "address '256' refused"},
                   {"config-memory write 255 1 2", "length 2 at address 255 refused"},
                   {"config-memory write 0 0x100", "byte '0x100' refused"},
                   {"config-memory write 0", "say what"},
                   {"registers write 05 1", "register 0x05 refused"},
                   {"registers write 0C 0x10000", "value '0x10000' refused"},
                   {"transfers pause", "transfers takes stop or restart"},
                   {"--bogus registers", "unknown option '--bogus'"},
                   {"", "say what"}});
    ExpectRefused("chip", {{"--chip 5 registers", "--chip takes a variant from 0 to 4"}});
    // Nothing was plugged: not even a capture was started.
    const std::string pcap = simtest::TempPath("chip_refused_length.pcap");
    std::remove(pcap.c_str());
    ToolRun refused = RunTool("chip --pcap " + pcap + " config-memory write 254 1 2 3");
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(Has(refused.output, "nothing written")) << refused.output;
    FILE* file = std::fopen(pcap.c_str(), "rb");
    EXPECT_EQ(file, nullptr);
    if (file)
        std::fclose(file);
}

TEST(ChipToolTransfers, StopThenRestartLeavesOneReaderOfEachKind) {
    for (int variant : {0, 2, 4}) {
        SCOPED_TRACE(variant);
        JsonValue json;
        ToolRun run = RunToolJson(Chip(variant, "--json transfers stop restart restart"), &json);
        ASSERT_EQ(run.exitCode, 0) << run.output;
        const JsonValue& result = json["result"];
        EXPECT_EQ(result["before"]["interrupt_in"].Int(), 1) << run.output;
        EXPECT_EQ(result["before"]["bulk_in"].Int(), 1) << run.output;
        const JsonValue& steps = result["steps"];
        ASSERT_EQ(steps.elements.size(), 3u) << run.output;
        EXPECT_EQ(steps[0]["pending"]["interrupt_in"].Int(), 0) << run.output;
        EXPECT_EQ(steps[0]["pending"]["bulk_in"].Int(), 0) << run.output;
        for (size_t i : {1u, 2u}) {
            EXPECT_EQ(steps[i]["status"].string, "0x00000000") << run.output;
            EXPECT_EQ(steps[i]["pending"]["interrupt_in"].Int(), 1) << run.output;
            EXPECT_EQ(steps[i]["pending"]["bulk_in"].Int(), 1)
                << "never a second reader: " << run.output;
        }
    }
    ToolRun person = RunTool(Chip(2, "transfers stop"));
    simtest::ExpectSays(person, 0, {"Stop: 0x00000000", "\"bulk_in\":0"});
}

TEST(ChipToolProgram, ABlankAdapterProgrammedThroughThePortStartsWithoutTheDriversDefaults) {
    for (int variant = 0; variant <= 4; ++variant) {
        SCOPED_TRACE(variant);
        // Unprogrammed, a re-plug still gets the driver's defaults: the check below can fail.
        JsonValue blank;
        ToolRun run =
            RunToolJson(Chip(variant, "--blank-config-memory --replug --json registers"), &blank);
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(WritesDefaultRegisters(Trace(blank["replug"]["usb_requests"]))) << run.output;

        JsonValue json;
        run = RunToolJson(
            Chip(variant, "--blank-config-memory --replug --json config-memory program"), &json);
        ASSERT_EQ(run.exitCode, 0) << run.output;
        const JsonValue& result = json["result"];
        EXPECT_EQ(result["from"].Int(), variant == 3 ? 32 : variant == 4 ? 96 : 0) << run.output;
        EXPECT_TRUE(result["verified"].True()) << run.output;
        EXPECT_EQ(result["read_back"].string.substr(0, 11),
                  HexWord(VODREK_CONFIG_MEMORY_MARKER) + " " + HexWord(VODREK_USB_PRODUCT_ID))
            << run.output;
        EXPECT_EQ(json["replug"]["start_status"].string, "0x00000000") << run.output;
        const std::string started = Trace(json["replug"]["usb_requests"]);
        EXPECT_FALSE(Has(started, "setup 40 01 0202 ")) << started;
        EXPECT_FALSE(WritesDefaultRegisters(started)) << started;
    }
    ToolRun person = RunTool(Chip(2, "--blank-config-memory --replug config-memory program"));
    simtest::ExpectSays(person, 0, {"Programmed: the record is at 0x00", "Re-plugged: started"});
}

}  // namespace
