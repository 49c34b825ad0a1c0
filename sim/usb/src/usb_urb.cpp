// IOCTL_INTERNAL_USB_SUBMIT_URB: each URB is checked the way the bus driver
// checks it before anything reaches the wire (record length for its function,
// pipe handle of the current configuration, direction, buffer), turned into a
// transfer on an endpoint queue, and its results written back when it completes.
// A URB that fails the checks completes at once with the USBD status in its
// header and the matching NT status in the IRP, as the real bus does.
#include "usb_internal.h"

#include <simnt/usbdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim {

namespace {

constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kRecipientMask = 0x1F;

constexpr ULONG kControlFlags =
    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_DEFAULT_PIPE_TRANSFER;
constexpr ULONG kDataFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

VOID NTAPI CancelUrb(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (UsbDevice::Impl* impl = ImplOf(device))
        impl->CancelRequested(irp);
}

// Where a request type's bits come from for each control function.
struct ControlShape {
    USHORT function;
    uint8_t type;
    uint8_t recipient;
};
constexpr ControlShape kVendorClassShapes[] = {
    {URB_FUNCTION_VENDOR_DEVICE, kTypeVendor, kRecipientDevice},
    {URB_FUNCTION_VENDOR_INTERFACE, kTypeVendor, kRecipientInterface},
    {URB_FUNCTION_VENDOR_ENDPOINT, kTypeVendor, kRecipientEndpoint},
    {URB_FUNCTION_CLASS_DEVICE, kTypeClass, kRecipientDevice},
    {URB_FUNCTION_CLASS_INTERFACE, kTypeClass, kRecipientInterface},
    {URB_FUNCTION_CLASS_ENDPOINT, kTypeClass, kRecipientEndpoint},
};
struct FeatureShape {
    USHORT function;
    uint8_t request;
    uint8_t recipient;
};
constexpr FeatureShape kFeatureShapes[] = {
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_REQUEST_SET_FEATURE, kRecipientDevice},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, USB_REQUEST_SET_FEATURE, kRecipientInterface},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, USB_REQUEST_SET_FEATURE, kRecipientEndpoint},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, USB_REQUEST_CLEAR_FEATURE, kRecipientDevice},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, USB_REQUEST_CLEAR_FEATURE, kRecipientInterface},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, kRecipientEndpoint},
};

// The checks every buffer-carrying record shares. The simulation has no MDLs:
// a client that describes its buffer with one is refused rather than ignored.
USBD_STATUS CheckBuffer(ULONG length, PVOID buffer, PMDL mdl, struct _URB* link) {
    if (link || mdl)
        return USBD_STATUS_INVALID_PARAMETER;
    if (length && !buffer)
        return USBD_STATUS_INVALID_PARAMETER;
    return USBD_STATUS_SUCCESS;
}

}  // namespace

void NameUrbCancelRoutine() {
    NameRoutine(reinterpret_cast<const void*>(&CancelUrb), "simulated USB bus: CancelUrb");
}

UsbEndpoint* UsbDevice::Impl::OpenPipe(USBD_PIPE_HANDLE handle) const {
    for (UsbEndpoint* ep : open)
        if (ep == handle)
            return ep;
    return nullptr;
}

