// The fuzz targets' shared port: when an input leaves the machine fit for the
// next one, and when the next one must start from a fresh machine (so that an
// input saved as a finding replays from the state it ran from).
#include "fuzz/fuzz_session.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sim/io.h>

#include "control/bridge_ioctl.h"

namespace {

// One input: a single device control through the port's handle, then the end
// of the input as the targets end it.
bool NeedsFreshMachineAfter(fuzz::OpenPort& port, ULONG code, std::vector<uint8_t> input) {
    fuzz::Requests requests;
    port.BeginInput();
    sim::FileRequestHandle request = port.File().DeviceIoControl(code, std::move(input), 0);
    requests.Add(request);
    port.Note(code, request);
    port.Sim().RunUntilIdle();
    port.EndInput(requests);
    return port.NeedsFreshMachine();
}

TEST(FuzzHarness, WritesToTheChipTheDriverRefusedKeepTheMachineOthersDoNot) {
    fuzz::OpenPort port;
    const ULONG unknown = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_FALSE(NeedsFreshMachineAfter(port, unknown, {1, 2, 3, 4}));
    // The bit's setting is a byte: none is refused before the chip is asked.
    EXPECT_FALSE(NeedsFreshMachineAfter(port, IOCTL_BRIDGE_SET_CONTROL_BIT4, {}));
    const bool on = (port.Adapter().Chip().Register(1) & 0x10) != 0;
    EXPECT_TRUE(NeedsFreshMachineAfter(port, IOCTL_BRIDGE_SET_CONTROL_BIT4, {static_cast<uint8_t>(!on)}));
}

TEST(FuzzHarness, SettingsAnInputChangedAreBackForTheNextOne) {
    fuzz::OpenPort port;
    SERIAL_BAUD_RATE rate{115200};
    EXPECT_FALSE(NeedsFreshMachineAfter(port, IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)));
    port.BeginInput();
    auto r = port.File().DeviceIoControl(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
    port.Sim().RunUntil([&] { return r->Completed(); }, sim::kSecond);
    ASSERT_EQ(r->Status(), STATUS_SUCCESS);
    SERIAL_BAUD_RATE now{};
    std::memcpy(&now, r->Output().data(), sizeof(now));
    EXPECT_EQ(now.BaudRate, 9600u);
}

}  // namespace
