// A small USB device function for the bus's own tests, and a client "driver"
// above the bus's PDO that hands URBs down. The function's descriptors are
// built from a short description; its endpoints answer from queues the test
// fills, and every call the bus makes is logged.
#pragma once

#include "tests/support/sim_fixture.h"

#include <sim/usb_bus.h>
#include <simnt/usbdlib.h>
#include <simnt/usbioctl.h>

#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace usbtest {

struct EndpointLayout {
    uint8_t address;
    uint8_t type;  // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket;
    uint8_t interval = 0;
};

struct InterfaceLayout {
    uint8_t number;
    uint8_t alternate;
    uint8_t cls, subClass, protocol;
    std::vector<EndpointLayout> endpoints;
};

struct DeviceLayout {
    uint8_t deviceClass = 0xFF;
    uint8_t maxPacket0 = 64;
    uint16_t vendor = 0xFFF1;
    uint16_t product = 0x0201;
    uint16_t release = 0x0300;
    uint8_t configurationValue = 1;
    std::u16string serial;  // empty: no serial number string
    std::vector<InterfaceLayout> interfaces;
};

// One interface with an interrupt IN, a bulk OUT and a bulk IN endpoint.
inline DeviceLayout OneInterfaceDevice() {
    DeviceLayout d;
    d.interfaces = {{0,
                     0,
                     0xFF,
                     0xFF,
                     0xFF,
                     {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                      {0x02, USB_ENDPOINT_TYPE_BULK, 64},
                      {0x83, USB_ENDPOINT_TYPE_BULK, 64}}}};
    return d;
}

inline std::vector<uint8_t> DeviceDescriptorBytes(const DeviceLayout& d) {
    return {18,
            USB_DEVICE_DESCRIPTOR_TYPE,
            0x10,
            0x01,
            d.deviceClass,
            0,
            0,
            d.maxPacket0,
            static_cast<uint8_t>(d.vendor),
            static_cast<uint8_t>(d.vendor >> 8),
            static_cast<uint8_t>(d.product),
            static_cast<uint8_t>(d.product >> 8),
            static_cast<uint8_t>(d.release),
            static_cast<uint8_t>(d.release >> 8),
            0,
            0,
            static_cast<uint8_t>(d.serial.empty() ? 0 : 3),
            1};
}

// The configuration descriptor, with a class-specific descriptor after each
// interface so that walkers must step by bLength.
inline std::vector<uint8_t> ConfigurationDescriptorBytes(const DeviceLayout& d) {
    std::vector<uint8_t> c = {
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, d.configurationValue, 0, 0xA0, 50};
    uint8_t interfaces = 0;
    for (const auto& i : d.interfaces) {
        if (i.alternate == 0)
            ++interfaces;
        c.insert(c.end(),
                 {9, USB_INTERFACE_DESCRIPTOR_TYPE, i.number, i.alternate,
                  static_cast<uint8_t>(i.endpoints.size()), i.cls, i.subClass, i.protocol, 0});
        c.insert(c.end(), {5, 0x24, 0x00, 0x10, 0x01});
        for (const auto& e : i.endpoints) {
            c.insert(c.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.type,
                               static_cast<uint8_t>(e.maxPacket),
                               static_cast<uint8_t>(e.maxPacket >> 8), e.interval});
        }
    }
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    c[4] = interfaces;
    return c;
}

class FakeFunction : public sim::UsbFunction {
  public:
    explicit FakeFunction(DeviceLayout layout = OneInterfaceDevice())
        : layout_(std::move(layout)),
          device_(DeviceDescriptorBytes(layout_)),
          configuration_(ConfigurationDescriptorBytes(layout_)) {}

    struct ControlCall {
        sim::SetupPacket setup;
        std::vector<uint8_t> data;  // OUT: what the host sent
    };

    // Control transfers the bus made, standard ones included.
    std::vector<ControlCall> controls;
    // Answer to the next vendor or class IN request; the default answers none.
    std::vector<uint8_t> vendorReply;
    sim::Handshake vendorHandshake = sim::Handshake::Ack;
    uint8_t configuration = 0;
    int resets = 0;
    std::map<uint8_t, int> inCalls, outCalls;
    std::map<uint8_t, std::vector<uint8_t>> received;
    // Bytes an OUT endpoint still takes (absent: unlimited). A packet that does
    // not fit whole is NAKed and nothing of it is kept, as a device does.
    std::map<uint8_t, size_t> outRoom;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> packets;

