// vodrek-sim chip: a configuration tool for the adapter behind a port. Like a
// tool on Windows it opens the port and reaches the chip only through the
// driver's own device controls (IOCTL_BRIDGE_*): it reads the descriptors and
// the registers, reads, writes and programs the configuration memory, and stops
// or restarts the driver's continuous transfers.
//
// Every value a person gives is checked before anything is sent: a wrong
// address, length or register, or a register the adapter's chip type does not
// have, is refused with one line naming it, and nothing is written.
#include <cstdio>
#include <cstring>
#include <optional>

#include <sim/files.h>
#include <sim/workbench/workbench.h>

#include "control/bridge_ioctl.h"
#include "line_tools.h"
#include "probe.h"

namespace cli {

namespace {

constexpr const char* kTool = "chip";
constexpr unsigned kMemorySize = 256;
// The maker's record that marks the configuration memory as programmed: the
// marker word, the product word, then the power-on values of registers 0, 1, 2.
constexpr unsigned kRecordSize = 7;
constexpr uint16_t kMarker = VODREK_CONFIG_MEMORY_MARKER;

// --- what the person asked for -----------------------------------------------------

enum class What {
    Descriptors,
    Registers,
    RegisterWrite,
    MemoryRead,
    MemoryWrite,
    MemoryProgram,
    Transfers
};

struct Request {
    What what = What::Descriptors;
    unsigned from = 0, count = kMemorySize;  // config-memory read
    std::vector<uint8_t> bytes;              // config-memory write: the bytes for `from` on
    unsigned reg = 0;                        // registers write
    uint16_t value = 0;
    std::vector<bool> stops;  // transfers: true stop, false restart, in order
};

// Options that take a value, and those that stand alone.
const char* const kValueOptions[] = {"--chip", "--from", "--count", "--pcap", "--port-name"};
const char* const kFlags[] = {"--json", "--blank-config-memory", "--replug",
                              "--skip-external-naming"};

bool IsOneOf(const std::string& arg, const char* const* names, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (arg == names[i])
            return true;
    return false;
}

// A refusal of what the person typed: one line, exit status 2.
int Refused(const std::string& what) {
    std::fprintf(stderr, "vodrek-sim chip: %s; nothing written\n", what.c_str());
    return 2;
}

// A register number as a person writes it: hexadecimal, with or without 0x.
bool ParseRegister(const std::string& text, unsigned* reg) {
    std::string digits =
        text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 2)
        return false;
    char* end = nullptr;
    const unsigned long n = std::strtoul(digits.c_str(), &end, 16);
    if (*end != 0)
        return false;
    *reg = static_cast<unsigned>(n);
    return true;
}

// The registers the driver's controls write, and the chip type each needs.
int WritableRegisterGate(unsigned reg) {
    switch (reg) {
        case 0x06:
        case 0x07:
            return 2;
        case 0x0C:
        case 0x0D:
        case 0x0E:
        case 0x0F:
            return 3;
        default:
            return -1;
    }
}

int ParseRequest(const Options& options, Request* request) {
    std::vector<std::string> words;
    for (size_t i = 0; i < options.args.size(); ++i) {
        const std::string& arg = options.args[i];
        if (IsOneOf(arg, kValueOptions, std::size(kValueOptions))) {
            if (i + 1 == options.args.size())
                return Refuse(kTool, arg.c_str(), "", "a value");
            ++i;
        } else if (IsOneOf(arg, kFlags, std::size(kFlags))) {
            continue;
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "vodrek-sim chip: unknown option '%s'\n", arg.c_str());
            return 2;
        } else {
            words.push_back(arg);
        }
    }
    auto usage = [] {
        std::fprintf(
            stderr,
            "vodrek-sim chip: say what: descriptors, registers [write REG VALUE], config-memory "
            "read|write|program, or transfers stop|restart\n");
        return 2;
    };
    if (words.empty())
        return usage();
    const std::string& what = words[0];
    if (what == "descriptors" && words.size() == 1) {
        request->what = What::Descriptors;
    } else if (what == "registers" && words.size() == 1) {
        request->what = What::Registers;
    } else if (what == "registers" && words.size() == 4 && words[1] == "write") {
        request->what = What::RegisterWrite;
        if (!ParseRegister(words[2], &request->reg))
            return Refused("register '" + words[2] +
                           "' refused: a register is a hexadecimal number");
        if (WritableRegisterGate(request->reg) < 0)
            return Refused("register " + Hex(request->reg, 2) +
                           " refused: the port writes only registers 0x06, 0x07 and 0x0C to 0x0F");
        uint64_t value;
        if (!ParseNumber(words[3].c_str(), 0xFFFF, &value))
            return Refused("value '" + words[3] + "' refused: a register takes 0 to 0xFFFF");
        request->value = static_cast<uint16_t>(value);
    } else if (what == "config-memory" && words.size() >= 2) {
        const std::string& verb = words[1];
        uint64_t from = 0, count = kMemorySize;
        if (int bad = ParseCountOption(options, kTool, "--from", 0, kMemorySize - 1, &from))
            return bad;
        if (verb == "read" && words.size() == 2) {
            request->what = What::MemoryRead;
            if (options.Value("--count") == nullptr)
                count = kMemorySize - from;
            if (int bad = ParseCountOption(options, kTool, "--count", 1, kMemorySize, &count))
                return bad;
            if (from + count > kMemorySize)
                return Refused(
                    "length " + std::to_string(count) + " from address " + std::to_string(from) +
                    " refused: it runs past the end of the 256-byte configuration memory");
        } else if (verb == "write" && words.size() >= 4) {
            request->what = What::MemoryWrite;
            if (!ParseNumber(words[2].c_str(), kMemorySize - 1, &from))
                return Refused("address '" + words[2] +
                               "' refused: the configuration memory has addresses 0 to 255");
            for (size_t i = 3; i < words.size(); ++i) {
                uint64_t byte;
                if (!ParseNumber(words[i].c_str(), 0xFF, &byte))
                    return Refused("byte '" + words[i] + "' refused: a byte is 0 to 255 (0xFF)");
                request->bytes.push_back(static_cast<uint8_t>(byte));
            }
            count = request->bytes.size();
            if (from + count > kMemorySize)
                return Refused(
                    "length " + std::to_string(count) + " at address " + std::to_string(from) +
                    " refused: it runs past the end of the 256-byte configuration memory");
        } else if (verb == "program" && words.size() == 2) {
            request->what = What::MemoryProgram;
        } else {
            return usage();
        }
        request->from = static_cast<unsigned>(from);
        request->count = static_cast<unsigned>(count);
    } else if (what == "transfers" && words.size() >= 2) {
        request->what = What::Transfers;
        for (size_t i = 1; i < words.size(); ++i) {
            if (words[i] != "stop" && words[i] != "restart")
                return Refuse(kTool, "transfers", words[i].c_str(), "stop or restart");
            request->stops.push_back(words[i] == "stop");
        }
    } else {
        return usage();
    }
    return 0;
}

