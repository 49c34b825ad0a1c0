// Selecting a configuration: the USBD library routines that find interfaces and
// build the request, and the bus's answer to it (interface records, pipes,
// handles that die with the configuration).
#include "tests/sim/usb_fake_function.h"

#include <sim/pool.h>

#include <cstddef>
#include <set>

namespace {

using usbtest::DataTransfer;
using usbtest::DeviceLayout;
using usbtest::InterfaceLayout;
using usbtest::UsbTest;

DeviceLayout TwoInterfaceDevice() {
    DeviceLayout d;
    d.deviceClass = 0x02;
    d.interfaces = {{0, 0, 0x02, 0x02, 0xFF, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1}}},
                    {1,
                     0,
                     0x0A,
                     0x00,
                     0x00,
                     {{0x02, USB_ENDPOINT_TYPE_BULK, 64}, {0x83, USB_ENDPOINT_TYPE_BULK, 64}}}};
    return d;
}

DeviceLayout ThreeInterfaceDevice() {
    DeviceLayout d;
    d.interfaces = {{0, 0, 0xFF, 0xFF, 0xFF, {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 10, 16}}},
                    {1,
                     0,
                     0xFF,
                     0xFF,
                     0xFF,
                     {{0x02, USB_ENDPOINT_TYPE_BULK, 64}, {0x83, USB_ENDPOINT_TYPE_BULK, 64}}},
                    {2,
                     0,
                     0xFF,
                     0xFF,
                     0xFF,
                     {{0x04, USB_ENDPOINT_TYPE_BULK, 64}, {0x85, USB_ENDPOINT_TYPE_BULK, 32}}}};
    return d;
}

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

class UsbConfigurationTest : public UsbTest {};

