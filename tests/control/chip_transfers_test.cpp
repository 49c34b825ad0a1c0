// The chip control transfers as the bus carries them: configuration memory
// sequences and their limits, the chip-type gates, and the caller's buffers.
#include "tests/support/scripted_lower.h"
#include "tests/support/usb_port_harness.h"

#include <memory>

namespace {

using sim::kMillisecond;
using simtest::SimTest;
using simtest::UsbPortHarness;

class ChipTransferTest : public simtest::ConfiguredPortTest {
  protected:
    // The configuration-memory requests in order: "busy:<bit>", "write:<wIndex>",
    // "select:<wIndex>", "read".
    std::vector<std::string> MemoryTraffic() const {
        std::vector<std::string> out;
        char text[32];
        for (const sim::UrbRecord& r : h->Records()) {
            if (!r.hasSetup)
                continue;
            if (r.setup.wValue == 0x8484) {
                std::snprintf(text, sizeof text, "busy:%d", r.data.empty() ? -1 : r.data[0] & 1);
            } else if (r.setup.wValue == 0x0303 || r.setup.wValue == 0x0404) {
                std::snprintf(text, sizeof text, "%s:%04X",
                              r.setup.wValue == 0x0303 ? "write" : "select", r.setup.wIndex);
            } else {
                std::snprintf(text, sizeof text, "read");
            }
            out.push_back(text);
        }
        return out;
    }
    size_t Count(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& t : MemoryTraffic())
            n += t.rfind(prefix, 0) == 0;
        return n;
    }
};