// --- the port's controls ---------------------------------------------------------------

struct Reply {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> bytes;
    bool Ok() const { return NT_SUCCESS(status); }
};

class Port {
  public:
    Port(sim::Simulation& simulation, sim::File& file) : simulation_(simulation), file_(file) {}
    Reply Call(ULONG code, std::vector<uint8_t> input = {}, ULONG outputLength = 0) {
        Reply reply;
        reply.status =
            Control(simulation_, file_, code, std::move(input), outputLength, &reply.bytes);
        return reply;
    }
    // Lets the simulation run on for a while: cancelled transfers come back.
    void Settle() { simulation_.RunFor(10 * sim::kMillisecond); }
    static std::vector<uint8_t> Word(unsigned word) {
        return {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
    }

  private:
    sim::Simulation& simulation_;
    sim::File& file_;
};

unsigned WordAt(const std::vector<uint8_t>& bytes, size_t at) {
    return at + 1 < bytes.size() ? bytes[at] | bytes[at + 1] << 8 : 0;
}

// The outcome of one `what`: its keys, its lines for a person, and whether
// the adapter did all of it.
struct Outcome {
    Json json = Json::Object();
    std::vector<std::string> lines;
    bool ok = true;
    int refused = 0;  // the exit status of a refusal, after the chip type was known
    void Fail(const std::string& line) {
        ok = false;
        lines.push_back(line);
    }
};

std::string ByteCount(size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ", b);
        out += buf;
    }
    return out;
}

