// What the device answers: descriptors with any length, count or interface and
// endpoint record changed; status packets of any length and content on the
// interrupt pipe; any bytes on the bulk-in pipe; and requests that stall, fail,
// never complete (until cancelled) or answer short, through the bus's fault
// injection. Each input is a fresh machine: the driver loaded, the adapter
// plugged (its start may fail), the port opened and used, closed and removed;
// the machine's end checks that nothing of the driver's is left.
#include "fuzz/fuzz_session.h"

#include <deque>

#include <sim/bridge_chip.h>
#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/registry.h>
#include <sim/serial_wires.h>
#include <sim/usb_bus.h>

namespace fuzz {

namespace {

// A byte changed in one kind of descriptor, or its length cut or grown.
struct DescriptorEdit {
    uint8_t type;  // 1 device, 2 configuration, 3 string
    enum { Set, Cut, Grow } kind;
    uint16_t offset;
    uint8_t value;
};

// The bridge chip with the answers an input chooses in front of it.
class FuzzedDevice : public sim::UsbFunction {
  public:
    explicit FuzzedDevice(std::shared_ptr<sim::BridgeChip> chip) : chip_(std::move(chip)) {
        chip_->SetReadyListener([this](uint8_t endpoint) { EndpointReady(endpoint); });
        chip_->SetWakeListener([this] { SignalRemoteWakeup(); });
    }
    std::vector<DescriptorEdit> edits;

    sim::Handshake Control(const sim::SetupPacket& setup, std::vector<uint8_t>& data) override {
        sim::Handshake answer = chip_->Control(setup, data);
        if (answer != sim::Handshake::Ack || setup.bmRequestType != 0x80 || setup.bRequest != 6)
            return answer;
        const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
        for (const DescriptorEdit& e : edits) {
            if (e.type != type) continue;
            switch (e.kind) {
            case DescriptorEdit::Set:
                if (e.offset < data.size()) data[e.offset] = e.value;
                break;
            case DescriptorEdit::Cut:
                if (e.offset < data.size()) data.resize(e.offset);
                break;
            case DescriptorEdit::Grow:
                data.resize(data.size() + e.offset % 64, e.value);
                break;
            }
        }
        if (data.size() > setup.wLength) data.resize(setup.wLength);
        return answer;
    }
    sim::Handshake Out(uint8_t endpoint, const uint8_t* data, size_t length) override {
        return chip_->Out(endpoint, data, length);
    }
    sim::Handshake In(uint8_t endpoint, uint8_t* buffer, size_t capacity, size_t* produced) override {
        if (endpoint == chip_->StatusEndpoint() && !status_.empty()) {
            std::vector<uint8_t> packet = std::move(status_.front());
            status_.pop_front();
            size_t n = packet.size() < capacity ? packet.size() : capacity;
            std::copy(packet.begin(), packet.begin() + static_cast<long>(n), buffer);
            *produced = n;
            return sim::Handshake::Ack;
        }
        return chip_->In(endpoint, buffer, capacity, produced);
    }
    void BusReset() override { chip_->BusReset(); }
    void Suspend() override { chip_->Suspend(); }
    void Resume() override { chip_->Resume(); }

    // A status packet of any length and content, next on the interrupt pipe.
    void QueueStatus(std::vector<uint8_t> packet) {
        status_.push_back(std::move(packet));
        if (chip_->StatusEndpoint()) EndpointReady(chip_->StatusEndpoint());
    }

