// vodrek-sim probe: plug one simulated adapter, let the driver start it, and
// show what a driver engineer wants to see of the port it became.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>

#include <sim/pnp.h>
#include <sim/pool.h>
#include <sim/registry.h>
#include <sim/workbench/workbench.h>

#include "cli.h"
#include "probe.h"
#include "usb/usb.h"

namespace cli {

namespace {

constexpr char16_t kSerialComm[] = u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

std::string Text(const UNICODE_STRING& s) {
    return s.Buffer ? Narrow(std::u16string(s.Buffer, s.Length / sizeof(WCHAR))) : std::string();
}

const char* PnpStateName(ULONG state) {
    switch (state) {
        case NeverStarted: return "NeverStarted";
        case Started: return "Started";
        case StopPending: return "StopPending";
        case Stopped: return "Stopped";
        case RemovePending: return "RemovePending";
        case Restarting: return "Restarting";
        default: return "?";
    }
}

// The pipe's endpoint address for a transfer kind, or 0.
unsigned EndpointOf(const PortExtension* port, TransferKind kind) {
    USBD_PIPE_HANDLE handle = PipeHandleFor(port, kind);
    for (PUSBD_INTERFACE_INFORMATION info : {port->InterfaceInfo0, port->InterfaceInfo1}) {
        if (!info) continue;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
            if (info->Pipes[i].PipeHandle == handle) return info->Pipes[i].EndpointAddress;
        }
    }
    return 0;
}

}  // namespace

int ParseChip(const Options& options, int* variant) {
    *variant = 2;
    if (const char* chip = options.Value("--chip")) {
        char* end = nullptr;
        long n = std::strtol(chip, &end, 10);
        if (*end != 0 || n < 0 || n > 4) {
            std::fprintf(stderr, "vodrek-sim: --chip takes a variant from 0 to 4, not '%s'\n", chip);
            return 2;
        }
        *variant = static_cast<int>(n);
    }
    return 0;
}

sim::AdapterOptions AdapterOptionsFrom(const Options& options, int variant) {
    sim::AdapterOptions adapter;
    adapter.variant = variant;
    adapter.chip.configMemoryProgrammed = !options.Flag("--blank-config-memory");
    if (const char* name = options.Value("--port-name")) adapter.portName = Widen(name);
    if (options.Flag("--skip-external-naming")) adapter.skipExternalNaming = 1u;
    return adapter;
}

Json DescribePort(sim::Adapter& adapter) {
    Json out = Json::Object();
    const PortExtension* port = adapter.Port();
    out.Set("chip_variant", adapter.Variant());
    if (!port) {
        out.Set("present", false);
        return out;
    }
    out.Set("present", true);
    out.Set("chip_type", port->ChipType);
    out.Set("device_name", Text(port->DeviceName));
    if (port->WmiPortName.Buffer) {
        out.Set("com_name", Text(port->WmiPortName));
    } else {
        out.Set("com_name", Json());
    }
    if (port->LinkCreated) {
        out.Set("symbolic_link", Text(port->SymbolicLinkName));
    } else {
        out.Set("symbolic_link", Json());
    }
    auto serialComm = sim::GetRegistryString(kSerialComm, std::u16string(port->DeviceName.Buffer,
                                                                         port->DeviceName.Length / sizeof(WCHAR)));
    if (serialComm) {
        Json& entry = out.Set("serialcomm", Json::Object());
        entry.Set("value_name", Text(port->DeviceName));
        entry.Set("data", Narrow(*serialComm));
    } else {
        out.Set("serialcomm", Json());
    }
    Json& interfaces = out.Set("device_interfaces", Json::Array());
    for (const sim::DeviceInterfaceRecord& record : sim::DeviceInterfaces()) {
        if (record.pdo != adapter.Pdo()) continue;
        Json& entry = interfaces.Push(Json::Object());
        entry.Set("symbolic_link", Narrow(record.symbolicLink));
        entry.Set("enabled", record.enabled);
    }
    out.Set("pnp_state", PnpStateName(port->PnpState));
    out.Set("device_state_flags", Hex(port->DeviceStateFlags, 2));
    out.Set("resource_flags", Hex(port->ResourceFlags, 2));
    Json& registers = out.Set("registers", Json::Array());
    for (int r = 0; r < 3; ++r) registers.Push(static_cast<int>(port->ChipRegisterShadow[r]));
    out.Set("single_interface", port->SingleInterface != 0);
    Json& pipes = out.Set("pipes", Json::Object());
    pipes.Set("StatusIn", Hex(EndpointOf(port, StatusIn), 2));
    pipes.Set("BulkOut", Hex(EndpointOf(port, BulkOut), 2));
    pipes.Set("BulkIn", Hex(EndpointOf(port, BulkIn), 2));
    out.Set("current_baud", port->CurrentBaud);
    out.Set("max_write_chunk", port->MaxWriteChunk);
    return out;
}