// --- descriptors ------------------------------------------------------------------------

// A string descriptor's text (UTF-16LE after the two header bytes), or nothing.
std::optional<std::string> ReadString(Port& port, uint8_t index, NTSTATUS* status) {
    Reply reply = port.Call(IOCTL_BRIDGE_GET_STRING_DESCRIPTOR, {index}, 255);
    *status = reply.status;
    if (!reply.Ok() || reply.bytes.size() < 2 || reply.bytes[1] != 3)
        return std::nullopt;
    std::u16string text;
    const size_t end = std::min<size_t>(reply.bytes.size(), reply.bytes[0]);
    for (size_t i = 2; i + 1 < end; i += 2)
        text += static_cast<char16_t>(reply.bytes[i] | reply.bytes[i + 1] << 8);
    return Narrow(text);
}

void Descriptors(Port& port, Outcome& out) {
    Reply device = port.Call(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, 18);
    if (!device.Ok() || device.bytes.size() < 18) {
        out.json.Set("device", Json::Object()).Set("error", StatusText(device.status));
        out.Fail("Device descriptor: " + (device.Ok()
                                              ? std::to_string(device.bytes.size()) + " bytes"
                                              : StatusText(device.status)));
        return;
    }
    const std::vector<uint8_t>& d = device.bytes;
    Json& dj = out.json.Set("device", Json::Object());
    dj.Set("bcdUSB", Hex(WordAt(d, 2), 4));
    dj.Set("bDeviceClass", d[4]);
    dj.Set("bMaxPacketSize0", d[7]);
    dj.Set("idVendor", Hex(WordAt(d, 8), 4));
    dj.Set("idProduct", Hex(WordAt(d, 10), 4));
    dj.Set("bcdDevice", Hex(WordAt(d, 12), 4));
    dj.Set("bNumConfigurations", d[17]);
    dj.Set("raw", HexBytes(d));
    out.lines.push_back("Device descriptor: USB " + Hex(WordAt(d, 2), 4) + ", class " +
                        std::to_string(d[4]) + ", control packets " + std::to_string(d[7]) +
                        " bytes, vendor " + Hex(WordAt(d, 8), 4) + ", product " +
                        Hex(WordAt(d, 10), 4) + ", release " + Hex(WordAt(d, 12), 4) + ", " +
                        std::to_string(d[17]) + " configuration(s)");

    // The strings it names: manufacturer, product, serial number.
    Json& strings = out.json.Set("strings", Json::Object());
    const struct {
        const char* key;
        const char* label;
        uint8_t index;
    } named[] = {{"manufacturer", "Manufacturer", d[14]},
                 {"product", "Product", d[15]},
                 {"serial_number", "Serial number", d[16]}};
    for (const auto& s : named) {
        if (s.index == 0) {
            strings.Set(s.key, Json());
            continue;
        }
        NTSTATUS status;
        std::optional<std::string> text = ReadString(port, s.index, &status);
        if (text) {
            strings.Set(s.key, *text);
            out.lines.push_back(std::string("  ") + s.label + " (string " +
                                std::to_string(s.index) + "): \"" + *text + "\"");
        } else {
            strings.Set(s.key, Json::Object()).Set("error", StatusText(status));
            out.Fail(std::string("  ") + s.label + " (string " + std::to_string(s.index) +
                     "): " + StatusText(status));
        }
    }

    // The configuration: its header first for the total length, then all of it.
    Reply head = port.Call(IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR, {}, 9);
    if (!head.Ok() || head.bytes.size() < 9) {
        out.json.Set("configuration", Json::Object()).Set("error", StatusText(head.status));
        out.Fail("Configuration descriptor: " + StatusText(head.status));
        return;
    }
    Reply config = port.Call(IOCTL_BRIDGE_GET_CONFIG_DESCRIPTOR, {}, WordAt(head.bytes, 2));
    if (!config.Ok() || config.bytes.size() < 9) {
        out.json.Set("configuration", Json::Object()).Set("error", StatusText(config.status));
        out.Fail("Configuration descriptor: " + StatusText(config.status));
        return;
    }
    const std::vector<uint8_t>& c = config.bytes;
    Json& cj = out.json.Set("configuration", Json::Object());
    cj.Set("wTotalLength", WordAt(c, 2));
    cj.Set("bNumInterfaces", c[4]);
    cj.Set("bConfigurationValue", c[5]);
    cj.Set("bmAttributes", Hex(c[7], 2));
    cj.Set("max_power_mA", c[8] * 2);
    out.lines.push_back("Configuration " + std::to_string(c[5]) + ": " +
                        std::to_string(WordAt(c, 2)) + " bytes, " + std::to_string(c[4]) +
                        " interface(s), attributes " + Hex(c[7], 2) + ", " +
                        std::to_string(c[8] * 2) + " mA");
    Json& interfaces = cj.Set("interfaces", Json::Array());
    Json* endpoints = nullptr;  // the last interface's
    for (size_t at = 0; at + 2 <= c.size() && c[at] >= 2;) {
        const size_t length = c[at];
        if (at + length > c.size())
            break;
        if (c[at + 1] == 4 && length >= 9) {
            Json& interface = interfaces.Push(Json::Object());
            interface.Set("bInterfaceNumber", c[at + 2]);
            interface.Set("bInterfaceClass", Hex(c[at + 5], 2));
            endpoints = &interface.Set("endpoints", Json::Array());
            out.lines.push_back("  Interface " + std::to_string(c[at + 2]) + ": class " +
                                Hex(c[at + 5], 2) + ", " + std::to_string(c[at + 4]) +
                                " endpoint(s)");
        } else if (c[at + 1] == 5 && length >= 7 && endpoints) {
            static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
            Json& endpoint = endpoints->Push(Json::Object());
            endpoint.Set("bEndpointAddress", Hex(c[at + 2], 2));
            endpoint.Set("type", kTypes[c[at + 3] & 3]);
            endpoint.Set("wMaxPacketSize", WordAt(c, at + 4));
            out.lines.push_back("    Endpoint " + Hex(c[at + 2], 2) +
                                (c[at + 2] & 0x80 ? " in, " : " out, ") + kTypes[c[at + 3] & 3] +
                                ", " + std::to_string(WordAt(c, at + 4)) + "-byte packets");
        }
        at += length;
    }
}

