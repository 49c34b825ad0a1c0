// vodrek-sim probe --wmi: after the start, read the port's five WMI blocks as a
// WMI consumer would and report each by its class, every property by the name the
// class gives it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sim/wmi.h>

#include "probe.h"

namespace cli {

namespace {

// For the person reading: filled by the run, printed with the port.
std::vector<std::string> g_lines;

template <typename T>
bool Decode(const std::vector<uint8_t>& data, T* record) {
    if (data.size() < sizeof(T))
        return false;
    std::memcpy(record, data.data(), sizeof(T));
    return true;
}

// One block's properties; `line` collects them for the person reading.
class Properties {
  public:
    Properties(Json& object, const std::u16string& instanceName) : object_(object) {
        object_.Set("InstanceName", Narrow(instanceName));
        object_.Set("Active", true);
    }
    template <typename V>
    void Set(const char* name, V value) {
        object_.Set(name, value);
        Note(name, std::to_string(value));
    }
    void Flag(const char* name, BOOLEAN value) {
        object_.Set(name, value != 0);
        Note(name, value ? "true" : "false");
    }
    void Text(const char* name, const std::string& value) {
        object_.Set(name, value);
        Note(name, "\"" + value + "\"");
    }
    Json& Raw(const char* name, Json value) { return object_.Set(name, std::move(value)); }
    std::string line;