Json DescribeUsbRequests(const sim::UsbCapture& capture, size_t from) {
    Json out = Json::Object();
    std::map<std::string, int> byFunction;
    int failed = 0;
    Json trace = Json::Array();
    const std::vector<sim::UrbRecord>& records = capture.Records();
    for (size_t i = from; i < records.size(); ++i) {
        const sim::UrbRecord& record = records[i];
        byFunction[sim::UrbFunctionName(record.function)]++;
        if (!USBD_SUCCESS(record.usbdStatus)) ++failed;
        trace.Push(sim::FormatUrbRecord(record));
    }
    out.Set("total", static_cast<int>(records.size() - std::min(from, records.size())));
    out.Set("failed", failed);
    Json& functions = out.Set("by_function", Json::Object());
    for (auto& [name, count] : byFunction) functions.Set(name, count);
    out.Set("trace", std::move(trace));
    return out;
}

void PrintPort(const Json&, sim::Adapter& adapter) {
    const PortExtension* port = adapter.Port();
    if (!port) {
        std::printf("Port: none (the start failed and the device was removed)\n");
        return;
    }
    auto line = [](const char* label, const std::string& value) { std::printf("  %-20s %s\n", label, value.c_str()); };
    std::printf("Port\n");
    line("ChipType", std::to_string(port->ChipType) + " (chip variant " + std::to_string(adapter.Variant()) + ")");
    line("Device object", Text(port->DeviceName));
    line("COM name", port->WmiPortName.Buffer ? Text(port->WmiPortName) : "(none)");
    line("Symbolic link", port->LinkCreated ? Text(port->SymbolicLinkName) + " -> " + Text(port->DeviceName)
                                            : "(none)");
    auto serialComm = sim::GetRegistryString(kSerialComm, std::u16string(port->DeviceName.Buffer,
                                                                         port->DeviceName.Length / sizeof(WCHAR)));
    line("SERIALCOMM", serialComm ? Text(port->DeviceName) + " = \"" + Narrow(*serialComm) + "\"" : "(no entry)");
    bool anyInterface = false;
    for (const sim::DeviceInterfaceRecord& record : sim::DeviceInterfaces()) {
        if (record.pdo != adapter.Pdo()) continue;
        line("Device interface", Narrow(record.symbolicLink) + (record.enabled ? " (enabled)" : " (disabled)"));
        anyInterface = true;
    }
    if (!anyInterface) line("Device interface", "(none)");
    line("PnpState", std::string(PnpStateName(port->PnpState)) + " (device state flags " +
                         Hex(port->DeviceStateFlags, 2) + ", resource flags " + Hex(port->ResourceFlags, 2) + ")");
    line("Register shadows", "0: " + Hex(port->ChipRegisterShadow[0], 2) + "  1: " +
                                 Hex(port->ChipRegisterShadow[1], 2) + "  2: " + Hex(port->ChipRegisterShadow[2], 2));
    line("Interfaces", port->SingleInterface ? "one" : "two");
    line("Pipes", "StatusIn " + Hex(EndpointOf(port, StatusIn), 2) + ", BulkOut " + Hex(EndpointOf(port, BulkOut), 2) +
                      ", BulkIn " + Hex(EndpointOf(port, BulkIn), 2));
    line("Line coding", "baud " + std::to_string(port->CurrentBaud) + ", write chunk " +
                            std::to_string(port->MaxWriteChunk));
}

void PrintUsbRequests(const sim::UsbCapture& capture) {
    std::map<std::string, int> byFunction;
    for (const sim::UrbRecord& record : capture.Records()) byFunction[sim::UrbFunctionName(record.function)]++;
    std::printf("\nUSB requests (%zu):\n", capture.Records().size());
    for (auto& [name, count] : byFunction) std::printf("  %4d  %s\n", count, name.c_str());
    std::printf("\n");
    for (const std::string& line : capture.Trace()) std::printf("  %s\n", line.c_str());
}

int CommandProbe(const Options& options) {
    int variant;
    if (int bad = ParseChip(options, &variant)) return bad;
    const bool json = options.Flag("--json");
    const char* pcap = options.Value("--pcap");

    sim::Simulation simulation;
    sim::Workbench bench;
    sim::Adapter& adapter = bench.AddAdapter(AdapterOptionsFrom(options, variant));
    adapter.Capture().Clear();
    if (pcap && !adapter.Capture().OpenPcap(pcap)) {
        std::fprintf(stderr, "vodrek-sim: cannot write the capture to %s\n", pcap);
        return 1;
    }
    const NTSTATUS status = adapter.Plug();

    Json out = DescribePort(adapter);
    out.Set("start_status", StatusText(status));
    RunProbeExtras(options, adapter, out);
    out.Set("usb_requests", DescribeUsbRequests(adapter.Capture()));
    if (pcap) out.Set("pcap", pcap);

    if (json) {
        std::printf("%s\n", out.Dump().c_str());
    } else {
        std::printf("vodrek-sim probe: chip variant %d, configuration memory %s\n", variant,
                    options.Flag("--blank-config-memory") ? "blank" : "programmed");
        std::printf("Start: %s\n\n", NT_SUCCESS(status) ? "succeeded" : StatusText(status).c_str());
        PrintPort(out, adapter);
        PrintProbeExtras(out);
        PrintUsbRequests(adapter.Capture());
        if (pcap) std::printf("\nCapture written to %s (open it with Wireshark or tshark -r)\n", pcap);
    }
    if (adapter.Present()) adapter.Remove();
    adapter.Capture().ClosePcap();
    return NT_SUCCESS(status) ? 0 : 1;
}

}  // namespace cli
