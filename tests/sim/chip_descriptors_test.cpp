// The chip model's descriptors: each variant is recognised by exactly its own
// chip-type rule when the rule reads the bytes the chip sends, its configuration
// meets the interface criteria, and GET_DESCRIPTOR truncates and refuses as a
// device does.
#include "tests/sim/chip_test_host.h"
#include "tests/support/sim_fixture.h"

#include <string>
#include <vector>

namespace {

using chiptest::ChipHost;
using chiptest::Options;

class ChipDescriptors : public simtest::SimTest {};

// The chip-type decision made from wire bytes only: the device-descriptor rule
// table, then for type 2 the marks in strings 2 and 1 (read 64 bytes each).
int ChipTypeFromWire(ChipHost& host) {
    auto device = host.Descriptor(1, 0, 18);
    if (!device || device->size() != 18)
        return -100;
    int type = -1;
    const uint8_t cls = (*device)[4];
    if (cls == 0x02) {
        type = 0;
    } else if ((*device)[7] == 0x40) {
        type = 2;
    } else if (cls == 0x00 || cls == 0xFF) {
        type = 1;
    }
    if (type == 2) {
        auto product = host.String(2);
        if (product && product->size() > 46 && (*product)[46] == 'C')
            type = 3;
        auto maker = host.String(1);
        if (maker && maker->size() > 50 && (*maker)[50] == ' ')
            type = 4;
    }
    return type;
}

struct Endpoint {
    uint8_t address, attributes;
    uint16_t maxPacket;
    uint8_t interval;
};
struct Interface {
    uint8_t number, alternate, cls, subclass, protocol, declaredEndpoints;
    std::vector<Endpoint> endpoints;
    int classSpecific = 0;
};
struct Configuration {
    uint16_t totalLength = 0;
    uint8_t numInterfaces = 0, value = 0, attributes = 0;
    std::vector<Interface> interfaces;
    bool wellFormed = true;
};

// Walks the descriptors by their length bytes, as a host does.
Configuration Parse(const std::vector<uint8_t>& bytes) {
    Configuration cfg;
    if (bytes.size() < 9 || bytes[0] != 9 || bytes[1] != 2) {
        cfg.wellFormed = false;
        return cfg;
    }
    cfg.totalLength = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
    cfg.numInterfaces = bytes[4];
    cfg.value = bytes[5];
    cfg.attributes = bytes[7];
    size_t at = 9;
    while (at < bytes.size()) {
        uint8_t length = bytes[at];
        if (length < 2 || at + length > bytes.size()) {
            cfg.wellFormed = false;
            break;
        }
        const uint8_t* d = &bytes[at];
        if (d[1] == 4 && length == 9) {
            cfg.interfaces.push_back({d[2], d[3], d[5], d[6], d[7], d[4], {}, 0});
        } else if (d[1] == 5 && length == 7 && !cfg.interfaces.empty()) {
            cfg.interfaces.back().endpoints.push_back(
                {d[2], d[3], static_cast<uint16_t>(d[4] | d[5] << 8), d[6]});
        } else if (d[1] == 0x24 && !cfg.interfaces.empty()) {
            cfg.interfaces.back().classSpecific++;
        } else {
            cfg.wellFormed = false;
        }
        at += length;
    }
    return cfg;
}

bool IsInterruptIn(const Endpoint& e) {
    return (e.address & 0x80) && (e.attributes & 3) == 3;
}
bool IsBulkIn(const Endpoint& e) {
    return (e.address & 0x80) && (e.attributes & 3) == 2;
}
bool IsBulkOut(const Endpoint& e) {
    return !(e.address & 0x80) && (e.attributes & 3) == 2;
}

std::u16string Text(const std::vector<uint8_t>& descriptor) {
    std::u16string out;
    for (size_t i = 2; i + 1 < descriptor.size(); i += 2) {
        out.push_back(static_cast<char16_t>(descriptor[i] | descriptor[i + 1] << 8));
    }
    return out;
}

TEST_F(ChipDescriptors, EachVariantMeetsExactlyItsOwnChipTypeRule) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        EXPECT_EQ(ChipTypeFromWire(host), variant) << "variant " << variant;

        auto device = host.Descriptor(1, 0, 18);
        ASSERT_TRUE(device);
        EXPECT_EQ((*device)[0], 18);
        EXPECT_EQ((*device)[1], 1);
        EXPECT_EQ((*device)[8] | (*device)[9] << 8, VODREK_USB_VENDOR_ID);
        EXPECT_EQ((*device)[10] | (*device)[11] << 8, VODREK_USB_PRODUCT_ID);
        EXPECT_EQ((*device)[17], 1) << "one configuration";
        if (variant == 0) {
            EXPECT_EQ((*device)[7], 64) << "the class must win over the packet size";
        }
        if (variant == 1) {
            EXPECT_EQ((*device)[7], 8);
        }
    }
}