// --- registers ---------------------------------------------------------------------------

// The registers a chip type has: 0 to 4 on every type, 5 to 9 and 0x0B from
// type 2, 0x0C to 0x0F from type 3.
std::vector<unsigned> RegistersOf(int chipType) {
    std::vector<unsigned> regs = {0, 1, 2, 3, 4};
    if (chipType >= 2)
        regs.insert(regs.end(), {5, 6, 7, 8, 9, 0x0B});
    if (chipType >= 3)
        regs.insert(regs.end(), {0x0C, 0x0D, 0x0E, 0x0F});
    return regs;
}

struct RegisterCodes {
    unsigned reg;
    ULONG read, write;
    ULONG width;        // bytes the read answers
    ULONG writeOutput;  // the write's reply: the port answers 2 bytes for 06, 07, 0C, 0D
};
// The registers with controls of their own; the others are read with a raw
// vendor read, one byte.
constexpr RegisterCodes kRegisterCodes[] = {
    {0x06, IOCTL_BRIDGE_READ_REGISTER_06, IOCTL_BRIDGE_WRITE_REGISTER_06, 2, 2},
    {0x07, IOCTL_BRIDGE_READ_REGISTER_07, IOCTL_BRIDGE_WRITE_REGISTER_07, 2, 2},
    {0x0C, IOCTL_BRIDGE_READ_REGISTER_0C, IOCTL_BRIDGE_WRITE_REGISTER_0C, 2, 2},
    {0x0D, IOCTL_BRIDGE_READ_REGISTER_0D, IOCTL_BRIDGE_WRITE_REGISTER_0D, 2, 2},
    {0x0E, IOCTL_BRIDGE_READ_REGISTER_0E, IOCTL_BRIDGE_WRITE_REGISTER_0E, 1, 0},
    {0x0F, IOCTL_BRIDGE_READ_REGISTER_0F, IOCTL_BRIDGE_WRITE_REGISTER_0F, 1, 0},
};