NTSTATUS UsbDevice::Impl::SubmitUrb(PIRP irp, PURB urb) {
    ++urbsSubmitted;
    if (!urb) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    auto owned = std::make_unique<UsbTransfer>();
    UsbTransfer& t = *owned;
    t.id = capture->NextId();
    t.irp = irp;
    t.urb = urb;
    t.record.id = t.id;
    t.record.bus = config.bus;
    t.record.device = address;
    t.record.function = urb->UrbHeader.Function;
    t.record.submitted = sim->Now();

    USBD_STATUS verdict = Prepare(t);
    // A device that is gone answers nothing, whatever the URB holds; a
    // suspended one answers nothing until it is back in D0 (only aborting a
    // pipe, which never reaches the wire, still works).
    if (!connected || removed)
        verdict = USBD_STATUS_DEVICE_GONE;
    else if (USBD_SUCCESS(verdict) && powerState != PowerDeviceD0 && t.kind != UsbTransfer::Kind::AbortPipe)
        verdict = USBD_STATUS_DEV_NOT_RESPONDING;
    urb->UrbHeader.UsbdDeviceHandle = this;
    if (!USBD_SUCCESS(verdict)) {
        const NTSTATUS status = UsbdStatusToNtStatus(verdict);
        urb->UrbHeader.Status = verdict;
        t.record.completed = t.record.submitted;
        t.record.usbdStatus = verdict;
        t.record.ntStatus = status;
        if (t.record.in)
            t.record.data.clear();
        capture->Submitted(t.record);
        capture->Completed(t.record);
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    if (t.kind != UsbTransfer::Kind::AbortPipe)
        ApplyFaults(t);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    capture->Submitted(t.record);
    IoMarkIrpPending(irp);
    live[t.id] = std::move(owned);
    byIrp[irp] = t.id;
    if (t.kind == UsbTransfer::Kind::AbortPipe) {
        // The aborted transfers come back cancelled first, then the abort itself.
        RetireQueued(*t.target, USBD_STATUS_CANCELED);
        Retire(t, USBD_STATUS_SUCCESS, NextFrameAfter(sim->Now()));
        ScheduleNextFrame();
    } else {
        Enqueue(t);
    }
    IoSetCancelRoutine(irp, CancelUrb);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr))
        CancelRequested(irp);
    // Real host controllers sometimes finish a short transfer in the frame under
    // way and complete it inside IoCallDriver; the schedule decides when.
    else if (sim->CompleteInline())
        CompleteAtOnce(t);
    return STATUS_PENDING;
}

bool UsbDevice::Impl::CompleteAtOnce(UsbTransfer& t) {
    if (!t.endpoint || inFrame || t.fault || extraLatency != 0 || t.result != USBD_STATUS_PENDING)
        return false;
    UsbEndpoint& ep = *t.endpoint;
    // Interrupt endpoints keep to their polling period; a transfer behind others
    // on its pipe, or behind a completion of its pipe still to be delivered,
    // waits its turn, so one pipe's completions stay in order.
    if (ep.type == USB_ENDPOINT_TYPE_INTERRUPT || ep.queue.size() != 1 || ep.queue.front() != &t)
        return false;
    for (const auto& [id, other] : live) {
        if (other.get() != &t && other->endpoint == &ep && other->result != USBD_STATUS_PENDING)
            return false;
    }
    int budget = kUsbPacketsPerFrame;
    const Ticks now = sim->Now();
    if (&ep == &control)
        ServeControl(ep, now, budget);
    else
        ServeData(ep, now, now, budget);
    if (t.result == USBD_STATUS_PENDING)
        return false;  // it goes on in the next frames, from where it got to
    sim->CancelScheduled(t.deliveryEvent);
    t.deliveryEvent = 0;
    Deliver(t.id);
    return true;
}

USBD_STATUS UsbDevice::Impl::Prepare(UsbTransfer& t) {
    switch (t.urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return PrepareSelectConfiguration(t);
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            return PreparePipeRequest(t);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return PrepareDataTransfer(t);
        default:
            return PrepareControl(t);
    }
}

