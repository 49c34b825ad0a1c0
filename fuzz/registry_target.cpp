// Registry values the driver reads: the service's ExtBaudrate (any type, any
// bytes: unterminated, odd-sized, long, not text at all) when it loads, and the
// device key's PortName, Identifier, SerialSkipExternalNaming and
// MultiportDevice when a port starts. Then rates are set through the port (the
// ExtBaudrate list is what they are matched against), and the port is removed
// and the driver unloaded: whatever it allocated for the values must be gone.
#include "fuzz/fuzz_session.h"

#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/registry.h>

namespace fuzz {

namespace {

// A value of the type and bytes the input gives, mostly a string: REG_SZ text
// with or without its terminator, or raw bytes of another type.
void SetValue(Input& in, const std::u16string& key, const std::u16string& name) {
    const uint8_t how = in.Byte();
    if (how % 4 == 0) return;  // no value at all
    static const ULONG kTypes[] = {REG_SZ, REG_SZ, REG_SZ, REG_EXPAND_SZ,
                                   REG_MULTI_SZ, REG_DWORD, REG_BINARY, REG_NONE};
    const ULONG type = kTypes[(how >> 2) % 8];
    const size_t length = how & 0x80 ? in.Word() % 1024 : in.Byte() % 96;
    std::vector<uint8_t> bytes = in.Bytes(length);
    if (how & 0x20) {
        // Text the input spells in narrow characters, widened (the usual shape).
        std::vector<uint8_t> wide;
        for (uint8_t b : bytes) {
            wide.push_back(b);
            wide.push_back(0);
        }
        if (how & 0x40) wide.insert(wide.end(), {0, 0});
        bytes = std::move(wide);
    }
    sim::SetRegistryValue(key, name, type, std::move(bytes));
}

}  // namespace

int RunRegistry(const uint8_t* data, size_t size) {
    Input in(data, size);
    sim::Simulation sim;
    {
        const std::u16string service = sim::ServiceKeyPath(u"vodrek");
        sim::CreateRegistryKey(service);
        SetValue(in, service, u"ExtBaudrate");
        sim::Workbench bench;
        sim::AdapterOptions options;
        options.variant = in.Byte() % sim::BridgeChip::kVariantCount;
        options.portName.reset();
        options.multiportDevice.reset();
        sim::Adapter& adapter = bench.AddAdapter(options);
        adapter.Capture().SetKeepRecords(false);
        const std::u16string& key = adapter.DeviceKeyPath();
        SetValue(in, key, u"PortName");
        SetValue(in, key, u"Identifier");
        SetValue(in, key, u"SerialSkipExternalNaming");
        SetValue(in, key, u"MultiportDevice");
        if (!bench.DriverLoaded()) return 0;  // the driver may refuse to load; nothing is left then
        if (NT_SUCCESS(adapter.Plug())) {
            // The port by its device interface: its COM name may be anything.
            sim::File file;
            for (const sim::DeviceInterfaceRecord& record : sim::DeviceInterfaces()) {
                if (record.pdo != adapter.Pdo() || !record.enabled) continue;
                NTSTATUS status;
                file = sim::File::Open(record.symbolicLink, &status, sim::OverlappedOpen());
                if (file.IsOpen()) break;
            }
            Requests requests;
            while (file.IsOpen() && !in.Empty()) {
                SERIAL_BAUD_RATE rate{in.Dword()};
                requests.Add(file.DeviceIoControl(IOCTL_SERIAL_SET_BAUD_RATE, sim::Bytes(rate)));
                requests.Add(file.DeviceIoControl(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(rate)));
                sim.RunUntilIdle();
            }
            if (file.IsOpen()) {
                requests.Add(file.DeviceIoControl(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP)));
                requests.ExpectAllComplete(sim, 10 * sim::kSecond, "before the handle closed");
                file.Close();
            }
        }
        sim.RunFor(10 * sim::kMillisecond);
        if (adapter.Present() && !NT_SUCCESS(adapter.Remove())) Finding("the removal failed");
    }
    return 0;
}

}  // namespace fuzz