const RegisterCodes* CodesOf(unsigned reg) {
    for (const RegisterCodes& codes : kRegisterCodes)
        if (codes.reg == reg)
            return &codes;
    return nullptr;
}

Reply ReadRegister(Port& port, unsigned reg) {
    if (const RegisterCodes* codes = CodesOf(reg))
        return port.Call(codes->read, {}, codes->width);
    const unsigned code = 0x80 | reg;
    return port.Call(IOCTL_BRIDGE_VENDOR_READ, Port::Word(code << 8 | code), 1);
}

// One register as the outcome shows it.
void AddRegister(Outcome& out, Json& list, unsigned reg, const Reply& reply) {
    Json& entry = list.Push(Json::Object());
    entry.Set("register", Hex(reg, 2));
    if (!reply.Ok() || reply.bytes.empty()) {
        const std::string why = reply.Ok() ? "no bytes" : StatusText(reply.status);
        entry.Set("error", why);
        out.Fail("  " + Hex(reg, 2) + "  " + why);
        return;
    }
    const unsigned value = reply.bytes.size() >= 2 ? WordAt(reply.bytes, 0) : reply.bytes[0];
    const int digits = reply.bytes.size() >= 2 ? 4 : 2;
    entry.Set("value", value);
    entry.Set("hex", Hex(value, digits));
    entry.Set("bytes", static_cast<unsigned>(reply.bytes.size()));
    out.lines.push_back("  " + Hex(reg, 2) + "  " + Hex(value, digits));
}

void Registers(Port& port, int chipType, Outcome& out) {
    Json& list = out.json.Set("registers", Json::Array());
    out.lines.push_back("Registers of chip type " + std::to_string(chipType) + ":");
    for (unsigned reg : RegistersOf(chipType))
        AddRegister(out, list, reg, ReadRegister(port, reg));
}

void WriteRegister(Port& port, int chipType, const Request& request, Outcome& out) {
    const int gate = WritableRegisterGate(request.reg);
    if (chipType < gate) {
        out.refused = Refused("register " + Hex(request.reg, 2) + " refused: chip type " +
                              std::to_string(chipType) + " does not have it (type " +
                              std::to_string(gate) + " and above)");
        return;
    }
    const RegisterCodes* codes = CodesOf(request.reg);
    Reply written = port.Call(codes->write, Port::Word(request.value), codes->writeOutput);
    out.json.Set("written", Hex(request.value, 4));
    out.json.Set("status", StatusText(written.status));
    if (!written.Ok()) {
        out.Fail("Writing " + Hex(request.value, 4) + " to register " + Hex(request.reg, 2) +
                 " failed: " + StatusText(written.status));
        return;
    }
    out.lines.push_back("Wrote " + Hex(request.value, 4) + " to register " + Hex(request.reg, 2) +
                        "; it now reads:");
    Json& list = out.json.Set("registers", Json::Array());
    AddRegister(out, list, request.reg, ReadRegister(port, request.reg));
}