USBD_STATUS UsbDevice::Impl::PrepareControl(UsbTransfer& t) {
    URB& u = *t.urb;
    const USHORT function = u.UrbHeader.Function;
    const USHORT length = u.UrbHeader.Length;
    SetupPacket s;
    ULONG flags = 0;
    ULONG bufferLength = 0;
    PVOID buffer = nullptr;
    USBD_STATUS checked = USBD_STATUS_SUCCESS;
    bool known = false;

    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        known = true;
        auto& d = u.UrbControlDescriptorRequest;
        if (length != sizeof(d))
            return USBD_STATUS_INVALID_PARAMETER;
        flags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        bufferLength = d.TransferBufferLength;
        buffer = d.TransferBuffer;
        s.bmRequestType = kDirectionIn | kTypeStandard | kRecipientDevice;
        s.bRequest = USB_REQUEST_GET_DESCRIPTOR;
        s.wValue = static_cast<uint16_t>(d.DescriptorType << 8 | d.Index);
        s.wIndex = d.LanguageId;
        checked = CheckBuffer(bufferLength, buffer, d.TransferBufferMDL, d.UrbLink);
    }
    for (const FeatureShape& shape : kFeatureShapes) {
        if (shape.function != function)
            continue;
        known = true;
        auto& f = u.UrbControlFeatureRequest;
        if (length != sizeof(f))
            return USBD_STATUS_INVALID_PARAMETER;
        s.bmRequestType = kTypeStandard | shape.recipient;
        s.bRequest = shape.request;
        s.wValue = f.FeatureSelector;
        s.wIndex = f.Index;
        checked = f.UrbLink ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
    }
    for (const ControlShape& shape : kVendorClassShapes) {
        if (shape.function != function)
            continue;
        known = true;
        auto& v = u.UrbControlVendorClassRequest;
        if (length != sizeof(v))
            return USBD_STATUS_INVALID_PARAMETER;
        flags = v.TransferFlags;
        bufferLength = v.TransferBufferLength;
        buffer = v.TransferBuffer;
        // The reserved bits become part of the recipient field, as documented.
        s.bmRequestType = static_cast<uint8_t>(
            (flags & USBD_TRANSFER_DIRECTION_IN ? kDirectionIn : 0) | shape.type |
            ((shape.recipient | v.RequestTypeReservedBits) & kRecipientMask));
        s.bRequest = v.Request;
        s.wValue = v.Value;
        s.wIndex = v.Index;
        checked = CheckBuffer(bufferLength, buffer, v.TransferBufferMDL, v.UrbLink);
    }
    if (function == URB_FUNCTION_CONTROL_TRANSFER) {
        known = true;
        auto& c = u.UrbControlTransfer;
        if (length != sizeof(c))
            return USBD_STATUS_INVALID_PARAMETER;
        flags = c.TransferFlags;
        bufferLength = c.TransferBufferLength;
        buffer = c.TransferBuffer;
        s.bmRequestType = c.SetupPacket[0];
        s.bRequest = c.SetupPacket[1];
        s.wValue = static_cast<uint16_t>(c.SetupPacket[2] | c.SetupPacket[3] << 8);
        s.wIndex = static_cast<uint16_t>(c.SetupPacket[4] | c.SetupPacket[5] << 8);
        checked = CheckBuffer(bufferLength, buffer, c.TransferBufferMDL, c.UrbLink);
        // Only the default pipe carries control transfers on this device.
        if (USBD_SUCCESS(checked) && !(flags & USBD_DEFAULT_PIPE_TRANSFER) &&
            c.PipeHandle != &control)
            checked = USBD_STATUS_INVALID_PIPE_HANDLE;
        if (USBD_SUCCESS(checked) &&
            ((s.bmRequestType & kDirectionIn) != 0) != ((flags & USBD_TRANSFER_DIRECTION_IN) != 0))
            checked = USBD_STATUS_INVALID_PARAMETER;
    }
    if (!known)
        return USBD_STATUS_INVALID_URB_FUNCTION;

    t.kind = UsbTransfer::Kind::Control;
    t.endpoint = &control;
    t.in = (flags & USBD_TRANSFER_DIRECTION_IN) != 0;
    t.shortOk = true;  // a control read may always return less than asked
    t.buffer = static_cast<uint8_t*>(buffer);
    t.length = bufferLength;
    s.wLength = static_cast<uint16_t>(bufferLength);
    t.setup = s;
    t.record.transfer = UsbTransferType::Control;
    t.record.endpoint = t.in ? kDirectionIn : 0;
    t.record.in = t.in;
    t.record.hasSetup = true;
    t.record.setup = s;
    t.record.requested = bufferLength;
    if (!USBD_SUCCESS(checked))
        return checked;
    if ((flags & ~kControlFlags) != 0 || bufferLength > 0xFFFF)
        return USBD_STATUS_INVALID_PARAMETER;
    if (!t.in && bufferLength)
        t.record.data.assign(t.buffer, t.buffer + bufferLength);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::Impl::PrepareDataTransfer(UsbTransfer& t) {
    auto& b = t.urb->UrbBulkOrInterruptTransfer;
    if (t.urb->UrbHeader.Length != sizeof(b))
        return USBD_STATUS_INVALID_PARAMETER;
    t.in = (b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    t.record.in = t.in;
    t.record.requested = b.TransferBufferLength;
    UsbEndpoint* ep = OpenPipe(b.PipeHandle);
    if (!ep)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    t.record.endpoint = ep->address;
    t.record.transfer = ep->type == USB_ENDPOINT_TYPE_INTERRUPT ? UsbTransferType::Interrupt
                                                                : UsbTransferType::Bulk;
    if (ep->type != USB_ENDPOINT_TYPE_BULK && ep->type != USB_ENDPOINT_TYPE_INTERRUPT)
        return USBD_STATUS_INVALID_PARAMETER;
    if ((b.TransferFlags & ~kDataFlags) != 0 || t.in != ep->IsIn())
        return USBD_STATUS_INVALID_PARAMETER;
    USBD_STATUS checked =
        CheckBuffer(b.TransferBufferLength, b.TransferBuffer, b.TransferBufferMDL, b.UrbLink);
    if (!USBD_SUCCESS(checked))
        return checked;
    // A read of nothing would wait for a zero-length packet no client wants.
    if (t.in && b.TransferBufferLength == 0)
        return USBD_STATUS_INVALID_PARAMETER;
    if (ep->maximumTransferSize && b.TransferBufferLength > ep->maximumTransferSize)
        return USBD_STATUS_INVALID_PARAMETER;
    t.kind = UsbTransfer::Kind::Data;
    t.endpoint = ep;
    t.buffer = static_cast<uint8_t*>(b.TransferBuffer);
    t.length = b.TransferBufferLength;
    t.shortOk = (b.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    if (!t.in && t.length)
        t.record.data.assign(t.buffer, t.buffer + t.length);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::Impl::PreparePipeRequest(UsbTransfer& t) {
    auto& p = t.urb->UrbPipeRequest;
    t.record.transfer = UsbTransferType::IrpInfo;
    if (t.urb->UrbHeader.Length != sizeof(p))
        return USBD_STATUS_INVALID_PARAMETER;
    UsbEndpoint* ep = OpenPipe(p.PipeHandle);
    if (!ep)
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    t.target = ep;
    t.record.endpoint = ep->address;
    t.record.in = ep->IsIn();
    if (t.urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
        t.kind = UsbTransfer::Kind::AbortPipe;
        return USBD_STATUS_SUCCESS;
    }
    // Resetting a pipe clears the halt on the device too: CLEAR_FEATURE
    // (ENDPOINT_HALT) on endpoint 0.
    t.kind = UsbTransfer::Kind::ResetPipe;
    t.endpoint = &control;
    t.setup.bmRequestType = kTypeStandard | kRecipientEndpoint;
    t.setup.bRequest = USB_REQUEST_CLEAR_FEATURE;
    t.setup.wValue = USB_FEATURE_ENDPOINT_STALL;
    t.setup.wIndex = ep->address;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::Impl::PrepareSelectConfiguration(UsbTransfer& t) {
    auto& sel = t.urb->UrbSelectConfiguration;
    const size_t length = t.urb->UrbHeader.Length;
    t.record.transfer = UsbTransferType::Control;
    t.record.hasSetup = true;
    t.record.setup.bRequest = USB_REQUEST_SET_CONFIGURATION;
    t.kind = UsbTransfer::Kind::SelectConfiguration;
    t.endpoint = &control;
    t.setup = t.record.setup;
    if (length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface))
        return USBD_STATUS_INVALID_PARAMETER;
    if (!sel.ConfigurationDescriptor) {
        // No descriptor: back to the unconfigured state.
        if (length != sizeof(sel))
            return USBD_STATUS_INVALID_PARAMETER;
        t.unconfigure = true;
        return USBD_STATUS_SUCCESS;
    }
    const USB_CONFIGURATION_DESCRIPTOR& asked = *sel.ConfigurationDescriptor;
    if (asked.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE || asked.bLength < sizeof(asked))
        return USBD_STATUS_INVALID_PARAMETER;
    t.configurationValue = asked.bConfigurationValue;
    t.record.setup.wValue = asked.bConfigurationValue;
    t.setup = t.record.setup;

    // The interfaces the client lists, looked up in the configuration the
    // device reported when it was plugged.
    const std::vector<uint8_t>& cfg = configurationDescriptor;
    const bool sameConfiguration =
        cfg.size() >= sizeof(asked) && cfg[5] == asked.bConfigurationValue;
    size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const size_t fixed = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    while (offset < length) {
        if (length - offset < fixed)
            return USBD_STATUS_INVALID_PARAMETER;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<uint8_t*>(t.urb) + offset);
        if (info->Length < fixed || offset + info->Length > length)
            return USBD_STATUS_INVALID_PARAMETER;
        UsbInterfacePlan plan;
        plan.offset = offset;
        bool found = false;
        for (size_t i = 0;
             sameConfiguration && i + 2 <= cfg.size() && cfg[i] >= 2 && i + cfg[i] <= cfg.size();
             i += cfg[i]) {
            const uint8_t type = cfg[i + 1];
            if (type == USB_INTERFACE_DESCRIPTOR_TYPE &&
                cfg[i] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
                if (found)
                    break;
                std::memcpy(&plan.descriptor, &cfg[i], sizeof(plan.descriptor));
                found = plan.descriptor.bInterfaceNumber == info->InterfaceNumber &&
                        plan.descriptor.bAlternateSetting == info->AlternateSetting;
            } else if (found && type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                       cfg[i] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                USB_ENDPOINT_DESCRIPTOR ed;
                std::memcpy(&ed, &cfg[i], sizeof(ed));
                plan.endpoints.push_back(ed);
            }
        }
        if (!found)
            return USBD_STATUS_INTERFACE_NOT_FOUND;
        const size_t needed = GET_USBD_INTERFACE_SIZE(plan.endpoints.size());
        if (info->Length < needed)
            return USBD_STATUS_BUFFER_TOO_SMALL;
        if (info->Length != needed)
            return USBD_STATUS_INVALID_PARAMETER;
        for (const UsbInterfacePlan& other : t.interfaces)
            if (other.descriptor.bInterfaceNumber == plan.descriptor.bInterfaceNumber)
                return USBD_STATUS_INVALID_PARAMETER;
        t.interfaces.push_back(std::move(plan));
        offset += info->Length;
    }
    if (t.interfaces.empty() || offset != length)
        return USBD_STATUS_INVALID_PARAMETER;
    return USBD_STATUS_SUCCESS;
}

void UsbDevice::Impl::ApplyFaults(UsbTransfer& t) {
    UrbSummary summary;
    summary.function = t.record.function;
    summary.endpoint = t.record.transfer == UsbTransferType::Control ? 0 : t.record.endpoint;
    summary.in = t.in;
    summary.hasSetup = t.record.hasSetup;
    summary.setup = t.record.setup;
    summary.length = t.length;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (!it->first.Matches(summary))
            continue;
        t.fault = it->second;
        if (it->second.times > 0 && --it->second.times == 0)
            faults.erase(it);
        return;
    }
}

// The URB's outputs, written when it completes: bytes moved, and for a
// selection the handles and pipe information of each interface.
void UsbDevice::Impl::WriteResults(UsbTransfer& t) {
    URB& u = *t.urb;
    switch (u.UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            u.UrbControlDescriptorRequest.TransferBufferLength = t.moved;
            break;
        case URB_FUNCTION_CONTROL_TRANSFER:
            u.UrbControlTransfer.TransferBufferLength = t.moved;
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            u.UrbBulkOrInterruptTransfer.TransferBufferLength = t.moved;
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (t.result != USBD_STATUS_SUCCESS || t.unconfigure)
                break;
            u.UrbSelectConfiguration.ConfigurationHandle = t.configurationHandle;
            for (const UsbInterfacePlan& plan : t.interfaces) {
                auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
                    reinterpret_cast<uint8_t*>(t.urb) + plan.offset);
                info->Class = plan.descriptor.bInterfaceClass;
                info->SubClass = plan.descriptor.bInterfaceSubClass;
                info->Protocol = plan.descriptor.bInterfaceProtocol;
                info->Reserved = 0;
                info->InterfaceHandle = plan.handle;
                info->NumberOfPipes = static_cast<ULONG>(plan.pipes.size());
                for (size_t j = 0; j < plan.pipes.size(); ++j) {
                    const UsbEndpoint& ep = *plan.pipes[j];
                    USBD_PIPE_INFORMATION& pipe = info->Pipes[j];
                    pipe.MaximumPacketSize = ep.maxPacket;
                    pipe.EndpointAddress = ep.address;
                    pipe.Interval = ep.interval;
                    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(ep.type);
                    pipe.PipeHandle = plan.pipes[j];
                    pipe.MaximumTransferSize = ep.maximumTransferSize;
                }
            }
            break;
        default:
            for (const ControlShape& shape : kVendorClassShapes)
                if (shape.function == u.UrbHeader.Function)
                    u.UrbControlVendorClassRequest.TransferBufferLength = t.moved;
            break;
    }
    u.UrbHeader.Status = t.result;
}

}  // namespace sim
