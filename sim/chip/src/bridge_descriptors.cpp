// The chip's descriptors: byte images from the descriptor fields, and the five
// variants as they ship.
#include <sim/bridge_chip.h>

#include <algorithm>

namespace sim {
namespace {

constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kStringType = 3;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;

constexpr uint8_t kBulk = 2;
constexpr uint8_t kInterrupt = 3;

void PutWord(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// The same three endpoints on every variant; only the interfaces they sit in differ.
// Status packets are 10 bytes, so the interrupt endpoint gets room for one whole.
EndpointDescription StatusEndpointDescription() {
    return {0x81, kInterrupt, 16, 1};
}
EndpointDescription BulkOutDescription() {
    return {0x02, kBulk, 64, 0};
}
EndpointDescription BulkInDescription() {
    return {0x83, kBulk, 64, 0};
}

// Communications-class functional descriptors of variant 0's first interface: header,
// call management, abstract control (line coding, serial state and break) and union
// of interfaces 0 and 1. The driver does not read them; they are there so that
// parsing the configuration has to step over class-specific descriptors.
std::vector<std::vector<uint8_t>> CommunicationsFunctionalDescriptors() {
    return {{0x05, 0x24, 0x00, 0x10, 0x01},
            {0x05, 0x24, 0x01, 0x00, 0x01},
            {0x04, 0x24, 0x02, 0x06},
            {0x05, 0x24, 0x06, 0x00, 0x01}};
}

// Product names share a 22-character stem, so the letter after it is always the 23rd
// character: the newer chips are told apart by it.
const char16_t* const kProducts[BridgeChip::kVariantCount] = {
    u"Vodrek Serial Bridge, Legacy",       u"Vodrek Serial Bridge, Basic",
    u"Vodrek Serial Bridge, Standard",     u"Vodrek Serial Bridge, Compact",
    u"Vodrek Serial Bridge, Compact Plus",
};
// The 25th character of the maker's name is a comma on every variant but the last,
// whose name drops it.
const char16_t* const kMakerWithComma = u"Vodrek Simulated Devices, Inc.";
const char16_t* const kMakerWithoutComma = u"Vodrek Simulated Devices Inc.";

int ClampVariant(int variant) {
    return std::clamp(variant, 0, BridgeChip::kVariantCount - 1);
}

}  // namespace

std::vector<uint8_t> DescriptorSet::DeviceDescriptor() const {
    std::vector<uint8_t> out = {18, kDeviceType};
    PutWord(out, device.bcdUSB);
    out.push_back(device.deviceClass);
    out.push_back(device.deviceSubClass);
    out.push_back(device.deviceProtocol);
    out.push_back(device.maxPacketSize0);
    PutWord(out, device.vendorId);
    PutWord(out, device.productId);
    PutWord(out, device.bcdDevice);
    out.push_back(device.manufacturerIndex);
    out.push_back(device.productIndex);
    out.push_back(device.serialNumberIndex);
    out.push_back(1);  // one configuration
    return out;
}

std::vector<uint8_t> DescriptorSet::ConfigurationDescriptor() const {
    std::vector<uint8_t> out = {9, kConfigurationType, 0, 0};
    // bNumInterfaces counts interfaces, not alternate settings.
    std::set<uint8_t> numbers;
    for (const InterfaceDescription& itf : configuration.interfaces)
        numbers.insert(itf.number);
    out.push_back(static_cast<uint8_t>(numbers.size()));
    out.push_back(configuration.value);
    out.push_back(0);  // no configuration string
    out.push_back(configuration.attributes);
    out.push_back(configuration.maxPower);
    for (const InterfaceDescription& itf : configuration.interfaces) {
        out.insert(out.end(), {9, kInterfaceType, itf.number, itf.alternateSetting,
                               static_cast<uint8_t>(itf.endpoints.size()), itf.interfaceClass,
                               itf.interfaceSubClass, itf.interfaceProtocol, 0});
        for (const std::vector<uint8_t>& extra : itf.classDescriptors) {
            out.insert(out.end(), extra.begin(), extra.end());
        }
        for (const EndpointDescription& ep : itf.endpoints) {
            out.insert(out.end(), {7, kEndpointType, ep.address, ep.attributes});
            PutWord(out, ep.maxPacketSize);
            out.push_back(ep.interval);
        }
    }
    out[2] = static_cast<uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

std::vector<uint8_t> DescriptorSet::StringDescriptor(uint8_t index) const {
    std::vector<uint8_t> out = {0, kStringType};
    if (index == 0) {
        for (uint16_t language : languages)
            PutWord(out, language);
    } else {
        auto it = strings.find(index);
        if (it == strings.end())
            return {};
        // bLength is one byte: at most 126 UTF-16 units fit.
        size_t units = std::min<size_t>(it->second.size(), 126);
        for (size_t i = 0; i < units; ++i)
            PutWord(out, static_cast<uint16_t>(it->second[i]));
    }
    out[0] = static_cast<uint8_t>(out.size());
    return out;
}

DescriptorSet BridgeDescriptors(int variant) {
    variant = ClampVariant(variant);
    DescriptorSet set;
    DeviceDescription& dev = set.device;
    dev.bcdUSB = variant < 2 ? 0x0110 : 0x0200;
    // Variant 0 presents itself as a communications device; its 64-byte control
    // endpoint is the same as the newer chips', so only the class sets it apart.
    dev.deviceClass = variant == 0 ? 0x02 : 0x00;
    dev.maxPacketSize0 = variant == 1 ? 8 : 64;
    dev.vendorId = BridgeChip::kVendorId;
    dev.productId = BridgeChip::kProductId;
    dev.bcdDevice = static_cast<uint16_t>(0x0100 * (variant + 1));

    ConfigurationDescription& cfg = set.configuration;
    if (variant == 0) {
        InterfaceDescription comm{0, 0, 0x02, 0x02, 0xFF, {}, {StatusEndpointDescription()}};
        comm.classDescriptors = CommunicationsFunctionalDescriptors();
        InterfaceDescription data{
            1, 0, 0x0A, 0x00, 0x00, {}, {BulkOutDescription(), BulkInDescription()}};
        cfg.interfaces = {comm, data};
    } else {
        InterfaceDescription only{0, 0, 0xFF, 0x00, 0x00, {}, {}};
        only.endpoints = {StatusEndpointDescription(), BulkOutDescription(), BulkInDescription()};
        cfg.interfaces = {only};
    }

    set.strings[1] = variant == 4 ? kMakerWithoutComma : kMakerWithComma;
    set.strings[2] = kProducts[variant];
    set.strings[3] = u"VDK" + std::u16string(1, static_cast<char16_t>(u'0' + variant)) + u"-000001";
    return set;
}

DescriptorSet VendorTwoInterfaceDescriptors(int variant) {
    DescriptorSet set = BridgeDescriptors(variant);
    set.configuration.interfaces = {
        InterfaceDescription{0, 0, 0xFF, 0xFF, 0xFF, {}, {StatusEndpointDescription()}},
        InterfaceDescription{
            1, 0, 0xFF, 0xFF, 0xFF, {}, {BulkOutDescription(), BulkInDescription()}}};
    return set;
}

DescriptorSet ThreeInterfaceDescriptors(int variant) {
    variant = ClampVariant(variant);
    DescriptorSet set =
        variant == 0 ? BridgeDescriptors(0) : VendorTwoInterfaceDescriptors(variant);
    set.configuration.interfaces.push_back(InterfaceDescription{2, 0, 0xFF, 0xFF, 0xFF, {}, {}});
    return set;
}

}  // namespace sim