    sim::Handshake Control(const sim::SetupPacket& s, std::vector<uint8_t>& data) override {
        controls.push_back({s, (s.bmRequestType & 0x80) ? std::vector<uint8_t>{} : data});
        if ((s.bmRequestType & 0x60) != 0) {
            if (vendorHandshake != sim::Handshake::Ack)
                return vendorHandshake;
            if (s.bmRequestType & 0x80) {
                data = vendorReply;
                if (data.size() > s.wLength)
                    data.resize(s.wLength);
            }
            return sim::Handshake::Ack;
        }
        switch (s.bRequest) {
            case USB_REQUEST_GET_DESCRIPTOR: {
                const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
                if (type == USB_DEVICE_DESCRIPTOR_TYPE) {
                    data = device_;
                } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
                    data = configuration_;
                } else if (type == USB_STRING_DESCRIPTOR_TYPE && !layout_.serial.empty()) {
                    data = {static_cast<uint8_t>(2 + 2 * layout_.serial.size()),
                            USB_STRING_DESCRIPTOR_TYPE};
                    for (char16_t ch : layout_.serial)
                        data.insert(data.end(), {uint8_t(ch), uint8_t(ch >> 8)});
                } else {
                    return sim::Handshake::Stall;
                }
                if (data.size() > s.wLength)
                    data.resize(s.wLength);
                return sim::Handshake::Ack;
            }
            case USB_REQUEST_SET_CONFIGURATION:
                if (s.wValue != 0 && s.wValue != layout_.configurationValue)
                    return sim::Handshake::Stall;
                configuration = static_cast<uint8_t>(s.wValue);
                return sim::Handshake::Ack;
            default:
                return sim::Handshake::Ack;
        }
    }

    sim::Handshake Out(uint8_t ep, const uint8_t* data, size_t length) override {
        ++outCalls[ep];
        auto room = outRoom.find(ep);
        if (room != outRoom.end()) {
            if (room->second < length)
                return sim::Handshake::Nak;
            room->second -= length;
        }
        if (length)
            received[ep].insert(received[ep].end(), data, data + length);
        return sim::Handshake::Ack;
    }

    sim::Handshake In(uint8_t ep, uint8_t* buffer, size_t capacity, size_t* produced) override {
        ++inCalls[ep];
        auto& q = packets[ep];
        if (q.empty()) {
            *produced = 0;
            return sim::Handshake::Nak;
        }
        std::vector<uint8_t> p = std::move(q.front());
        q.pop_front();
        // A real device sends its packet whole; the bus must notice one that
        // does not fit, so nothing is cut here beyond the packet buffer's size.
        *produced = p.size();
        std::copy(p.begin(), p.begin() + static_cast<long>(std::min(p.size(), capacity)), buffer);
        return sim::Handshake::Ack;
    }

    void BusReset() override {
        ++resets;
        configuration = 0;
    }
    void Suspend() override { ++suspends; }
    void Resume() override { ++resumes; }
    int suspends = 0;
    int resumes = 0;

    // Queues one packet on an IN endpoint and tells the bus.
    void Send(uint8_t ep, std::vector<uint8_t> packet) {
        packets[ep].push_back(std::move(packet));
        EndpointReady(ep);
    }
    void Ready(uint8_t ep) { EndpointReady(ep); }

    const DeviceLayout& layout() const { return layout_; }

  private:
    DeviceLayout layout_;
    std::vector<uint8_t> device_;
    std::vector<uint8_t> configuration_;
};

// A minimal client driver: a device object attached above the PDO that passes
// internal device controls down unchanged.
struct ClientDriver {
    explicit ClientDriver(PDEVICE_OBJECT pdo) : pdo(pdo) {
        sim::SetSimDispatch(driver, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                            [pdo](PDEVICE_OBJECT, PIRP irp) {
                                IoSkipCurrentIrpStackLocation(irp);
                                return IoCallDriver(pdo, irp);
                            });
        IoAttachDeviceToDeviceStack(device, pdo);
    }
    ~ClientDriver() {
        IoDetachDevice(pdo);
        sim::DeleteSimDevice(device);
    }
    ClientDriver(const ClientDriver&) = delete;
    ClientDriver& operator=(const ClientDriver&) = delete;

