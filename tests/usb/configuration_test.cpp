// Device configuration at start: the chip type from the descriptors, the
// interfaces selected and the pipes each transfer kind uses, and the echo check
// of the newer chips.
#include "tests/support/usb_port_harness.h"

#include <memory>

namespace {

using simtest::kComxTag;
using simtest::SimTest;
using simtest::UsbPortHarness;

TEST(ChipTypeRules, FirstMatchingRuleDecides) {
    auto typeOf = [](UCHAR deviceClass, UCHAR packetSize, LONG current) {
        UCHAR d[18] = {18, 1, 0x10, 0x01, deviceClass, 0, 0, packetSize};
        return ChipTypeFromDeviceDescriptor(d, current);
    };
    EXPECT_EQ(typeOf(0x02, 64, -1), 0) << "the class wins over the packet size";
    EXPECT_EQ(typeOf(0x00, 8, -1), 1);
    EXPECT_EQ(typeOf(0xFF, 8, -1), 1);
    EXPECT_EQ(typeOf(0xFF, 64, -1), 2) << "the packet size comes before class 0/0xFF";
    EXPECT_EQ(typeOf(0x00, 64, 4), 2);
    EXPECT_EQ(typeOf(0x07, 8, -1), -1) << "no rule: unchanged";
    EXPECT_EQ(typeOf(0x07, 16, 3), 3);
}

class ConfigurationTest : public SimTest {
  protected:
    void Plug(int variant, sim::BridgeChipOptions options = {}) {
        h.reset();
        h = std::make_unique<UsbPortHarness>(variant, std::move(options));
    }
    void Plug(sim::DescriptorSet descriptors, int variant = 2) {
        sim::BridgeChipOptions options;
        options.descriptors = std::move(descriptors);
        Plug(variant, std::move(options));
    }
    void TearDown() override {
        h.reset();
        SimTest::TearDown();
    }
    size_t Requests(UCHAR request, USHORT value) const {
        size_t n = 0;
        for (const sim::SetupPacket& s : h->ChipSetups())
            n += s.bRequest == request && s.wValue == value;
        return n;
    }
    size_t StringReads() const {
        size_t n = 0;
        for (const sim::UrbRecord& r : h->Records())
            n += r.hasSetup && r.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
                 r.setup.wValue >> 8 == 3;
        return n;
    }
    USBD_PIPE_HANDLE Pipe(const USBD_INTERFACE_INFORMATION* info, ULONG index) const {
        return info && index < info->NumberOfPipes ? info->Pipes[index].PipeHandle : nullptr;
    }
    std::unique_ptr<UsbPortHarness> h;
};

TEST_F(ConfigurationTest, EveryVariantIsRecognisedAndItsPipesTakenByPosition) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        SCOPED_TRACE(variant);
        Plug(variant);
        PortExtension* port = h->port();
        ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
        EXPECT_EQ(port->ChipType, variant);
        EXPECT_EQ(port->SystemPowerState, PowerSystemWorking);
        EXPECT_EQ(h->chip().Configuration(), 1);
        // Variant 0 is a communications-class device with a 64-byte endpoint 0.
        EXPECT_EQ(StringReads(), variant >= 2 ? 2u : 0u);
        EXPECT_EQ(Requests(1, 0x0606), variant >= 2 ? 2u : 0u) << "echo test";
        EXPECT_EQ(Requests(1, 0x8686), variant >= 2 ? 1u : 0u);
        const USBD_INTERFACE_INFORMATION* first = port->InterfaceInfo0;
        const USBD_INTERFACE_INFORMATION* second = port->InterfaceInfo1;
        ASSERT_NE(first, nullptr);
        if (variant == 0) {
            EXPECT_FALSE(port->SingleInterface);
            ASSERT_NE(second, nullptr);
            EXPECT_EQ(second->InterfaceNumber, 1);
            EXPECT_EQ(PipeHandleFor(port, StatusIn), Pipe(first, 0));
            EXPECT_EQ(PipeHandleFor(port, BulkOut), Pipe(second, 0));
            EXPECT_EQ(PipeHandleFor(port, BulkIn), Pipe(second, 1));
        } else {
            EXPECT_TRUE(port->SingleInterface);
            EXPECT_EQ(second, nullptr);
            for (ULONG kind = 0; kind < kTransferKindCount; ++kind)
                EXPECT_EQ(PipeHandleFor(port, TransferKind(kind)), Pipe(first, kind));
        }
        EXPECT_NE(PipeHandleFor(port, BulkIn), nullptr);
    }
}

TEST_F(ConfigurationTest, ThreeInterfacesSelectTheFirstTwoWhoseEndpointsCarryTheData) {
    for (int variant : {0, 3}) {
        Plug(sim::ThreeInterfaceDescriptors(variant), variant);
        ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
        EXPECT_EQ(h->port()->InterfaceInfo0->InterfaceNumber, 0);
        EXPECT_EQ(h->port()->InterfaceInfo1->InterfaceNumber, 1);
        EXPECT_EQ(SubmitTransfer(h->device(), BulkOut, "z", 1), STATUS_PENDING);
        sim::Simulation::Current().RunFor(5 * sim::kMillisecond);
        EXPECT_EQ(h->chip().TakeTransmitted(), std::vector<uint8_t>{'z'});
    }
}

