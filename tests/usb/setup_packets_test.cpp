// Every control transfer the driver makes of the chip, as the bus put it on the
// wire: request type, request, value, index and length of each setup packet, and
// the data stage where one is sent. One table, one row per operation.
#include "tests/support/usb_port_harness.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "control/control.h"

namespace {

struct Packet {
    uint8_t type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

std::string Text(const Packet& s) {
    char text[48];
    std::snprintf(text, sizeof text, "%02X %02X %04X %04X %u", s.type, s.request, s.value, s.index,
                  s.length);
    return text;
}

std::vector<std::string> Texts(const std::vector<Packet>& setups) {
    std::vector<std::string> out;
    for (const Packet& s : setups)
        out.push_back(Text(s));
    return out;
}

struct Operation {
    const char* name;
    std::function<void(PortExtension*)> run;
    std::vector<Packet> wire;
    // The data stage of the last request, for those that send one.
    std::vector<uint8_t> sent = {};
};

class SetupPacketTest : public simtest::ConfiguredPortTest {};

TEST_F(SetupPacketTest, EveryChipOperationSendsItsOwnSetupPacket) {
    constexpr Packet kBusy = {0xC0, 0x01, 0x8484, 0x0000, 1};
    UCHAR buffer[64];
    ULONG count = 0;
    const std::vector<Operation> operations = {
        // Descriptors: the standard GET_DESCRIPTOR request.
        {"device descriptor",
         [&](PortExtension* p) { ChipGetDeviceDescriptor(p, buffer, sizeof buffer, &count); },
         {{0x80, 0x06, 0x0100, 0x0000, 18}}},
        {"configuration descriptor",
         [&](PortExtension* p) { ChipGetConfigDescriptor(p, buffer, 9, &count); },
         {{0x80, 0x06, 0x0200, 0x0000, 9}}},
        {"string descriptor",
         [&](PortExtension* p) {
             buffer[0] = 2;
             ChipGetStringDescriptor(p, buffer, 40, &count);
         },
         {{0x80, 0x06, 0x0302, 0x0409, 40}}},

        // The raw vendor requests of the configuration tools.
        {"vendor write",
         [](PortExtension* p) { ChipVendorWrite(p, 0x1234, 0x5678); },
         {{0x40, 0x01, 0x1234, 0x5678, 0}}},
        {"vendor read",
         [&](PortExtension* p) { ChipVendorRead(p, 0x8686, buffer, 4, &count); },
         {{0xC0, 0x01, 0x8686, 0x0000, 1}}},
        {"class control line state",
         [](PortExtension* p) { ChipSetControlLineState(p, 0x0003); },
         {{0x21, 0x22, 0x0003, 0x0000, 0}}},

        // Configuration memory: each byte behind a busy poll.
        {"configuration memory busy", [](PortExtension* p) { ChipConfigMemoryBusy(p); }, {kBusy}},
        {"configuration memory write",
         [](PortExtension* p) {
             const UCHAR input[] = {0x10, 0xAB};
             ChipWriteConfigMemory(p, input, sizeof input);
         },
         {kBusy, {0x40, 0x01, 0x0303, 0xAB10, 0}}},
        {"configuration memory read",
         [&](PortExtension* p) { ChipReadConfigMemory(p, 0x0102, buffer, 1, &count); },
         {kBusy, {0x40, 0x01, 0x0404, 0x0102, 0}, kBusy, {0xC0, 0x01, 0x8383, 0x0000, 1}}},

        // The register family.
        {"XON and XOFF characters",
         [](PortExtension* p) { ChipWriteXonXoff(p, 0x11, 0x13); },
         {{0x40, 0x01, 0x0505, 0x1311, 0}}},
        {"register 9",
         [](PortExtension* p) { ChipWriteRegister8Or9(p, 1); },
         {{0x40, 0x01, 0x0909, 0x0000, 0}}},
        {"register 8",
         [](PortExtension* p) { ChipWriteRegister8Or9(p, 0); },
         {{0x40, 0x01, 0x0808, 0x0000, 0}}},
        {"register 0B",
         [](PortExtension* p) { ChipWriteRegister0B(p, 0x1F2); },
         {{0x40, 0x01, 0x0B0B, 0x00F2, 0}}},
        {"write register 06",
         [](PortExtension* p) { ChipWriteRegister06(p, 0xBEEF); },
         {{0x40, 0x01, 0x0606, 0xBEEF, 0}}},
        {"read register 06",
         [&](PortExtension* p) { ChipReadRegister06(p, buffer, sizeof buffer, &count); },
         {{0xC0, 0x01, 0x8686, 0x0000, 2}}},
        {"check register 06",
         [](PortExtension* p) { ChipCheckRegister06(p); },
         {{0xC0, 0x01, 0x8686, 0x0000, 2}}},
        {"write register 07",
         [](PortExtension* p) { ChipWriteRegister07(p, 0x0102); },
         {{0x40, 0x01, 0x0707, 0x0102, 0}}},
        {"read register 07",
         [&](PortExtension* p) { ChipReadRegister07(p, buffer, sizeof buffer, &count); },
         {{0xC0, 0x01, 0x8787, 0x0000, 2}}},
        {"write register 0C",
         [](PortExtension* p) { ChipWriteRegister0C(p, 0x0C01); },
         {{0x40, 0x01, 0x0C0C, 0x0C01, 0}}},
        {"read register 0C",
         [&](PortExtension* p) { ChipReadRegister0C(p, buffer, sizeof buffer, &count); },
         {{0xC0, 0x01, 0x8C8C, 0x0000, 2}}},
        {"write register 0D",
         [](PortExtension* p) { ChipWriteRegister0D(p, 0x0D01); },
         {{0x40, 0x01, 0x0D0D, 0x0D01, 0}}},
        {"read register 0D",
         [&](PortExtension* p) { ChipReadRegister0D(p, buffer, sizeof buffer, &count); },
         {{0xC0, 0x01, 0x8D8D, 0x0000, 2}}},
        {"read register 0E",
         [&](PortExtension* p) { ChipReadRegister0E(p, buffer, 4, &count); },
         {{0xC0, 0x01, 0x8E8E, 0x0000, 1}}},
        {"write register 0E",
         [&](PortExtension* p) { ChipWriteRegister0E(p, 0x0E55, buffer, 4, &count); },
         {{0x40, 0x01, 0x0E0E, 0x0E55, 0}}},
        {"read register 0F",
         [&](PortExtension* p) { ChipReadRegister0F(p, buffer, 4, &count); },
         {{0xC0, 0x01, 0x8F8F, 0x0000, 1}}},
        {"write register 0F",
         [&](PortExtension* p) { ChipWriteRegister0F(p, 0x0F55, buffer, 4, &count); },
         {{0x40, 0x01, 0x0F0F, 0x0F55, 0}}},

        // The setup requests behind the port settings.
        {"line coding from the framing",
         [](PortExtension* p) {
             p->LineCoding.Rate = 0x800004D0;
             p->LineControl = 0x1B;
             SetLineControl(p);
         },
         {{0x21, 0x20, 0x0000, 0x0000, 7}},
         {0xD0, 0x04, 0x00, 0x80, 0, 2, 8}},
        {"line coding from the rate",
         [](PortExtension* p) {
             p->CurrentBaud = 0;
             p->LineCoding.StopBits = 2;
             p->LineCoding.Parity = 1;
             p->LineCoding.DataBits = 6;
             SetBaudRate(p, 921600);
         },
         {{0x21, 0x20, 0x0000, 0x0000, 7}},
         {0x68, 0x02, 0x00, 0x80, 2, 1, 6}},
        {"raise DTR",
         [](PortExtension* p) {
             p->ControlLineState = 0x0002;
             SetDtr(p);
         },
         {{0x21, 0x22, 0x0003, 0x0000, 0}}},
        {"lower RTS",
         [](PortExtension* p) {
             p->ControlLineState = 0x0003;
             ClearRts(p);
         },
         {{0x21, 0x22, 0x0001, 0x0000, 0}}},
        {"break on",
         [](PortExtension* p) { SetBreak(p, true); },
         {{0x21, 0x23, 0xFFFF, 0x0000, 0}}},
        {"break off",
         [](PortExtension* p) { SetBreak(p, false); },
         {{0x21, 0x23, 0x0000, 0x0000, 0}}},
        {"comm feature",
         [](PortExtension* p) {
             const USHORT value = 0x1234;
             SetCommFeature(p, &value);
         },
         {{0x21, 0x02, 0x0001, 0x0000, 2}},
         {0x34, 0x12}},
        {"register read through the shadow",
         [](PortExtension* p) { ReadRegister(p, 1); },
         {{0xC0, 0x01, 0x8181, 0x0000, 1}}},
        {"register write from the shadow",
         [](PortExtension* p) {
             p->ChipRegisterShadow[2] = 0x44;
             WriteRegister(p, 2);
         },
         {{0x40, 0x01, 0x0202, 0x0044, 0}}},
        // All settings at once on a chip not detected yet: the remote wake-up
        // feature, then the line coding.
        // A start's settings on a chip not yet identified: remote wake-up, the line
        // coding, then the handshake of the default handflow (the CTS hand-off
        // taken back from register 0, DTR and RTS raised).
        {"remote wake-up",
         [](PortExtension* p) {
             const LONG type = p->ChipType;
             p->ChipType = -1;
             ApplyAllSettings(p);
             p->ChipType = type;
         },
         {{0x00, 0x03, 0x0001, 0x0000, 0},
          {0x21, 0x20, 0x0000, 0x0000, 7},
          {0xC0, 0x01, 0x8080, 0x0000, 1},
          {0x40, 0x01, 0x0000, 0x0001, 0},
          {0x21, 0x22, 0x0001, 0x0000, 0},
          {0x21, 0x22, 0x0003, 0x0000, 0}}},
        {"start-up write",
         [](PortExtension* p) { ChipWriteRegister0B(p, 0x02); },
         {{0x40, 0x01, 0x0B0B, 0x0002, 0}}},
    };

    // Type 4 passes every gate.
    Plug(4);
    for (const Operation& op : operations) {
        SCOPED_TRACE(op.name);
        h->ClearRecords();
        op.run(port);
        std::vector<Packet> seen;
        const sim::UrbRecord* last = nullptr;
        for (const sim::UrbRecord& r : h->Records()) {
            if (!r.hasSetup)
                continue;
            seen.push_back({r.setup.bmRequestType, r.setup.bRequest, r.setup.wValue, r.setup.wIndex,
                            r.setup.wLength});
            last = &r;
        }
        EXPECT_EQ(Texts(seen), Texts(op.wire));
        if (!op.sent.empty() && last) {
            EXPECT_EQ(last->data, op.sent);
        }
    }
}

}  // namespace