TEST_F(UsbConfigurationTest, SelectionFillsEveryInterfaceRecordInDescriptorOrder) {
    for (const DeviceLayout& layout :
         {usbtest::OneInterfaceDevice(), TwoInterfaceDevice(), ThreeInterfaceDevice()}) {
        SCOPED_TRACE(std::to_string(layout.interfaces.size()) + " interface(s)");
        client.reset();
        device.reset();
        Plug(layout);
        function->controls.clear();
        auto infos = Configure();
        ASSERT_EQ(infos.size(), layout.interfaces.size());
        std::set<void*> handles;
        for (size_t i = 0; i < infos.size(); ++i) {
            const InterfaceLayout& want = layout.interfaces[i];
            const USBD_INTERFACE_INFORMATION& got = *infos[i];
            EXPECT_EQ(got.Length, GET_USBD_INTERFACE_SIZE(want.endpoints.size()));
            EXPECT_EQ(got.InterfaceNumber, want.number);
            EXPECT_EQ(got.AlternateSetting, 0);
            EXPECT_EQ(got.Class, want.cls);
            EXPECT_EQ(got.SubClass, want.subClass);
            EXPECT_EQ(got.Protocol, want.protocol);
            EXPECT_TRUE(handles.insert(got.InterfaceHandle).second);
            ASSERT_EQ(got.NumberOfPipes, want.endpoints.size());
            for (size_t j = 0; j < want.endpoints.size(); ++j) {
                const USBD_PIPE_INFORMATION& pipe = got.Pipes[j];
                EXPECT_EQ(pipe.EndpointAddress, want.endpoints[j].address);
                EXPECT_EQ(pipe.PipeType, static_cast<USBD_PIPE_TYPE>(want.endpoints[j].type));
                EXPECT_EQ(pipe.MaximumPacketSize, want.endpoints[j].maxPacket);
                EXPECT_EQ(pipe.Interval, want.endpoints[j].interval);
                EXPECT_EQ(pipe.MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
                EXPECT_TRUE(handles.insert(pipe.PipeHandle).second) << "pipe handles are distinct";
            }
        }
        handles.erase(nullptr);
        auto& select = reinterpret_cast<URB*>(selection.data())->UrbSelectConfiguration;
        EXPECT_NE(select.ConfigurationHandle, nullptr);
        EXPECT_EQ(select.Hdr.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(device->ConfigurationValue(), 1);
        EXPECT_EQ(function->configuration, 1);
        ASSERT_EQ(function->controls.size(), 1u);
        EXPECT_EQ(function->controls[0].setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
        EXPECT_EQ(function->controls[0].setup.wValue, 1);

        // The last interface's OUT pipe carries data.
        uint8_t bytes[3] = {1, 2, 3};
        uint8_t out = 0;
        for (const auto& e : layout.interfaces.back().endpoints)
            if (!(e.address & 0x80))
                out = e.address;
        URB write = DataTransfer(Pipe(out), 0, bytes, 3);
        auto r = client->Submit(&write);
        ASSERT_TRUE(RunUntilDone(r));
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(function->received[out].size(), 3u);
    }
}

TEST_F(UsbConfigurationTest, SelectingTwoOfThreeInterfacesOpensOnlyTheirPipes) {
    Plug(ThreeInterfaceDevice());
    configuration = device->ConfigurationDescriptor();
    auto* cfg = AsConfiguration(configuration);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, 0xFF, 0xFF, 0xFF);
    list[1].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 0, 0xFF, 0xFF, 0xFF);
    PURB urb = USBD_CreateConfigurationRequestEx(cfg, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));
    auto r = client->Submit(urb);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
    ASSERT_EQ(list[1].Interface->NumberOfPipes, 2u);
    USBD_PIPE_HANDLE oldIn = list[1].Interface->Pipes[1].PipeHandle;

    // A read left on a pipe of the old configuration is cancelled by the next
    // selection, and the old handles are refused from then on.
    uint8_t buffer[64];
    URB read = DataTransfer(oldIn, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                            sizeof buffer);
    auto pending = client->Submit(&read);
    auto infos = Configure();
    ASSERT_EQ(infos.size(), 3u);
    ASSERT_TRUE(pending->completed);
    EXPECT_EQ(pending->status, STATUS_CANCELLED);
    r = client->Submit(&read);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // Broken requests: an interface the configuration lacks, a record that
    // claims too few pipes, a length that is not the records' sum.
    const USHORT length = urb->UrbHeader.Length;
    const auto* base = reinterpret_cast<uint8_t*>(urb);
    std::vector<uint8_t> copy(base, base + length);
    copy.resize(length + 64u);
    auto* bad = reinterpret_cast<URB*>(copy.data());
    bad->UrbSelectConfiguration.Interface.InterfaceNumber = 7;
    r = client->Submit(bad);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(bad->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_EQ(r->status, STATUS_UNSUCCESSFUL);

    copy.assign(base, base + length);
    copy.resize(length + 64u);
    bad = reinterpret_cast<URB*>(copy.data());
    bad->UrbHeader.Length = static_cast<USHORT>(length + sizeof(USBD_PIPE_INFORMATION));
    r = client->Submit(bad);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(bad->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    // Interface 1 described with room for one pipe of its two.
    std::vector<uint8_t> shortCopy;
    const size_t second = reinterpret_cast<uint8_t*>(list[1].Interface) - base;
    shortCopy.assign(base, base + length - sizeof(USBD_PIPE_INFORMATION));
    bad = reinterpret_cast<URB*>(shortCopy.data());
    bad->UrbHeader.Length = static_cast<USHORT>(shortCopy.size());
    reinterpret_cast<USBD_INTERFACE_INFORMATION*>(shortCopy.data() + second)->Length =
        static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(1));
    r = client->Submit(bad);
    ASSERT_TRUE(r->completed);
    EXPECT_EQ(bad->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(r->status, STATUS_BUFFER_TOO_SMALL);
    ExFreePool(urb);

    // No descriptor: the device goes back to its unconfigured state.
    URB none{};
    none.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    none.UrbSelectConfiguration.Hdr.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    r = client->Submit(&none);
    ASSERT_TRUE(RunUntilDone(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(device->ConfigurationValue(), 0);
    EXPECT_EQ(function->configuration, 0);
    URB write = DataTransfer(Pipe(0x02), 0, buffer, 1);
    r = client->Submit(&write);
    EXPECT_EQ(write.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// A configuration descriptor with alternate settings, class-specific
// descriptors between the standard ones, and an interface without endpoints.
std::vector<uint8_t> Walkable() {
    return {9, 2,    0,    0, 2,  1,    0,    0x80, 50,  //
            9, 4,    0,    0, 1,  0xFF, 0xFF, 0xFF, 0,   // if 0 alt 0
            6, 0x24, 1,    2, 3,  4,                     // class-specific, even length
            7, 5,    0x81, 3, 16, 0,    1,               //
            9, 4,    0,    1, 0,  0xFF, 0xFF, 0x01, 0,   // if 0 alt 1, no endpoints
            5, 0x24, 9,    9, 9,                         // class-specific, odd length
            9, 4,    1,    0, 2,  0x0A, 0x00, 0x00, 0,   // if 1 alt 0
            7, 5,    0x02, 2, 64, 0,    0,               //
            7, 5,    0x83, 2, 64, 0,    0};
}

std::vector<uint8_t> Finished(std::vector<uint8_t> bytes) {
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

TEST(UsbdParseConfigurationDescriptorEx, MinusOneMatchesAnythingAndTheSearchStartsWhereTold) {
    std::vector<uint8_t> bytes = Finished(Walkable());
    auto* cfg = AsConfiguration(bytes);
    auto at = [&](size_t offset) {
        return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + offset);
    };
    const size_t if0 = 9, if0alt1 = 31, if1 = 45;

    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, -1, -1, -1), at(if0));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, 1, -1, -1, -1), at(if0alt1));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, 0x0A, -1, -1), at(if1));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, 0xFF, 0xFF, 0xFF), at(if0));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, 0xFF, 0xFF, 1), at(if0alt1));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 0, 0xFF, 0xFF, 0xFF), nullptr)
        << "255 is a value to match, not a wildcard";
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 2, -1, -1, -1, -1), nullptr);

    // From a position on: the descriptor there counts, earlier ones do not.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, at(if0alt1), -1, -1, -1, -1, -1),
              at(if0alt1));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, bytes.data() + if0 + 9, -1, -1, -1, -1, -1),
              at(if0alt1));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, bytes.data() + if1 + 9, -1, -1, -1, -1, -1),
              nullptr);
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(cfg, bytes.data() + bytes.size(), -1, -1, -1, -1, -1),
        nullptr);

    // The walk stops at wTotalLength and at a descriptor of length zero.
    std::vector<uint8_t> cut = bytes;
    cut[2] = static_cast<uint8_t>(if1 + 4);
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(AsConfiguration(cut), cut.data(), 1, -1, -1, -1, -1),
        nullptr);
    std::vector<uint8_t> broken = bytes;
    broken[40] = 0;  // the odd class-specific descriptor
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfiguration(broken), broken.data(), 1, -1, -1,
                                                  -1, -1),
              nullptr);
}