// --- configuration memory -----------------------------------------------------------------

Reply ReadMemory(Port& port, unsigned from, unsigned count) {
    Reply reply = port.Call(IOCTL_BRIDGE_READ_CONFIG_MEMORY, Port::Word(from), count);
    if (reply.Ok() && reply.bytes.size() != count)
        reply.status = STATUS_DEVICE_DATA_ERROR;
    return reply;
}

// Sixteen bytes a line, each line starting at its address.
void Dump(unsigned from, const std::vector<uint8_t>& bytes, std::vector<std::string>& lines) {
    for (size_t i = 0; i < bytes.size(); i += 16) {
        const std::vector<uint8_t> row(bytes.begin() + i,
                                       bytes.begin() + std::min(bytes.size(), i + 16));
        lines.push_back("  " + Hex(static_cast<unsigned>(from + i), 2) + ": " + HexBytes(row));
    }
}

void MemoryRead(Port& port, const Request& request, Outcome& out) {
    Reply reply = ReadMemory(port, request.from, request.count);
    out.json.Set("from", request.from);
    out.json.Set("count", request.count);
    if (!reply.Ok()) {
        out.json.Set("error", StatusText(reply.status));
        out.Fail("Reading " + ByteCount(request.count) + " from " + std::to_string(request.from) +
                 " failed: " + StatusText(reply.status));
        return;
    }
    out.json.Set("bytes", HexBytes(reply.bytes));
    out.lines.push_back("Configuration memory, " + ByteCount(request.count) + " from " +
                        Hex(request.from, 2) + ":");
    Dump(request.from, reply.bytes, out.lines);
}

// Writes `bytes` from `from` on, then reads them back.
void WriteAndVerify(Port& port, unsigned from, const std::vector<uint8_t>& bytes, Outcome& out) {
    std::vector<uint8_t> input = {static_cast<uint8_t>(from)};
    input.insert(input.end(), bytes.begin(), bytes.end());
    Reply written = port.Call(IOCTL_BRIDGE_WRITE_CONFIG_MEMORY, std::move(input));
    out.json.Set("from", from);
    out.json.Set("written", HexBytes(bytes));
    out.json.Set("status", StatusText(written.status));
    if (!written.Ok()) {
        out.Fail("Writing " + ByteCount(bytes.size()) + " at " + Hex(from, 2) +
                 " failed: " + StatusText(written.status));
        return;
    }
    Reply back = ReadMemory(port, from, static_cast<unsigned>(bytes.size()));
    const bool verified = back.Ok() && back.bytes == bytes;
    out.json.Set("read_back",
                 back.Ok() ? Json(HexBytes(back.bytes)) : Json(StatusText(back.status)));
    out.json.Set("verified", verified);
    if (!verified) {
        out.Fail("Wrote " + ByteCount(bytes.size()) + " at " + Hex(from, 2) +
                 ", but they read back as " +
                 (back.Ok() ? HexBytes(back.bytes) : StatusText(back.status)));
        return;
    }
    out.lines.push_back("Wrote " + ByteCount(bytes.size()) + " at " + Hex(from, 2) +
                        ", read back the same:");
    Dump(from, back.bytes, out.lines);
}

// Where the maker's record goes: address 0 on types 0 to 2, the first of their
// own places on types 3 and 4 (which also fall back to address 0).
unsigned RecordAddress(int chipType) {
    return chipType == 3 ? 32 : chipType == 4 ? 96 : 0;
}

