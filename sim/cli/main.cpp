// vodrek-sim: the driver on the simulated platform, for a person at a terminal.
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

struct Command {
    const char* name;
    const char* usage;
    int (*run)(const cli::Options&);
};

const Command kCommands[] = {
    {"demo",
     "demo [--chip 0..4] [--pcap FILE]\n"
     "      the guided tour: a Windows program opens COM3 over a loopback plug, sets it up, writes,\n"
     "      reads back, watches the modem lines and an event, reads the statistics (capture in\n"
     "      FILE, by default $TMPDIR/vodrek-demo.pcap); then driver entry and two chip variants",
     cli::CommandDemo},
    {"entry", "entry [--ext-baudrate TEXT] [--json]\n      load the driver and show what driver entry did",
     cli::CommandEntry},
    {"probe",
     "probe [--chip 0..4] [--blank-config-memory] [--port-name NAME] [--skip-external-naming]\n"
     "      [--sleep-wake] [--wmi] [--json] [--pcap FILE]\n"
     "      plug one simulated adapter, start it, and show the port it became",
     cli::CommandProbe},
    {"receive",
     "receive [--chip 0..4] [--baud B] [--bytes K] [--flow none|rtscts|dtrdsr|xonxoff] [--peer-ignores-flow]\n"
     "      [--read-size S] [--read-gap MS] [--timeouts I,M,C] [--queue-size Q]\n"
     "      [--json] [--pcap FILE]\n"
     "      a far end sends K pattern bytes at line rate; an application reads them through COM3\n"
     "      in S-byte reads; reports what was lost (exit status 1 if anything was)",
     cli::CommandReceive},
    {"transmit",
     "transmit [--chip 0..4] [--baud B] [--bytes K] [--flow none|rtscts|dtrdsr|xonxoff]\n"
     "      [--write-size S] [--queue-size Q] [--far-end-holds MS] [--json] [--pcap FILE]\n"
     "      an application writes K pattern bytes through COM3 in S-byte writes to a far end that\n"
     "      takes them down (and, with --far-end-holds, holds the sender off halfway through);\n"
     "      reports what arrived and the bulk-out transfers (exit status 1 on loss)",
     cli::CommandTransmit},
    {"null-modem",
     "null-modem [--chip 0..4] [--chip2 0..4] [--baud B] [--bytes K] [--flow ...] [--duplex]\n"
     "      [--write-size S] [--read-size R] [--read-gap MS] [--queue-size Q] [--json] [--pcap FILE]\n"
     "      two adapters on a null-modem cable: COM3 writes K bytes and COM4 reads them, with\n"
     "      --duplex both ways at once; reports each direction (exit status 1 on loss)",
     cli::CommandNullModem},
    {"loopback",
     "loopback [--chip 0..4] [--baud B] [--bytes K] [--flow ...] [--write-size S] [--read-size R]\n"
     "      [--read-gap MS] [--queue-size Q] [--json] [--pcap FILE]\n"
     "      one adapter with a loopback plug: the application writes K bytes through COM3 and\n"
     "      reads them back at the same time (exit status 1 on loss)",
     cli::CommandLoopback},
    {"chip",
     "chip [--chip 0..4] [--blank-config-memory] [--replug] [--json] [--pcap FILE] WHAT\n"
     "      a configuration tool: reaches the adapter behind COM3 only through the port's own\n"
     "      device controls. WHAT is one of\n"
     "        descriptors                          device, configuration and strings, decoded\n"
     "        registers                            every register the chip type has\n"
     "        registers write REG VALUE            REG 06, 07 (type 2 and above) or 0C-0F (type 3 and above)\n"
     "        config-memory read [--from A] [--count K]   a hex dump (addresses 0 to 255)\n"
     "        config-memory write A BYTE...        bytes from address A on, read back to check\n"
     "        config-memory program                the record that marks the memory as programmed\n"
     "        transfers stop|restart...            the driver's continuous transfers\n"
     "      --replug then unplugs and plugs the adapter and shows what the start sent the chip.\n"
     "      A wrong address, length, register or chip type is refused and nothing is written",
     cli::CommandChip},
    {"terminal",
     "terminal [--chip 0..4] [--baud B] [--peer echo|modem] [--peer-baud B]\n"
     "      an interactive session on COM3, paced to the wall clock: what you type goes out through\n"
     "      WriteFile, what the far end answers comes back through ReadFile; the modem lines, events\n"
     "      and errors on a status line. --peer echo answers every byte; --peer modem answers AT\n"
     "      commands and rings, dials (ATD), hangs up (ATH). Ctrl-] quits; with input from a pipe\n"
     "      the session ends once the input has ended and the line has been quiet for 0.5 s",
     cli::CommandTerminal},
};

void Usage(FILE* out) {
    std::fprintf(out, "usage: vodrek-sim COMMAND [options]\n\ncommands:\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        Usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    cli::Options options;
    for (int i = 2; i < argc; ++i) options.args.emplace_back(argv[i]);
    for (const Command& c : kCommands) {
        if (!std::strcmp(argv[1], c.name)) return c.run(options);
    }
    std::fprintf(stderr, "vodrek-sim: unknown command '%s'\n", argv[1]);
    Usage(stderr);
    return 2;
}
