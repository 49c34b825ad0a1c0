// vodrek-sim demo: a guided tour. First a Windows program uses the port
// through kernel32 (tour_program.cpp) over a loopback plug, with the USB
// traffic captured; then what driver entry did and how two chip variants start.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sim/registry.h>
#include <sim/simulation.h>

#include "cli.h"
#include "probe.h"
#include "sim/win32/host/process.h"
#include "sim/workbench/workbench.h"
#include "win32_programs.h"

namespace cli {

namespace {

// Runs the tour on an adapter of `variant` with a loopback plug, the USB
// requests going to `pcap`. Answers the exit status.
int RunTour(int variant, const std::string& pcap) {
    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions options;
    options.variant = variant;
    sim::Adapter& adapter = bench.AddAdapter(options);
    adapter.Capture().Clear();
    if (!adapter.Capture().OpenPcap(pcap)) {
        std::fprintf(stderr, "vodrek-sim demo: cannot write the capture to %s\n", pcap.c_str());
        return 1;
    }
    const NTSTATUS plugged = adapter.Plug();
    if (!NT_SUCCESS(plugged)) {
        std::fprintf(stderr, "vodrek-sim demo: the adapter did not start: %s\n", StatusText(plugged).c_str());
        return 1;
    }
    adapter.PlugLoopback();
    auto name = sim::GetRegistryString(adapter.DeviceKeyPath(), u"PortName");
    const std::string port = name ? Narrow(*name) : "COM3";
    const size_t startRequests = adapter.Capture().Records().size();
    std::printf(
        "An adapter with bridge chip variant %d is plugged into the simulated USB bus; Plug and Play\n"
        "loaded the driver, which started it (%zu USB requests, %.1f ms of virtual time). The port's\n"
        "name is %s. A loopback plug sits on its connector: TXD to RXD, RTS to CTS, DTR to DSR, DCD\n"
        "and RI.\n\n"
        "A Windows program now uses %s through kernel32 only, as it would on Windows. Each step\n"
        "shows the call and what came back, each with its virtual time since the program started\n"
        "(the machine runs as fast as it can: the whole tour takes a blink of real time).\n",
        variant, startRequests, static_cast<double>(simulation.Now()) / sim::kMillisecond, port.c_str(),
        port.c_str());

    int status = 1;
    {
        sim::win32::Process process;
        process.SetPortNames({port});
        process.StartMain([&port] { return TourProgram(port); }, "tour");
        if (!simulation.RunUntil([&] { return process.MainFinished(); }, 60 * sim::kSecond)) {
            std::fprintf(stderr, "vodrek-sim demo: the tour did not finish within 60 s of virtual time\n");
            std::fflush(nullptr);
            std::_Exit(1);
        }
        status = process.MainExitCode();
    }
    adapter.Capture().ClosePcap();
    std::printf(
        "\nThe USB side of it: the start's %zu requests and the tour's %zu (the settings as vendor\n"
        "and class requests, the written bytes on the bulk-out pipe, the received ones and the\n"
        "line states coming up the bulk-in and interrupt pipes) are in\n"
        "  %s\n"
        "a USBPcap capture that Wireshark (or tshark -r) opens.\n",
        startRequests, adapter.Capture().Records().size() - startRequests, pcap.c_str());
    return status;
}

std::string DefaultCapture() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/vodrek-demo.pcap";
}

}  // namespace

int CommandDemo(const Options& options) {
    int variant = 2;
    if (int bad = ParseChip(options, &variant))
        return bad;
    const char* pcap = options.Value("--pcap");
    if (!pcap && options.Flag("--pcap")) {
        std::fprintf(stderr, "vodrek-sim demo: --pcap takes a file name\n");
        return 2;
    }
    std::printf("== vodrek on the simulated platform: a tour of the port through the Win32 API ==\n\n");
    if (int status = RunTour(variant, pcap ? pcap : DefaultCapture())) {
        std::printf("\nThe tour failed (exit status %d).\n", status);
        return status;
    }

    std::printf("\n== Behind the port ==\n\n-- Driver entry, with an ExtBaudrate value in the service key\n\n");
    CommandEntry(Options{{"--ext-baudrate", "921600,921600 460800,2147484264"}});
    for (int other : {0, 4}) {
        std::printf("\n-- An adapter with chip variant %d is plugged in and started\n\n", other);
        if (int status = CommandProbe(Options{{"--chip", std::to_string(other)}}))
            return status;
    }
    std::printf(
        "\nMore: vodrek-sim terminal (type to the port yourself), receive, transmit, null-modem,\n"
        "loopback, chip; vodrek-sim --help lists them.\n");
    return 0;
}

}  // namespace cli