    sim::IrpHandle Submit(void* urb) {
        sim::IrpSetup request;
        request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        request.parameters = [urb](IO_STACK_LOCATION& sp) {
            sp.Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            sp.Parameters.Others.Argument1 = urb;
        };
        return sim::SendIrp(device, request);
    }

    PDEVICE_OBJECT pdo;
    sim::SimDriver* driver = sim::CreateSimDriver("usb client");
    PDEVICE_OBJECT device = sim::CreateSimDevice(driver, u"", 0);
};

// URBs as a client builds them.
inline URB VendorRequest(USHORT function, bool in, uint8_t request, uint16_t value, uint16_t index,
                         void* buffer, ULONG length) {
    URB u{};
    UsbBuildVendorRequest(&u, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, buffer,
                          nullptr, length, nullptr);
    return u;
}

inline URB DescriptorRequest(uint8_t type, uint8_t index, uint16_t language, void* buffer,
                             ULONG length) {
    URB u{};
    UsbBuildGetDescriptorRequest(&u, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 language, buffer, nullptr, length, nullptr);
    return u;
}

inline URB DataTransfer(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
    URB u{};
    UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           buffer, nullptr, length, flags, nullptr);
    return u;
}

// The fixture: a fake function plugged in, with a client above its PDO.
class UsbTest : public simtest::SimTest {
  protected:
    // These tests time the bus's frames; completions inside IoCallDriver have
    // tests of their own.
    UsbTest() { sim_.SetInlineCompletions(sim::Simulation::InlineCompletions::Never); }

    void Plug(DeviceLayout layout = OneInterfaceDevice(), sim::UsbDeviceConfig config = {}) {
        function = std::make_shared<FakeFunction>(std::move(layout));
        device = sim::PlugUsbDevice(function, config);
        client = std::make_unique<ClientDriver>(device->Pdo());
    }

    bool RunUntilDone(const sim::IrpHandle& r, sim::Ticks limit = sim::kSecond) {
        return sim_.RunUntil([&] { return r->completed; }, limit);
    }

    // Selects the configuration with every interface in its default setting
    // and answers the interface records (in interface order).
    std::vector<USBD_INTERFACE_INFORMATION*> Configure() {
        configuration = device->ConfigurationDescriptor();
        auto* cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (PVOID at = cfg;;) {
            PUSB_INTERFACE_DESCRIPTOR d =
                USBD_ParseConfigurationDescriptorEx(cfg, at, -1, 0, -1, -1, -1);
            if (!d)
                break;
            list.push_back({d, nullptr});
            at = reinterpret_cast<uint8_t*>(d) + d->bLength;
        }
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(cfg, list.data());
        EXPECT_NE(urb, nullptr);
        selection.assign(reinterpret_cast<uint8_t*>(urb),
                         reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length);
        ExFreePool(urb);
        auto r = client->Submit(selection.data());
        EXPECT_TRUE(RunUntilDone(r));
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        std::vector<USBD_INTERFACE_INFORMATION*> infos;
        size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        while (offset < selection.size()) {
            auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(selection.data() + offset);
            infos.push_back(info);
            offset += info->Length;
        }
        return infos;
    }

    // The pipe of `address` in the configuration selected last.
    USBD_PIPE_HANDLE Pipe(uint8_t address) {
        size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        while (offset < selection.size()) {
            auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(selection.data() + offset);
            for (ULONG i = 0; i < info->NumberOfPipes; ++i)
                if (info->Pipes[i].EndpointAddress == address)
                    return info->Pipes[i].PipeHandle;
            offset += info->Length;
        }
        ADD_FAILURE() << "no pipe for endpoint " << int(address);
        return nullptr;
    }

    std::shared_ptr<FakeFunction> function;
    std::unique_ptr<sim::UsbDevice> device;
    std::unique_ptr<ClientDriver> client;
    std::vector<uint8_t> configuration;
    std::vector<uint8_t> selection;
};

}  // namespace usbtest
