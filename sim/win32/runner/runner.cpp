// The real main of a Win32 program built with vodrek_add_win32_program():
// starts the simulated machine, plugs the adapters the command line or the
// environment describes, runs the program's own main as the first thread of
// its process, and ends the way a process ends (its handles closed, its
// adapters unplugged and the driver unloaded, with the verifier watching).
// The exit status is what the program's main returned.
//
//   --vodrek-ports=LIST   (or VODREK_PORTS=LIST)   the adapters, default "2:loopback"
//   --vodrek-time-limit=S (or VODREK_TIME_LIMIT=S) virtual seconds the program may take (3600)
//
// LIST is a comma-separated list of adapters, each VARIANT[:WIRE][@NAME]:
//   VARIANT  the bridge chip's variant, 0 to 4
//   WIRE     loopback            a loopback plug with every pin wired
//            loopback(PINS)      only the named pins: data, rts-cts, dtr-dsr,
//                                dtr-dcd, dtr-ri, joined with '+'
//            null                a null-modem cable to the next adapter in the list
//            peer(BAUD[,TEXT])   a far end at BAUD 8N1 with CTS, DSR and DCD on,
//                                sending TEXT once at the start
//            none                nothing plugged in
//   NAME     the PortName value of the adapter's device key (COM3, COM4, ... by default)
// The arguments starting with --vodrek- are taken out before the program sees argv.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sim/registry.h>
#include <sim/simulation.h>

#include "sim/win32/host/process.h"
#include "sim/workbench/workbench.h"

// The program's main, renamed by the build: a C program's, or a C++ program's
// with or without arguments. Exactly one of them is defined.
extern "C" int ProgramMainC(int, char**) __asm__("vodrek_win32_main") __attribute__((weak));
int ProgramMainArgs(int, char**) __asm__("_Z17vodrek_win32_mainiPPc") __attribute__((weak));
int ProgramMainVoid() __asm__("_Z17vodrek_win32_mainv") __attribute__((weak));