TEST_F(ChipTransferTest, MemoryWriteSendsEachByteToItsAddressAfterTheChipIsReady) {
    Plug(2);
    const UCHAR input[] = {0x10, 0xAB, 0xCD};
    EXPECT_EQ(ChipWriteConfigMemory(port, input, sizeof input), STATUS_SUCCESS);
    EXPECT_EQ(MemoryTraffic(),
              (std::vector<std::string>{"busy:0", "write:AB10", "busy:0", "write:CD11"}));
    EXPECT_EQ(h->chip().ConfigMemory()[0x10], 0xAB);
    EXPECT_EQ(h->chip().ConfigMemory()[0x11], 0xCD);

    h->ClearRecords();
    const UCHAR wrapping[] = {0xFF, 0x01, 0x02};
    EXPECT_EQ(ChipWriteConfigMemory(port, wrapping, sizeof wrapping), STATUS_SUCCESS);
    EXPECT_EQ(Count("write:01FF"), 1u);
    EXPECT_EQ(Count("write:0200"), 1u) << "only the low 8 bits of the address reach the chip";
    h->ClearRecords();
    EXPECT_EQ(ChipWriteConfigMemory(port, wrapping, 1), STATUS_SUCCESS);
    EXPECT_EQ(ChipWriteConfigMemory(port, nullptr, 3), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(h->Records().empty());
}

TEST_F(ChipTransferTest, MemoryReadSelectsEachAddressAndFillsTheBufferInOrder) {
    sim::BridgeChipOptions options;
    std::array<uint8_t, 256> image;
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i ^ 0x5A);
    options.configMemoryImage = image;
    Plug(2, options);
    UCHAR buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ULONG count = 99;
    EXPECT_EQ(ChipReadConfigMemory(port, 0x0000, buffer, 3, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(Count("select:"), 3u);
    EXPECT_EQ(Count("select:0000") + Count("select:0001") + Count("select:0002"), 3u);
    EXPECT_EQ(buffer[0], image[0]);
    EXPECT_EQ(buffer[2], image[2]);
    EXPECT_EQ(buffer[3], 0xEE) << "nothing beyond the caller's length";

    h->ClearRecords();
    EXPECT_EQ(ChipReadConfigMemory(port, 0xFFFF, buffer, 2, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(MemoryTraffic()[1], "select:FFFF");
    EXPECT_EQ(Count("select:0000"), 1u) << "the 16-bit address wraps";
    EXPECT_EQ(buffer[0], image[0xFF]);
    EXPECT_EQ(buffer[1], image[0x00]);
    EXPECT_EQ(ChipReadConfigMemory(port, 0, buffer, 0, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(ChipTransferTest, MemoryThatStaysBusyOrFailsEndsTheRun) {
    sim::BridgeChipOptions slow;
    slow.configMemoryBusyTime = 3600 * sim::kSecond;
    Plug(2, slow);
    const UCHAR input[] = {0x20, 1, 2, 3};
    const sim::Ticks start = sim_.Now();
    EXPECT_EQ(ChipWriteConfigMemory(port, input, sizeof input), STATUS_IO_TIMEOUT);
    EXPECT_EQ(Count("write:"), 1u);
    EXPECT_EQ(Count("busy:1"), kConfigMemoryBusyPolls);
    EXPECT_GE(sim_.Now() - start, kConfigMemoryBusyPolls * 5 * kMillisecond);
    UCHAR buffer[2] = {0xEE, 0xEE};
    ULONG count = 99;
    EXPECT_EQ(ChipReadConfigMemory(port, 0, buffer, 2, &count), STATUS_IO_TIMEOUT);
    EXPECT_EQ(count, 0u);

    // A refused request stops the run: no later byte is written, none read.
    Plug(2);
    sim::UrbMatch second;
    second.predicate = [](const sim::UrbSummary& u) {
        return u.setup.wValue == 0x0303 && u.setup.wIndex == 0x0221;
    };
    h->usb().StallNext(second);
    EXPECT_FALSE(NT_SUCCESS(ChipWriteConfigMemory(port, input, sizeof input)));
    EXPECT_EQ(Count("write:"), 2u);
    EXPECT_EQ(h->chip().ConfigMemory()[0x22], 0xFF);
    sim::UrbMatch select;
    select.predicate = [](const sim::UrbSummary& u) {
        return u.setup.wValue == 0x0404 && u.setup.wIndex == 1;
    };
    h->usb().StallNext(select);
    EXPECT_FALSE(NT_SUCCESS(ChipReadConfigMemory(port, 0, buffer, 2, &count)));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(buffer[1], 0xEE) << "the byte of an address never selected is not filled";
}

TEST_F(ChipTransferTest, GatedMembersSendNothingBelowTheirChipType) {
    Plug(1);
    UCHAR buffer[4] = {};
    ULONG count = 7;
    EXPECT_EQ(ChipWriteXonXoff(port, 0x11, 0x13), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChipWriteRegister8Or9(port, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChipWriteRegister0B(port, 2), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChipWriteRegister06(port, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChipWriteRegister07(port, 1), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(h->Records().empty());

    Plug(2);
    EXPECT_EQ(ChipWriteRegister0C(port, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChipWriteRegister0D(port, 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(ChipReadRegister0E(port, buffer, 4, &count), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ChipWriteRegister0F(port, 1, buffer, 4, &count), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(h->Records().empty());
    EXPECT_EQ(ChipWriteXonXoff(port, 0x11, 0x13), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Register(5), 0x1311);
    EXPECT_EQ(ChipWriteRegister8Or9(port, 0x0100), STATUS_SUCCESS);
    EXPECT_EQ(h->ChipSetups().back().wValue, 0x0808) << "only the low byte chooses 9";

    Plug(3);
    EXPECT_EQ(ChipWriteRegister0C(port, 0x1234), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().Register(0x0C), 0x1234);
}

TEST_F(ChipTransferTest, MembersStayWithinTheCallersBuffer) {
    sim::BridgeChipOptions options;
    options.registerPowerOnValues = {{7, 0x0000}, {0x0E, 0x00C3}};
    Plug(3, options);
    UCHAR buffer[18];
    ULONG returned = 99;
    EXPECT_EQ(ChipGetDeviceDescriptor(port, buffer, 17, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ChipReadRegister06(port, buffer, 1, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ChipVendorRead(port, 0x8686, buffer, 0, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ChipGetStringDescriptor(port, buffer, 0, &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ChipReadRegister0C(port, nullptr, 2, &returned), STATUS_NO_MEMORY);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(h->Records().empty());

    EXPECT_EQ(ChipGetDeviceDescriptor(port, buffer, sizeof buffer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 18u);
    EXPECT_EQ(0, memcmp(buffer, h->usb().DeviceDescriptor().data(), 18));
    EXPECT_EQ(ChipReadRegister07(port, buffer, 2, &returned), STATUS_NO_MEMORY)
        << "a zero first byte means no chip, although the transfer succeeded";

    // Registers 0E and 0F answer the caller's whole length, zero-filled past the byte.
    UCHAR reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ULONG count = 0;
    EXPECT_EQ(ChipReadRegister0E(port, reply, sizeof reply, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(reply[0], 0xC3);
    EXPECT_EQ(reply[1] | reply[2] | reply[3], 0);
    h->usb().StallNext({});
    EXPECT_FALSE(NT_SUCCESS(ChipWriteRegister0F(port, 5, reply, sizeof reply, &count)));
    EXPECT_EQ(count, 0u);
}

TEST_F(ChipTransferTest, PipeMembersUseInterfaceZerosPipesByPosition) {
    Plug(2);
    EXPECT_EQ(ChipWriteSecondPipe(port, "ok", 2), STATUS_SUCCESS);
    EXPECT_EQ(h->chip().TakeTransmitted(), (std::vector<uint8_t>{'o', 'k'}));
    h->chip().InjectReceived({'r'});
    UCHAR buffer[64];
    ULONG returned = 0;
    EXPECT_EQ(ChipReadThirdPipe(port, buffer, sizeof buffer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(buffer[0], 'r');

    Plug(0);
    EXPECT_EQ(ChipWriteSecondPipe(port, "no", 2), STATUS_INVALID_DEVICE_STATE)
        << "interface 0 of a two-interface device has one pipe";
    EXPECT_TRUE(h->Records().empty());
}

// A bus that reports more bytes moved than the buffer it was given held: the
// count a member answers (which the vendor controls answer as Information, and
// the I/O manager copies that many bytes back) never goes past that buffer.
TEST_F(SimTest, MembersNeverCountMoreBytesThanTheBufferTheyGave) {
    simtest::ScriptedLowerPort s;
    s.OnLower(IRP_MJ_INTERNAL_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
        auto* urb =
            static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        // Both request records keep the buffer and its length at the same places.
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
        static_cast<PUCHAR>(r.TransferBuffer)[0] = 0x5A;
        r.TransferBufferLength = 255;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return simtest::CompleteBelow(irp, STATUS_SUCCESS);
    });
    PortExtension* port = s.port();
    UCHAR buffer[8] = {};
    ULONG returned = 0;
    EXPECT_EQ(ChipVendorRead(port, 0x8686, buffer, sizeof buffer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 1u) << "one byte was asked for";
    EXPECT_EQ(buffer[0], 0x5A);
    buffer[0] = 2;  // string index
    EXPECT_EQ(ChipGetStringDescriptor(port, buffer, 4, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(ChipReadRegister06(port, buffer, sizeof buffer, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 2u);
}

}  // namespace
