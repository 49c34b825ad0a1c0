// The USB driver-interface library routines a client links against: finding an
// interface descriptor in a configuration descriptor, and building the
// SELECT_CONFIGURATION URB for a list of interfaces. The URBs come from
// non-paged pool and belong to the caller, who frees them with ExFreePool.
#include <sim/usb_bus.h>
#include <simnt/usbdlib.h>
#include <sim/ddi.h>

#include <cstddef>
#include <cstring>

namespace {

const uint8_t* EndOf(PUSB_CONFIGURATION_DESCRIPTOR config) {
    return reinterpret_cast<const uint8_t*>(config) + config->wTotalLength;
}

// A SELECT_CONFIGURATION URB for the listed interfaces, each record sized for
// its endpoints and pointed to from its list entry.
PURB BuildSelection(PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_LIST_ENTRY list) {
    size_t interfaces = 0;
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (; list[interfaces].InterfaceDescriptor; ++interfaces)
        size += GET_USBD_INTERFACE_SIZE(list[interfaces].InterfaceDescriptor->bNumEndpoints);
    // An empty list selects nothing a client could use: no request is built.
    if (interfaces == 0 || size > MAXUSHORT)
        return nullptr;
    auto* urb =
        static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, sim::kUsbdLibraryPoolTag));
    if (!urb)
        return nullptr;
    std::memset(urb, 0, size);
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    auto* record = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < interfaces; ++i) {
        const USB_INTERFACE_DESCRIPTOR& d = *list[i].InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d.bNumEndpoints));
        info->InterfaceNumber = d.bInterfaceNumber;
        info->AlternateSetting = d.bAlternateSetting;
        info->NumberOfPipes = d.bNumEndpoints;
        for (ULONG j = 0; j < d.bNumEndpoints; ++j)
            info->Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        list[i].Interface = info;
        record += info->Length;
    }
    return urb;
}

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) { SIM_DDI();
    if (!ConfigurationDescriptor || !StartPosition)
        return nullptr;
    const auto* begin = reinterpret_cast<const uint8_t*>(ConfigurationDescriptor);
    const uint8_t* end = EndOf(ConfigurationDescriptor);
    const auto* p = static_cast<const uint8_t*>(StartPosition);
    if (p < begin || p >= end)
        return nullptr;
    // -1 matches anything; a descriptor that claims to run past the end, or a
    // zero length that would never move on, ends the walk.
    auto matches = [](LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; };
    while (p + 2 <= end && p[0] >= 2 && p + p[0] <= end) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<uint8_t*>(p));
            if (matches(InterfaceNumber, d->bInterfaceNumber) &&
                matches(AlternateSetting, d->bAlternateSetting) &&
                matches(InterfaceClass, d->bInterfaceClass) &&
                matches(InterfaceSubClass, d->bInterfaceSubClass) &&
                matches(InterfaceProtocol, d->bInterfaceProtocol))
                return d;
        }
        p += p[0];
    }
    return nullptr;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) { SIM_DDI();
    if (!ConfigurationDescriptor || !InterfaceList)
        return nullptr;
    return BuildSelection(ConfigurationDescriptor, InterfaceList);
}

// The older form selects the configuration's first interface in its default
// alternate setting, and reports the URB's size through Siz.
PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           PUSHORT Siz) { SIM_DDI();
    if (Siz)
        *Siz = 0;
    if (!ConfigurationDescriptor)
        return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(
        ConfigurationDescriptor, ConfigurationDescriptor, -1, 0, -1, -1, -1);
    PURB urb = BuildSelection(ConfigurationDescriptor, list);
    if (urb && Siz)
        *Siz = urb->UrbHeader.Length;
    return urb;
}

}  // extern "C"