class UsbdConfigurationRequest : public simtest::SimTest {};

TEST_F(UsbdConfigurationRequest, ExBuildsOneRecordPerListedInterfaceInCallerFreedPool) {
    std::vector<uint8_t> bytes = Finished(Walkable());
    auto* cfg = AsConfiguration(bytes);
    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 1, -1, -1, -1);
    list[2].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cfg, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 3));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cfg);
    EXPECT_TRUE(sim::IsPoolBlock(urb));
    EXPECT_EQ(sim::PoolBlockSize(urb), urb->UrbHeader.Length);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kUsbdLibraryPoolTag), 1u);

    auto* next = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
    const UCHAR numbers[3][3] = {{1, 0, 2}, {0, 1, 0}, {0, 0, 1}};  // number, alternate, pipes
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(reinterpret_cast<uint8_t*>(list[i].Interface), next);
        EXPECT_EQ(list[i].Interface->InterfaceNumber, numbers[i][0]);
        EXPECT_EQ(list[i].Interface->AlternateSetting, numbers[i][1]);
        EXPECT_EQ(list[i].Interface->NumberOfPipes, numbers[i][2]);
        EXPECT_EQ(list[i].Interface->Length, GET_USBD_INTERFACE_SIZE(numbers[i][2]));
        for (int j = 0; j < numbers[i][2]; ++j)
            EXPECT_EQ(list[i].Interface->Pipes[j].MaximumTransferSize,
                      USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        next += list[i].Interface->Length;
    }
    EXPECT_EQ(next, reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length);
    EXPECT_EQ(list[3].Interface, nullptr);
    ExFreePool(urb);
    EXPECT_EQ(sim::PoolBlocksWithTag(sim::kUsbdLibraryPoolTag), 0u);

    USBD_INTERFACE_LIST_ENTRY empty[1] = {};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg, empty), nullptr);
    sim::FailNthPoolAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg, list), nullptr);
}

TEST_F(UsbdConfigurationRequest, OlderFormSelectsTheFirstInterfaceAndReportsTheSize) {
    std::vector<uint8_t> bytes = Finished(Walkable());
    auto* cfg = AsConfiguration(bytes);
    USHORT size = 0xFFFF;
    PURB urb = USBD_CreateConfigurationRequest(cfg, &size);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(size, urb->UrbHeader.Length);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.InterfaceNumber, 0);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.AlternateSetting, 0);
    EXPECT_EQ(urb->UrbSelectConfiguration.Interface.NumberOfPipes, 1u);
    ExFreePool(urb);
    sim::FailNthPoolAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequest(cfg, &size), nullptr);
    EXPECT_EQ(size, 0);
}

}  // namespace
