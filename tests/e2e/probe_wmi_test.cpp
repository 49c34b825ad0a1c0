// vodrek-sim probe --wmi, run as a person runs it: the JSON carries the port's
// five WMI blocks by class, each property by its class name, and a block the port
// cannot answer says why.
#include <gtest/gtest.h>

#include "tests/support/tool_run.h"

#include <cstdio>
#include <string>

namespace {

using simtest::Has;
using simtest::RunCommand;
using simtest::RunTool;
using simtest::ToolRun;

TEST(ProbeWmi, ReportsEveryBlockByClassAndProperty) {
    ToolRun run = RunTool("probe --wmi --json --port-name COM7");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string& json = run.output;
    EXPECT_TRUE(Has(json, "\"MSSerial_PortName\":{\"InstanceName\":\"USB\\\\VID_")) << json;
    EXPECT_TRUE(Has(json, "\"PortName\":\"COM7\"")) << json;
    EXPECT_TRUE(Has(json, "\"MSSerial_CommInfo\":{")) << json;
    EXPECT_TRUE(
        Has(json, "\"BitsPerByte\":7,\"Parity\":2,\"ParityCheckEnable\":true,\"StopBits\":0"))
        << json;
    EXPECT_TRUE(Has(json, "\"MaximumBaudRate\":115200")) << json;
    EXPECT_TRUE(Has(json, "\"IsBusy\":false")) << json;
    EXPECT_TRUE(Has(json, "\"MSSerial_HardwareConfiguration\":{")) << json;
    EXPECT_TRUE(Has(json, "\"InterruptType\":1,\"BaseIOAddress\":0")) << json;
    EXPECT_TRUE(Has(json, "\"MSSerial_PerformanceInformation\":{")) << json;
    EXPECT_TRUE(Has(json, "\"ParityErrorCount\":0")) << json;
    EXPECT_TRUE(Has(json, "\"MSSerial_CommProperties\":{")) << json;
    EXPECT_TRUE(Has(json, "\"wPacketLength\":64,\"wPacketVersion\":2")) << json;
    EXPECT_TRUE(Has(json, "\"dwSettableBaud\":268861433")) << json;
    EXPECT_FALSE(Has(json, "VERIFIER"));

    ToolRun plain = RunTool("probe --json");
    ASSERT_EQ(plain.exitCode, 0) << plain.output;
    EXPECT_FALSE(Has(plain.output, "\"wmi\"")) << "only when asked";
}

TEST(ProbeWmi, APortWithoutANameSaysWhyItsNameBlockIsMissing) {
    ToolRun run =
        RunTool("probe --wmi --json --skip-external-naming");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "\"MSSerial_PortName\":{\"error\":\"0xC000009A\"}")) << run.output;
    EXPECT_TRUE(Has(run.output, "\"BitsPerByte\":7")) << run.output;

    ToolRun person = RunTool("probe --wmi --skip-external-naming");
    ASSERT_EQ(person.exitCode, 0) << person.output;
    EXPECT_TRUE(Has(person.output, "MSSerial_PortName: not answered (0xC000009A)"))
        << person.output;
    EXPECT_TRUE(Has(person.output, "MSSerial_CommProperties (USB\\VID_")) << person.output;
}

}  // namespace