  private:
    void Note(const char* name, const std::string& value) {
        line += (line.empty() ? "" : ", ") + std::string(name) + " " + value;
    }
    Json& object_;
};

bool PortName(const std::vector<uint8_t>& data, Properties& p) {
    USHORT length;
    if (!Decode(data, &length) || data.size() < sizeof(length) + length)
        return false;
    std::u16string name(length / sizeof(char16_t), u'\0');
    std::memcpy(&name[0], data.data() + sizeof(length), length);
    p.Text("PortName", Narrow(name));
    return true;
}

bool CommInfo(const std::vector<uint8_t>& data, Properties& p) {
    SERIAL_WMI_COMM_DATA c;
    if (!Decode(data, &c))
        return false;
    p.Set("BaudRate", c.BaudRate);
    p.Set("BitsPerByte", c.BitsPerByte);
    p.Set("Parity", c.Parity);
    p.Flag("ParityCheckEnable", c.ParityCheckEnable);
    p.Set("StopBits", c.StopBits);
    p.Set("XoffCharacter", c.XoffCharacter);
    p.Set("XoffXmitThreshold", c.XoffXmitThreshold);
    p.Set("XonCharacter", c.XonCharacter);
    p.Set("XonXmitThreshold", c.XonXmitThreshold);
    p.Set("MaximumBaudRate", c.MaximumBaudRate);
    p.Set("MaximumOutputBufferSize", c.MaximumOutputBufferSize);
    p.Set("MaximumInputBufferSize", c.MaximumInputBufferSize);
    p.Flag("Support16BitMode", c.Support16BitMode);
    p.Flag("SupportDTRDSR", c.SupportDTRDSR);
    p.Flag("SupportIntervalTimeouts", c.SupportIntervalTimeouts);
    p.Flag("SupportParityCheck", c.SupportParityCheck);
    p.Flag("SupportRTSCTS", c.SupportRTSCTS);
    p.Flag("SupportXonXoff", c.SupportXonXoff);
    p.Flag("SettableBaudRate", c.SettableBaudRate);
    p.Flag("SettableDataBits", c.SettableDataBits);
    p.Flag("SettableFlowControl", c.SettableFlowControl);
    p.Flag("SettableParity", c.SettableParity);
    p.Flag("SettableParityCheck", c.SettableParityCheck);
    p.Flag("SettableStopBits", c.SettableStopBits);
    p.Flag("IsBusy", c.IsBusy);
    return true;
}

bool HardwareConfiguration(const std::vector<uint8_t>& data, Properties& p) {
    SERIAL_WMI_HW_DATA h;
    if (!Decode(data, &h))
        return false;
    p.Set("IrqNumber", h.IrqNumber);
    p.Set("IrqVector", h.IrqVector);
    p.Set("IrqLevel", h.IrqLevel);
    p.Set("IrqAffinityMask", static_cast<uint64_t>(h.IrqAffinityMask));
    p.Set("InterruptType", h.InterruptType);
    p.Set("BaseIOAddress", static_cast<uint64_t>(h.BaseIOAddress));
    return true;
}

bool PerformanceInformation(const std::vector<uint8_t>& data, Properties& p) {
    SERIAL_WMI_PERF_DATA s;
    if (!Decode(data, &s))
        return false;
    p.Set("ReceivedCount", s.ReceivedCount);
    p.Set("TransmittedCount", s.TransmittedCount);
    p.Set("FrameErrorCount", s.FrameErrorCount);
    p.Set("SerialOverrunErrorCount", s.SerialOverrunErrorCount);
    p.Set("BufferOverrunErrorCount", s.BufferOverrunErrorCount);
    p.Set("ParityErrorCount", s.ParityErrorCount);
    return true;
}

bool CommProperties(const std::vector<uint8_t>& data, Properties& p) {
    SERIAL_WMI_COMMPROP c;
    if (!Decode(data, &c))
        return false;
    p.Set("wPacketLength", c.wPacketLength);
    p.Set("wPacketVersion", c.wPacketVersion);
    p.Set("dwServiceMask", c.dwServiceMask);
    p.Set("dwReserved1", c.dwReserved1);
    p.Set("dwMaxTxQueue", c.dwMaxTxQueue);
    p.Set("dwMaxRxQueue", c.dwMaxRxQueue);
    p.Set("dwMaxBaud", c.dwMaxBaud);
    p.Set("dwProvSubType", c.dwProvSubType);
    p.Set("dwProvCapabilities", c.dwProvCapabilities);
    p.Set("dwSettableParams", c.dwSettableParams);
    p.Set("dwSettableBaud", c.dwSettableBaud);
    p.Set("wSettableData", c.wSettableData);
    p.Set("wSettableStopParity", c.wSettableStopParity);
    p.Set("dwCurrentTxQueue", c.dwCurrentTxQueue);
    p.Set("dwCurrentRxQueue", c.dwCurrentRxQueue);
    p.Set("dwProvSpec1", c.dwProvSpec1);
    p.Set("dwProvSpec2", c.dwProvSpec2);
    p.Set("dwProvCharSize", c.dwProvCharSize);
    // The provider-specific bytes that follow, dwProvCharSize of them.
    const size_t at = FIELD_OFFSET(SERIAL_WMI_COMMPROP, wcProvChar);
    Json& chars = p.Raw("wcProvChar", Json::Array());
    for (size_t i = 0; i < c.dwProvCharSize && at + i < data.size(); ++i)
        chars.Push(static_cast<int>(data[at + i]));
    return true;
}

struct WmiClass {
    const char* name;
    const GUID* guid;
    bool (*decode)(const std::vector<uint8_t>& data, Properties& p);
};
const WmiClass kClasses[] = {
    {"MSSerial_PortName", &MSSerial_PortName_GUID, PortName},
    {"MSSerial_CommInfo", &MSSerial_CommInfo_GUID, CommInfo},
    {"MSSerial_HardwareConfiguration", &MSSerial_HardwareConfiguration_GUID, HardwareConfiguration},
    {"MSSerial_PerformanceInformation", &MSSerial_PerformanceInformation_GUID,
     PerformanceInformation},
    {"MSSerial_CommProperties", &MSSerial_CommProperties_GUID, CommProperties},
};

}  // namespace

void RunWmi(const Options& options, sim::Adapter& adapter, Json& out) {
    g_lines.clear();
    if (!options.Flag("--wmi") || !adapter.Present())
        return;
    Json& wmi = out.Set("wmi", Json::Object());
    for (const WmiClass& c : kClasses) {
        Json& block = wmi.Set(c.name, Json::Object());
        // All instances of the class, as a consumer enumerates them; the port has one.
        sim::WmiQueryResult result = sim::WmiQueryAllData(adapter.Fdo(), *c.guid);
        if (!NT_SUCCESS(result.status) || result.tooSmall || result.instances.size() != 1) {
            const NTSTATUS status = NT_SUCCESS(result.status) ? STATUS_UNSUCCESSFUL : result.status;
            block.Set("error", StatusText(status));
            g_lines.push_back(std::string(c.name) + ": not answered (" + StatusText(status) + ")");
            continue;
        }
        Properties properties(block, result.instances[0].name);
        if (!c.decode(result.instances[0].data, properties)) {
            block = Json::Object();
            block.Set("error", "block shorter than its class");
            g_lines.push_back(std::string(c.name) + ": block shorter than its class");
            continue;
        }
        g_lines.push_back(std::string(c.name) + " (" + Narrow(result.instances[0].name) + ")");
        // Wrapped for a terminal, a property never split.
        std::string line = "   ";
        size_t from = 0;
        while (from < properties.line.size()) {
            size_t to = properties.line.find(", ", from);
            if (to == std::string::npos)
                to = properties.line.size();
            const std::string item = properties.line.substr(from, to - from);
            if (line.size() > 3 && line.size() + item.size() + 2 > 96) {
                g_lines.push_back(line);
                line = "   ";
            }
            line += (line.size() > 3 ? ", " : " ") + item;
            from = to + 2;
        }
        g_lines.push_back(line);
    }
}

void PrintWmi() {
    if (g_lines.empty())
        return;
    std::printf("\nWMI\n");
    for (const std::string& line : g_lines)
        std::printf("  %s\n", line.c_str());
}

}  // namespace cli