// The record that marks the memory programmed: the marker, the adapter's own
// product word, and the values registers 0 to 2 hold now, so that the chip
// powers up the way the port runs it.
void MemoryProgram(Port& port, int chipType, Outcome& out) {
    Reply device = port.Call(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, 18);
    if (!device.Ok() || device.bytes.size() < 18) {
        out.Fail("Reading the device descriptor for the product word failed: " +
                 StatusText(device.status));
        return;
    }
    std::vector<uint8_t> record = Port::Word(kMarker);
    record.push_back(device.bytes[10]);
    record.push_back(device.bytes[11]);
    for (unsigned reg = 0; reg < 3; ++reg) {
        Reply value = ReadRegister(port, reg);
        if (!value.Ok() || value.bytes.empty()) {
            out.Fail("Reading register " + Hex(reg, 2) +
                     " for the record failed: " + StatusText(value.status));
            return;
        }
        record.push_back(value.bytes[0]);
    }
    static_assert(kRecordSize == 7, "marker, product, three registers");
    WriteAndVerify(port, RecordAddress(chipType), record, out);
    if (out.ok)
        out.lines.insert(out.lines.begin(),
                         "Programmed: the record is at " + Hex(RecordAddress(chipType), 2) +
                             "; the chip loads registers 0 to 2 from it at its next power-on");
}

// --- the continuous transfers -----------------------------------------------------------

// The port's outstanding transfers on the adapter's inbound endpoints, as the
// bus sees them: the status reader and the data reader.
struct Readers {
    uint64_t interrupt = 0, bulk = 0;
    Json ToJson() const {
        Json json = Json::Object();
        json.Set("interrupt_in", interrupt);
        json.Set("bulk_in", bulk);
        return json;
    }
};

Readers PendingIn(const sim::Adapter& adapter) {
    Readers readers;
    const std::vector<uint8_t>& c = adapter.Usb().ConfigurationDescriptor();
    for (size_t at = 0; at + 7 <= c.size() && c[at] >= 2; at += c[at]) {
        if (c[at + 1] != 5 || !(c[at + 2] & 0x80))
            continue;
        const uint64_t pending = adapter.Usb().PendingUrbs(c[at + 2]);
        ((c[at + 3] & 3) == 3 ? readers.interrupt : readers.bulk) += pending;
    }
    return readers;
}

// Each step in order. A stop leaves no reader; a restart leaves exactly one of
// each kind, never a second one beside a reader that was still running.
void Transfers(Port& port, const sim::Adapter& adapter, const Request& request, Outcome& out) {
    out.json.Set("before", PendingIn(adapter).ToJson());
    Json& steps = out.json.Set("steps", Json::Array());
    for (bool stop : request.stops) {
        Reply reply = port.Call(IOCTL_BRIDGE_CONTROL_TRANSFERS, Port::Word(stop ? 1 : 0), 2);
        port.Settle();
        const Readers readers = PendingIn(adapter);
        Json& step = steps.Push(Json::Object());
        step.Set("action", stop ? "stop" : "restart");
        step.Set("status", StatusText(reply.status));
        step.Set("pending", readers.ToJson());
        const uint64_t expected = stop ? 0 : 1;
        const std::string line = std::string(stop ? "Stop" : "Restart") + ": " +
                                 StatusText(reply.status) + ", outstanding afterwards " +
                                 readers.ToJson().Dump();
        if (reply.Ok() && readers.interrupt == expected && readers.bulk == expected)
            out.lines.push_back(line);
        else
            out.Fail(line + " (expected " + std::to_string(expected) + " of each)");
    }
}

}  // namespace