TEST_F(ChipDescriptors, StringMarksSitAtTheirOffsetsAndNowhereElse) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        auto maker = host.String(1);
        auto product = host.String(2);
        ASSERT_TRUE(maker && product);
        // Long enough that the bytes the rule looks at come from the chip, never from
        // whatever the reader's buffer held.
        ASSERT_GT(product->size(), 47u);
        ASSERT_GT(maker->size(), 51u);
        EXPECT_EQ((*product)[47], 0) << "character 23 is a plain ASCII character";
        EXPECT_EQ((*maker)[51], 0);
        EXPECT_EQ((*product)[46] == 'C', variant >= 3) << "variant " << variant;
        EXPECT_EQ((*maker)[50] == ' ', variant == 4) << "variant " << variant;
        EXPECT_EQ(Text(*product)[22] == u'C', variant >= 3);
        EXPECT_EQ(Text(*maker)[24] == u' ', variant == 4);
    }
}

TEST_F(ChipDescriptors, StringsAreWellFormedAndTheDeviceIndexesNameThem) {
    sim::BridgeChip chip(2);
    ChipHost host{chip};
    EXPECT_EQ(host.String(0, 255), (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
    auto device = host.Descriptor(1, 0, 18);
    ASSERT_TRUE(device);
    for (int field : {14, 15, 16}) {
        uint8_t index = (*device)[field];
        ASSERT_NE(index, 0);
        auto s = host.String(index, 255);
        ASSERT_TRUE(s) << "string " << int(index);
        EXPECT_EQ((*s)[0], s->size());
        EXPECT_EQ((*s)[1], 3);
        EXPECT_EQ(s->size() % 2, 0u);
        EXPECT_GT(Text(*s).size(), 4u);
    }
    // Two chips of a kind told apart by serial number is a descriptor edit away.
    sim::DescriptorSet other = sim::BridgeDescriptors(2);
    other.strings[3] = u"VDK2-000002";
    sim::BridgeChip second(2, Options([&](auto& o) { o.descriptors = other; }));
    ChipHost secondHost{second};
    EXPECT_NE(host.String(3), secondHost.String(3));
}

TEST_F(ChipDescriptors, ConfigurationsMeetTheInterfaceCriteriaAndPipeOrder) {
    for (int variant = 0; variant < sim::BridgeChip::kVariantCount; ++variant) {
        sim::BridgeChip chip(variant);
        ChipHost host{chip};
        auto header = host.Descriptor(2, 0, 9);
        ASSERT_TRUE(header);
        ASSERT_EQ(header->size(), 9u);
        uint16_t total = static_cast<uint16_t>((*header)[2] | (*header)[3] << 8);
        auto whole = host.Descriptor(2, 0, total);
        ASSERT_TRUE(whole);
        ASSERT_EQ(whole->size(), total);
        Configuration cfg = Parse(*whole);
        ASSERT_TRUE(cfg.wellFormed) << "variant " << variant;
        EXPECT_EQ(cfg.value, 1);
        EXPECT_TRUE(cfg.attributes & 0x80) << "bit 7 is always set";
        for (const Interface& itf : cfg.interfaces) {
            EXPECT_EQ(itf.declaredEndpoints, itf.endpoints.size());
            for (const Endpoint& e : itf.endpoints) {
                if (IsInterruptIn(e)) {
                    EXPECT_GE(e.maxPacket, 10) << "a status packet fits one transaction";
                    EXPECT_GE(e.interval, 1);
                } else {
                    EXPECT_EQ(e.maxPacket, 64);
                }
            }
        }
        if (variant == 0) {
            ASSERT_EQ(cfg.numInterfaces, 2);
            ASSERT_EQ(cfg.interfaces.size(), 2u);
            const Interface& comm = cfg.interfaces[0];
            const Interface& data = cfg.interfaces[1];
            EXPECT_EQ(comm.number, 0);
            EXPECT_EQ((std::vector<int>{comm.cls, comm.subclass, comm.protocol}),
                      (std::vector<int>{0x02, 0x02, 0xFF}));
            EXPECT_GT(comm.classSpecific, 0) << "parsers must step over functional descriptors";
            ASSERT_EQ(comm.endpoints.size(), 1u);
            EXPECT_TRUE(IsInterruptIn(comm.endpoints[0]));
            EXPECT_EQ(data.number, 1);
            EXPECT_EQ((std::vector<int>{data.cls, data.subclass, data.protocol}),
                      (std::vector<int>{0x0A, 0x00, 0x00}));
            ASSERT_EQ(data.endpoints.size(), 2u);
            EXPECT_TRUE(IsBulkOut(data.endpoints[0]));
            EXPECT_TRUE(IsBulkIn(data.endpoints[1]));
        } else {
            ASSERT_EQ(cfg.numInterfaces, 1);
            ASSERT_EQ(cfg.interfaces.size(), 1u);
            const auto& eps = cfg.interfaces[0].endpoints;
            ASSERT_EQ(eps.size(), 3u);
            EXPECT_TRUE(IsInterruptIn(eps[0]));
            EXPECT_TRUE(IsBulkOut(eps[1]));
            EXPECT_TRUE(IsBulkIn(eps[2]));
        }
    }
}

TEST_F(ChipDescriptors, OverriddenConfigurationsKeepTheirRolesAndCriteria) {
    {
        sim::BridgeChip chip(
            2, Options([](auto& o) { o.descriptors = sim::VendorTwoInterfaceDescriptors(2); }));
        ChipHost host{chip};
        Configuration cfg = Parse(*host.Descriptor(2, 0, 512));
        ASSERT_TRUE(cfg.wellFormed);
        ASSERT_EQ(cfg.numInterfaces, 2);
        for (const Interface& itf : cfg.interfaces) {
            EXPECT_EQ((std::vector<int>{itf.cls, itf.subclass, itf.protocol}),
                      (std::vector<int>{0xFF, 0xFF, 0xFF}));
        }
        EXPECT_TRUE(IsInterruptIn(cfg.interfaces[0].endpoints.at(0)));
        EXPECT_TRUE(IsBulkOut(cfg.interfaces[1].endpoints.at(0)));
        EXPECT_TRUE(IsBulkIn(cfg.interfaces[1].endpoints.at(1)));
        EXPECT_EQ(ChipTypeFromWire(host), 2) << "the device descriptor is the variant's own";
    }
    for (int variant : {0, 3}) {
        sim::BridgeChip chip(variant, Options([&](auto& o) {
                                 o.descriptors = sim::ThreeInterfaceDescriptors(variant);
                             }));
        ChipHost host{chip};
        Configuration cfg = Parse(*host.Descriptor(2, 0, 512));
        ASSERT_TRUE(cfg.wellFormed);
        EXPECT_EQ(cfg.numInterfaces, 3);
        ASSERT_EQ(cfg.interfaces.size(), 3u);
        EXPECT_EQ(cfg.interfaces[2].number, 2);
        EXPECT_EQ(cfg.interfaces[0].cls, variant == 0 ? 0x02 : 0xFF);
        EXPECT_EQ(chip.StatusEndpoint(), cfg.interfaces[0].endpoints.at(0).address);
        EXPECT_EQ(chip.BulkOutEndpoint(), cfg.interfaces[1].endpoints.at(0).address);
        EXPECT_EQ(chip.BulkInEndpoint(), cfg.interfaces[1].endpoints.at(1).address);
    }
}

TEST_F(ChipDescriptors, GetDescriptorTruncatesToWLength) {
    sim::BridgeChip chip(4);
    ChipHost host{chip};
    auto device = host.Descriptor(1, 0, 18);
    auto config = host.Descriptor(2, 0, 0xFFFF);
    auto product = host.String(2, 255);
    ASSERT_TRUE(device && config && product);
    EXPECT_EQ(config->size(), static_cast<size_t>((*config)[2] | (*config)[3] << 8))
        << "a generous wLength gets the descriptor and no more";
    EXPECT_EQ(product->size(), (*product)[0]);

    for (uint16_t length : {1, 8, 17}) {
        auto cut = host.Descriptor(1, 0, length);
        ASSERT_TRUE(cut);
        EXPECT_EQ(*cut, std::vector<uint8_t>(device->begin(), device->begin() + length));
    }
    auto configHead = host.Descriptor(2, 0, 9);
    EXPECT_EQ(*configHead, std::vector<uint8_t>(config->begin(), config->begin() + 9));
    auto stringHead = host.String(2, 2);
    EXPECT_EQ(*stringHead, (std::vector<uint8_t>{(*product)[0], 3}))
        << "the two-byte read that learns the length";
    ASSERT_GT(product->size(), 64u);
    auto longString = host.String(2, 64);
    EXPECT_EQ(*longString, std::vector<uint8_t>(product->begin(), product->begin() + 64));
    auto none = host.Descriptor(1, 0, 0);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST_F(ChipDescriptors, DescriptorsTheChipDoesNotHaveAreStalled) {
    sim::BridgeChip chip(4, Options([](auto& o) { o.stalledStrings = {2}; }));
    ChipHost host{chip};
    EXPECT_FALSE(host.Descriptor(6, 0, 10)) << "device qualifier: full speed only";
    EXPECT_FALSE(host.Descriptor(7, 0, 9)) << "other-speed configuration";
    EXPECT_FALSE(host.Descriptor(2, 1, 9)) << "there is one configuration";
    EXPECT_FALSE(host.Descriptor(1, 1, 18));
    EXPECT_FALSE(host.String(9));
    EXPECT_FALSE(host.Descriptor(3, 1, 64, 0x0407)) << "a language the chip does not list";
    EXPECT_FALSE(host.String(2)) << "the string set up to fail";
    EXPECT_TRUE(host.String(1)) << "the others still answer";
    // A device-to-host GET_DESCRIPTOR aimed at an interface is not a standard one here.
    EXPECT_FALSE(host.In(0x81, 6, 0x0100, 0, 18));
    EXPECT_EQ(chip.ControlLog().back().result, sim::Handshake::Stall);
    EXPECT_TRUE(chip.ControlLog().back().data.empty()) << "nothing answered on a stall";
}

}  // namespace