TEST_F(ConfigurationTest, UnknownChipUsesTheNewerRowAndUnmatchedInterfacesFailTheStart) {
    sim::DescriptorSet unknown = sim::VendorTwoInterfaceDescriptors(1);
    unknown.device.deviceClass = 0x07;
    Plug(unknown, 1);
    EXPECT_EQ(h->Configure(), STATUS_SUCCESS);
    EXPECT_EQ(h->port()->ChipType, -1);
    EXPECT_NE(h->port()->InterfaceInfo1, nullptr);

    // Chip type 0 wants a communications interface the device does not have.
    Plug(sim::VendorTwoInterfaceDescriptors(0), 0);
    EXPECT_EQ(h->Configure(), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(h->port()->InterfaceInfo0, nullptr);
    EXPECT_EQ(h->chip().Configuration(), 0) << "nothing was selected";

    sim::DescriptorSet empty = sim::BridgeDescriptors(2);
    empty.configuration.interfaces.clear();
    Plug(empty);
    EXPECT_EQ(h->Configure(), STATUS_INVALID_PARAMETER);
}

TEST_F(ConfigurationTest, StringsRefineTheNewerChipsAndAFailedReadRefinesNothing) {
    sim::BridgeChipOptions stalled;
    stalled.stalledStrings = {2};
    Plug(3, stalled);
    EXPECT_EQ(h->Configure(), STATUS_SUCCESS);
    EXPECT_EQ(h->port()->ChipType, 2);
    Plug(4, stalled);
    EXPECT_EQ(h->Configure(), STATUS_SUCCESS);
    EXPECT_EQ(h->port()->ChipType, 4) << "string 1 alone still decides";

    sim::DescriptorSet shortMaker = sim::BridgeDescriptors(4);
    shortMaker.strings[1] = u"Vodrek";
    Plug(shortMaker, 4);
    EXPECT_EQ(h->Configure(), STATUS_SUCCESS);
    EXPECT_EQ(h->port()->ChipType, 3) << "a string too short to hold the byte refines nothing";
}

TEST_F(ConfigurationTest, ChipThatDoesNotEchoFailsWithNoMemory) {
    Plug(2);
    sim::UrbMatch echoRead;
    echoRead.predicate = [](const sim::UrbSummary& u) {
        return u.hasSetup && u.setup.wValue == 0x8686;
    };
    h->usb().TruncateNext(echoRead, 0);
    EXPECT_EQ(h->Configure(), STATUS_NO_MEMORY);
    EXPECT_EQ(Requests(1, 0x0606), 1u) << "no clearing write after a failed echo";
}

TEST_F(ConfigurationTest, DescriptorFailuresEndTheStartAndARestartKeepsOneCopy) {
    Plug(2);
    sim::UrbMatch descriptor;
    descriptor.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    h->usb().FailNext(descriptor, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_FALSE(NT_SUCCESS(h->Configure()));
    EXPECT_EQ(h->port()->ChipType, -1);
    EXPECT_EQ(h->port()->DeviceDescriptorCopy, nullptr);

    ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
    const size_t blocks = sim::PoolBlocksWithTag(kComxTag);
    ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
    EXPECT_EQ(sim::PoolBlocksWithTag(kComxTag), blocks);
    EXPECT_EQ(0, memcmp(h->port()->DeviceDescriptorCopy, h->usb().DeviceDescriptor().data(), 18));
}

// A restart selects the configuration again while readers a wake started may be
// running: they are stopped, and their last completions have run, before the
// selection replaces the interface copies and closes the pipes they read from.
TEST_F(ConfigurationTest, ARestartStopsTheReadersBeforeTheConfigurationIsSelectedAgain) {
    Plug(2);
    ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
    PortExtension* port = h->port();
    const uint8_t status = h->chip().StatusEndpoint();
    const uint8_t bulkIn = h->chip().BulkInEndpoint();
    ASSERT_EQ(StartContinuousTransfers(port), STATUS_SUCCESS);
    ASSERT_EQ(h->usb().PendingUrbs(status) + h->usb().PendingUrbs(bulkIn), 2u);

    // Looks at the bus as the selection arrives; matches nothing.
    size_t readersAtSelection = 99;
    sim::UrbMatch selection;
    selection.function = URB_FUNCTION_SELECT_CONFIGURATION;
    selection.predicate = [&](const sim::UrbSummary&) {
        readersAtSelection = h->usb().PendingUrbs(status) + h->usb().PendingUrbs(bulkIn);
        return false;
    };
    sim::UrbFault never;
    never.times = 0;
    h->usb().InjectFault(selection, never);

    ASSERT_EQ(h->Configure(), STATUS_SUCCESS);
    EXPECT_EQ(readersAtSelection, 0u) << "a reader was still running from the old pipes";
    EXPECT_EQ(port->ReaderState[StatusIn], ReaderIdle);
    EXPECT_EQ(port->ReaderState[BulkIn], ReaderIdle);
    EXPECT_EQ(port->TransfersOutstanding, 1);
    h->usb().ClearFaults();

    // The port goes on as before: a reader started now reads from the new pipes.
    h->ClearRecords();
    ASSERT_EQ(StartContinuousTransfers(port), STATUS_SUCCESS);
    h->chip().InjectReceived({'x'});
    sim_.RunFor(20 * sim::kMillisecond);
    size_t received = 0;
    for (const sim::UrbRecord& r : h->Records())
        received += r.endpoint == bulkIn && r.ntStatus == STATUS_SUCCESS && r.data.size() == 1;
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(h->usb().PendingUrbs(bulkIn), 1u) << "and sent again";
}

}  // namespace