namespace {

struct AdapterEntry {
    int variant = 2;
    std::string wire = "loopback";
    std::string argument;  // what the wire's parentheses held
    std::string name;
};

[[noreturn]] void Usage(const std::string& why) {
    std::fprintf(stderr, "vodrek win32: %s\n", why.c_str());
    std::exit(2);
}

std::vector<AdapterEntry> ParsePorts(const std::string& list) {
    std::vector<AdapterEntry> out;
    size_t start = 0;
    while (start <= list.size()) {
        // Commas inside parentheses belong to the wire.
        size_t end = start;
        int depth = 0;
        while (end < list.size() && (list[end] != ',' || depth > 0)) {
            depth += list[end] == '(' ? 1 : list[end] == ')' ? -1 : 0;
            ++end;
        }
        std::string item = list.substr(start, end - start);
        AdapterEntry a;
        const size_t at = item.find('@');
        if (at != std::string::npos) {
            a.name = item.substr(at + 1);
            item.resize(at);
        }
        const size_t colon = item.find(':');
        const std::string variant = item.substr(0, colon);
        if (variant.size() != 1 || variant[0] < '0' || variant[0] > '4')
            Usage("chip variant '" + variant + "' in '" + list + "' is not 0 to 4");
        a.variant = variant[0] - '0';
        if (colon != std::string::npos) {
            a.wire = item.substr(colon + 1);
            const size_t open = a.wire.find('(');
            if (open != std::string::npos) {
                if (a.wire.back() != ')')
                    Usage("wire '" + a.wire + "' lacks its ')'");
                a.argument = a.wire.substr(open + 1, a.wire.size() - open - 2);
                a.wire.resize(open);
            }
        }
        if (a.wire != "loopback" && a.wire != "null" && a.wire != "peer" && a.wire != "none")
            Usage("unknown wire '" + a.wire + "' (loopback, null, peer, none)");
        out.push_back(a);
        if (end >= list.size())
            break;
        start = end + 1;
    }
    return out;
}

sim::LoopbackWiring Pins(const std::string& list) {
    if (list.empty())
        return {};
    sim::LoopbackWiring w{false, false, false, false, false};
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find('+', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string pin = list.substr(start, end - start);
        if (pin == "data")
            w.data = true;
        else if (pin == "rts-cts")
            w.rtsToCts = true;
        else if (pin == "dtr-dsr")
            w.dtrToDsr = true;
        else if (pin == "dtr-dcd")
            w.dtrToDcd = true;
        else if (pin == "dtr-ri")
            w.dtrToRi = true;
        else
            Usage("unknown loopback pin '" + pin + "'");
        start = end + 1;
    }
    return w;
}

std::string Narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

int CallProgramMain(std::vector<char*>& argv) {
    const int argc = static_cast<int>(argv.size()) - 1;
    if (ProgramMainC)
        return ProgramMainC(argc, argv.data());
    if (ProgramMainArgs)
        return ProgramMainArgs(argc, argv.data());
    if (ProgramMainVoid)
        return ProgramMainVoid();
    std::fprintf(stderr, "vodrek win32: the program has no main\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string ports = std::getenv("VODREK_PORTS") ? std::getenv("VODREK_PORTS") : "2:loopback";
    long limitSeconds =
        std::getenv("VODREK_TIME_LIMIT") ? std::atol(std::getenv("VODREK_TIME_LIMIT")) : 3600;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--vodrek-ports=", 15) == 0)
            ports = argv[i] + 15;
        else if (std::strncmp(argv[i], "--vodrek-time-limit=", 20) == 0)
            limitSeconds = std::atol(argv[i] + 20);
        else if (std::strncmp(argv[i], "--vodrek-", 9) == 0)
            Usage(std::string("unknown option ") + argv[i]);
        else
            args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    if (limitSeconds <= 0)
        Usage("the time limit must be a positive number of seconds");
    const std::vector<AdapterEntry> entries = ParsePorts(ports);

    int exitCode = 0;
    {
        sim::Simulation simulation;
        sim::Workbench bench;
        std::vector<sim::Adapter*> adapters;
        for (size_t i = 0; i < entries.size(); ++i) {
            sim::AdapterOptions options;
            options.variant = entries[i].variant;
            const std::string name =
                entries[i].name.empty() ? "COM" + std::to_string(3 + i) : entries[i].name;
            options.portName = std::u16string(name.begin(), name.end());
            adapters.push_back(&bench.AddAdapter(options));
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            const NTSTATUS status = adapters[i]->Plug();
            if (!NT_SUCCESS(status)) {
                std::fprintf(stderr, "vodrek win32: adapter %zu did not start (status 0x%08X)\n", i,
                             static_cast<unsigned>(status));
                return 2;
            }
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            const AdapterEntry& s = entries[i];
            if (s.wire == "loopback") {
                adapters[i]->PlugLoopback(Pins(s.argument));
            } else if (s.wire == "null") {
                if (i + 1 >= entries.size())
                    Usage("a null-modem cable needs a next adapter to go to");
                bench.ConnectNullModem(*adapters[i], *adapters[i + 1]);
                ++i;
            } else if (s.wire == "peer") {
                sim::PeerOptions peer;
                const size_t comma = s.argument.find(',');
                const long baud = std::atol(s.argument.substr(0, comma).c_str());
                peer.format = sim::CharacterFormat::Plain(baud > 0 ? static_cast<uint64_t>(baud) : 9600);
                sim::ScriptedPeer& far = adapters[i]->AttachPeer(peer);
                if (comma != std::string::npos) {
                    const std::string text = s.argument.substr(comma + 1);
                    far.Send(std::vector<uint8_t>(text.begin(), text.end()));
                }
            }
        }
        std::vector<std::string> names;
        for (size_t i = 0; i < adapters.size(); ++i) {
            auto name = sim::GetRegistryString(adapters[i]->DeviceKeyPath(), u"PortName");
            names.push_back(name ? Narrow(*name) : "");
            setenv(("VODREK_PORT" + std::to_string(i)).c_str(), names.back().c_str(), 1);
        }

        sim::win32::Process process;
        process.SetPortNames(names);
        process.StartMain([&args] { return CallProgramMain(args); });
        if (!simulation.RunUntil([&] { return process.MainFinished(); },
                                 static_cast<sim::Ticks>(limitSeconds) * sim::kSecond)) {
            std::fprintf(stderr,
                         "vodrek win32: the program did not finish within %ld s of virtual time\n",
                         limitSeconds);
            std::fflush(nullptr);
            std::_Exit(124);
        }
        exitCode = process.MainExitCode();
        // The process ends: its handles are closed (the driver cancels what
        // they still had outstanding), then its other threads must be done.
        const std::vector<std::string> open = process.OpenHandles();
        const int closer = simulation.CreateThread("process exit", [&process] { process.CloseAllHandles(); });
        simulation.RunUntil(
            [&] { return simulation.ThreadFinished(closer) && process.RunningThreads().empty(); },
            60 * sim::kSecond);
        if (!process.RunningThreads().empty()) {
            std::fprintf(stderr, "vodrek win32: %zu thread(s) still running after main returned\n",
                         process.RunningThreads().size());
            std::fflush(nullptr);
            std::_Exit(125);
        }
        if (!open.empty())
            std::fprintf(stderr, "vodrek win32: %zu handle(s) left open, closed at exit\n", open.size());
    }
    std::fflush(nullptr);
    return exitCode;
}