int CommandChip(const Options& options) {
    Request request;
    if (int bad = ParseRequest(options, &request))
        return bad;
    int variant;
    if (int bad = ParseChip(options, &variant))
        return bad;
    const bool json = options.Flag("--json");
    const char* pcap = options.Value("--pcap");

    sim::Simulation simulation;
    sim::Workbench bench;
    sim::AdapterOptions adapterOptions = AdapterOptionsFrom(options, variant);
    sim::Adapter& adapter = bench.AddAdapter(adapterOptions);
    adapter.Capture().Clear();
    if (pcap && !adapter.Capture().OpenPcap(pcap)) {
        std::fprintf(stderr, "vodrek-sim chip: cannot write the capture to %s\n", pcap);
        return 1;
    }
    auto finish = [&](int exitCode) {
        if (adapter.Present())
            adapter.Remove();
        adapter.Capture().ClosePcap();
        return exitCode;
    };
    const NTSTATUS started = adapter.Plug();
    if (!NT_SUCCESS(started)) {
        std::fprintf(stderr, "vodrek-sim chip: the adapter did not start: %s\n",
                     StatusText(started).c_str());
        return finish(1);
    }
    const std::u16string name = u"\\\\.\\" + adapterOptions.portName.value_or(u"COM3");
    NTSTATUS opened;
    sim::File file = sim::File::Open(name, &opened, sim::OverlappedOpen());
    if (!NT_SUCCESS(opened)) {
        std::fprintf(stderr, "vodrek-sim chip: opening %s failed: %s\n", Narrow(name).c_str(),
                     StatusText(opened).c_str());
        return finish(1);
    }
    Port port(simulation, file);
    Reply type = port.Call(IOCTL_BRIDGE_GET_CHIP_TYPE, {}, 1);
    if (!type.Ok() || type.bytes.size() != 1) {
        std::fprintf(stderr, "vodrek-sim chip: the port did not tell its chip type: %s\n",
                     StatusText(type.status).c_str());
        file.Close();
        return finish(1);
    }
    const int chipType = type.bytes[0];

    // What the open sends the chip (the control lines, the line settings) is
    // out before the operation's own requests are counted.
    port.Settle();
    const size_t firstRequest = adapter.Capture().Records().size();
    Outcome out;
    switch (request.what) {
        case What::Descriptors:
            Descriptors(port, out);
            break;
        case What::Registers:
            Registers(port, chipType, out);
            break;
        case What::RegisterWrite:
            WriteRegister(port, chipType, request, out);
            break;
        case What::MemoryRead:
            MemoryRead(port, request, out);
            break;
        case What::MemoryWrite:
            WriteAndVerify(port, request.from, request.bytes, out);
            break;
        case What::MemoryProgram:
            MemoryProgram(port, chipType, out);
            break;
        case What::Transfers:
            Transfers(port, adapter, request, out);
            break;
    }
    const Json requests = DescribeUsbRequests(adapter.Capture(), firstRequest);
    file.Close();
    if (out.refused)
        return finish(out.refused);

    Json report = Json::Object();
    report.Set("chip_variant", variant);
    report.Set("chip_type", chipType);
    report.Set("ok", out.ok);
    report.Set("result", std::move(out.json));
    report.Set("usb_requests", requests);
    // A re-plug: the driver starts the adapter afresh, as after the cable was
    // pulled and put back, and shows what it sends the chip at the start.
    if (options.Flag("--replug")) {
        adapter.Remove();
        const size_t mark = adapter.Capture().Records().size();
        const NTSTATUS again = adapter.Plug();
        Json& replug = report.Set("replug", Json::Object());
        replug.Set("start_status", StatusText(again));
        replug.Set("usb_requests", DescribeUsbRequests(adapter.Capture(), mark));
        out.lines.push_back("");
        out.lines.push_back(
            "Re-plugged: " + (NT_SUCCESS(again) ? std::string("started") : StatusText(again)) +
            "; the start sent:");
        for (size_t i = mark; i < adapter.Capture().Records().size(); ++i)
            out.lines.push_back("  " + sim::FormatUrbRecord(adapter.Capture().Records()[i]));
        if (!NT_SUCCESS(again))
            out.ok = false;
    }
    if (pcap)
        report.Set("pcap", pcap);

    if (json) {
        std::printf("%s\n", report.Dump().c_str());
    } else {
        std::printf("vodrek-sim chip: chip variant %d, chip type %d (as the port reports it)\n\n",
                    variant, chipType);
        for (const std::string& line : out.lines)
            std::printf("%s\n", line.c_str());
        if (pcap)
            std::printf("\nCapture written to %s\n", pcap);
    }
    return finish(out.ok ? 0 : 1);
}

}  // namespace cli