  private:
    std::shared_ptr<sim::BridgeChip> chip_;
    std::deque<std::vector<uint8_t>> status_;
};

// A fault on the next matching request: a control request by its bRequest, or a
// transfer on one of the data endpoints.
void InjectFault(Input& in, sim::UsbDevice& usb, const sim::BridgeChip& chip) {
    sim::UrbMatch match;
    const uint8_t which = in.Byte();
    switch (which % 4) {
    case 0: match.request = in.Byte(); break;
    case 1: match.endpoint = chip.StatusEndpoint(); break;
    case 2: match.endpoint = chip.BulkInEndpoint(); break;
    case 3: match.endpoint = chip.BulkOutEndpoint(); break;
    }
    sim::UrbFault fault;
    const uint8_t kind = in.Byte();
    static const USBD_STATUS kStatuses[] = {USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_STALL_PID,
                                            USBD_STATUS_CANCELED, sim::kUsbdStatusDataUnderrun,
                                            USBD_STATUS_DEVICE_GONE};
    switch (kind % 5) {
    case 0:
        fault.kind = sim::UrbFault::Kind::Fail;
        fault.status = kStatuses[(kind >> 3) % 5];
        break;
    case 1: fault.kind = sim::UrbFault::Kind::Stall; break;
    case 2: fault.kind = sim::UrbFault::Kind::NeverComplete; break;
    case 3:
        fault.kind = sim::UrbFault::Kind::Delay;
        fault.delay = static_cast<sim::Ticks>(in.Byte()) * 10 * sim::kMillisecond;
        break;
    case 4:
        fault.kind = sim::UrbFault::Kind::Truncate;
        fault.truncateTo = in.Byte() % 16;
        break;
    }
    fault.times = 1 + in.Byte() % 3;
    usb.InjectFault(std::move(match), fault);
}

}  // namespace

int RunDevice(const uint8_t* data, size_t size) {
    Input in(data, size);
    sim::Simulation sim;
    {
        sim::Workbench bench;
        const uint8_t header = in.Byte();
        auto chip = std::make_shared<sim::BridgeChip>(header % sim::BridgeChip::kVariantCount);
        auto device = std::make_shared<FuzzedDevice>(chip);
        for (int i = 0, n = in.Byte() % 8; i < n; ++i) {
            DescriptorEdit e;
            const uint8_t t = in.Byte();
            e.type = static_cast<uint8_t>(1 + t % 3);
            e.kind = static_cast<decltype(e.kind)>((t >> 2) % 3);
            e.offset = in.Byte();
            e.value = in.Byte();
            device->edits.push_back(e);
        }
        sim::UsbDeviceConfig config;
        config.instanceId = u"6&1F0&0&1";
        std::unique_ptr<sim::UsbDevice> usb = sim::PlugUsbDevice(device, config);
        usb->Capture().SetKeepRecords(false);
        sim::CreateRegistryKey(usb->DeviceKeyPath());
        sim::SetRegistryString(usb->DeviceKeyPath(), u"PortName", u"COM3");
        // Faults met while the port starts.
        for (int i = 0, n = (header >> 3) % 4; i < n; ++i) InjectFault(in, *usb, *chip);
        sim::LoopbackPlug plug(*chip);
        NTSTATUS started = sim::PlugDevice(bench.Driver(), usb->Pdo());
        Requests requests;
        sim::File file;
        if (NT_SUCCESS(started)) {
            NTSTATUS status;
            file = sim::File::Open(u"\\\\.\\COM3", &status, sim::OverlappedOpen());
        }
        for (int step = 0; step < 32 && !in.Empty(); ++step) {
            const uint8_t op = in.Byte();
            switch (op % 8) {
            case 0:
            case 1: {  // a status packet of any length
                std::vector<uint8_t> packet = in.Bytes(in.Byte() % 24);
                device->QueueStatus(std::move(packet));
                break;
            }
            case 2:  // bytes on the line
                chip->InjectReceived(in.Bytes(in.Byte() % 128));
                break;
            case 3:
                InjectFault(in, *usb, *chip);
                break;
            case 4:
                if (file.IsOpen()) requests.Add(file.Read(in.Byte()));
                break;
            case 5:
                if (file.IsOpen()) requests.Add(file.Write(Contents(in, in.Byte())));
                break;
            case 6:  // a control that goes to the chip
                AnyControl(in, file, requests);
                break;
            case 7:
                sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * sim::kMillisecond);
                break;
            }
            sim.RunUntilIdle();
        }
        sim.RunFor(static_cast<sim::Ticks>(in.Byte()) * sim::kMillisecond);
        if (file.IsOpen()) {
            file.CancelIoEx();
            file.Close();
        }
        requests.ExpectAllComplete(sim, 10 * sim::kSecond, "after its handle closed");
        // Requests the bus holds on to (never completed) end with the removal.
        if (sim::FunctionDevice(usb->Pdo())) {
            NTSTATUS removed = sim::RemoveDevice(usb->Pdo());
            if (!NT_SUCCESS(removed)) Finding("the removal failed: " + std::to_string(removed));
        }
        sim.RunFor(sim::kSecond);
        usb.reset();
    }
    return 0;
}

}  // namespace fuzz
