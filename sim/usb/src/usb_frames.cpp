// The full-speed frame schedule. Virtual time is cut into 1 ms frames; a frame
// carries at most kUsbPacketsPerFrame packets. Interrupt endpoints are polled
// first, at their period; then endpoint 0; then the bulk endpoints, taking turns
// about who goes first. Work submitted during a frame waits for the next one,
// and a transfer finished in a frame is completed at its end, the way a host
// controller reports at the start of frame; what is submitted at that instant
// still goes in it: before the new frame has been served, with the whole frame;
// after it (work the completions set off at the same instant, such as an
// application's next write), with the control and bulk packets the frame has
// left, as a host controller goes on through its non-periodic list for the
// whole frame. The periodic part of a frame already served is past.
//
// An endpoint whose function answered NAK is not asked again until the function
// calls EndpointReady: with nothing to move no frame is scheduled at all, so the
// simulation can go idle while reads stay pending. A bulk OUT packet refused
// (the function's buffer had no room for it) is sent again the moment the
// function is ready, also in the middle of a frame, while the frame has packets
// and time left for it: a host controller goes round its bulk list for the
// whole frame and retries a NAKed OUT each time round, and the function takes
// the packet at the first retry after its buffer has room. IN endpoints are
// asked at the frame's service only.
#include "usb_internal.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

Ticks AlignedFrameAfter(Ticks t, uint32_t period) {
    int64_t frame = t / kUsbFrame + 1;
    frame = (frame + period - 1) / period * period;
    return frame * kUsbFrame;
}

bool Is(const UsbTransfer& t, UrbFault::Kind kind) {
    return t.fault && t.fault->kind == kind;
}

}  // namespace

uint32_t UsbPollingPeriod(uint8_t interval) {
    // Full-speed interrupt endpoints are served from a schedule whose periods
    // are powers of two, at most 32 frames.
    const uint32_t wanted = std::clamp<uint32_t>(interval, 1, 32);
    uint32_t period = 1;
    while (period * 2 <= wanted)
        period *= 2;
    return period;
}

bool UsbDevice::Impl::Ready(const UsbEndpoint& ep) const {
    if (ep.queue.empty())
        return false;
    const UsbTransfer& t = *ep.queue.front();
    if (Is(t, UrbFault::Kind::NeverComplete))
        return false;
    if (ep.halted || Is(t, UrbFault::Kind::Fail) || Is(t, UrbFault::Kind::Stall))
        return true;
    return !ep.naking;
}

Ticks UsbDevice::Impl::FirstFrame(bool periodic) const {
    // A host controller reports completions at the start of a frame and goes
    // on scheduling in that frame: a driver that sends the next transfer from
    // its completion routine, or from what the completion set off, gets it into
    // the frame just begun. Anything else waits for the next frame.
    const Ticks now = sim->Now();
    const bool reported = now % kUsbFrame == 0 && lastDelivery == now;
    if (reported && lastFrameStart != now)
        return now;
    if (reported && !periodic && frameBudgetLeft > 0)
        return now;  // the frame's first service has run; its remaining packets serve this
    return NextFrameAfter(now);
}

Ticks UsbDevice::Impl::EarliestFrame(const UsbEndpoint& ep) const {
    const bool periodic = ep.type == USB_ENDPOINT_TYPE_INTERRUPT;
    const Ticks next = FirstFrame(periodic);
    return periodic ? std::max(next, ep.nextPoll) : next;
}

void UsbDevice::Impl::RequestFrame(Ticks at) {
    if (inFrame)
        return;  // the frame in progress schedules its successor
    if (frameDue >= 0 && frameDue <= at)
        return;
    if (frameEvent)
        sim->CancelScheduled(frameEvent);
    std::weak_ptr<bool> guard = alive;
    frameDue = at;
    const uint8_t device = address;
    frameEvent = sim->Schedule(at - sim->Now(), [device] { return "usb frame " + DeviceName(device); }, [this, guard] {
        if (guard.lock())
            OnFrame();
    });
}

void UsbDevice::Impl::ScheduleNextFrame() {
    Ticks best = -1;
    auto consider = [&](const UsbEndpoint& ep) {
        if (!Ready(ep))
            return;
        Ticks at = EarliestFrame(ep);
        if (ep.retryAt >= 0)
            at = std::min(at, std::max(ep.retryAt, sim->Now()));
        if (best < 0 || at < best)
            best = at;
    };
    consider(control);
    for (UsbEndpoint* ep : open)
        consider(*ep);
    if (best >= 0)
        RequestFrame(best);
}

void UsbDevice::Impl::Enqueue(UsbTransfer& t) {
    UsbEndpoint& ep = *t.endpoint;
    // An interrupt endpoint is polled in the first frame of its period the
    // transfer can go in: a transfer sent again from the completion of the one
    // before keeps the endpoint's period (every frame for an interval of 1).
    if (ep.type == USB_ENDPOINT_TYPE_INTERRUPT && ep.queue.empty())
        ep.nextPoll = std::max(ep.nextPoll, AlignedFrameAfter(FirstFrame(true) - 1, ep.periodFrames));
    ep.queue.push_back(&t);
    if (Ready(ep))
        RequestFrame(EarliestFrame(ep));
}

void UsbDevice::Impl::EndpointReady(uint8_t address) {
    if (!connected)
        return;
    UsbEndpoint* ep = nullptr;
    if ((address & 0x7F) == 0) {
        ep = &control;
    } else {
        for (UsbEndpoint* e : open)
            if (e->address == address)
                ep = e;
        // A function that names the endpoint by number alone is understood when
        // the number is not used in both directions.
        if (!ep) {
            for (UsbEndpoint* e : open) {
                if ((e->address & 0x7F) != (address & 0x7F))
                    continue;
                if (ep)
                    return;
                ep = e;
            }
        }
    }
    if (!ep)
        return;
    const bool refused = ep->naking;
    ep->naking = false;
    if (ep->type == USB_ENDPOINT_TYPE_INTERRUPT)
        ep->nextPoll = AlignedFrameAfter(sim->Now(), ep->periodFrames);
    if (!Ready(*ep))
        return;
    const Ticks now = sim->Now();
    if (refused && ep->type == USB_ENDPOINT_TYPE_BULK && !ep->IsIn() &&
        PacketsLeftInFrame(now) > 0) {
        ep->retryAt = now;
        RequestFrame(now);
        return;
    }
    RequestFrame(EarliestFrame(*ep));
}

int UsbDevice::Impl::PacketsLeftInFrame(Ticks now) const {
    const Ticks start = now - now % kUsbFrame;
    const int budget = lastFrameStart == start ? frameBudgetLeft : kUsbPacketsPerFrame;
    const auto time = static_cast<int>((start + kUsbFrame - now) * kUsbPacketsPerFrame / kUsbFrame);
    return std::min(budget, time);
}

// The bulk OUT endpoints whose refused packet is due again, in the middle of
// the frame under way, with what the frame has left.
void UsbDevice::Impl::ServeRetries(Ticks now) {
    const Ticks start = now - now % kUsbFrame;
    const int budgetBefore = lastFrameStart == start ? frameBudgetLeft : kUsbPacketsPerFrame;
    const int available = PacketsLeftInFrame(now);
    int budget = available;
    for (UsbEndpoint* ep : open) {
        if (ep->retryAt < 0 || ep->retryAt > now)
            continue;
        ep->retryAt = -1;
        if (ep->open && Ready(*ep))
            ServeData(*ep, start, start + kUsbFrame, budget);
    }
    lastFrameStart = start;
    frameBudgetLeft = budgetBefore - (available - budget);
}

void UsbDevice::Impl::OnFrame() {
    frameEvent = 0;
    frameDue = -1;
    if (!connected)
        return;
    inFrame = true;
    const Ticks start = sim->Now();
    if (start % kUsbFrame != 0) {
        ServeRetries(start);
        inFrame = false;
        ScheduleNextFrame();
        return;
    }
    for (UsbEndpoint* ep : open)
        ep->retryAt = -1;  // a service at a frame's start asks every ready endpoint
    // Served once already at this instant: this service carries what was sent
    // since, with what the frame has left, and polls no interrupt endpoint.
    const bool resumed = start == lastFrameStart;
    lastFrameStart = start;
    const Ticks end = start + kUsbFrame;
    int budget = resumed ? frameBudgetLeft : kUsbPacketsPerFrame;
    if (!resumed) {
        const std::vector<UsbEndpoint*> periodic = open;
        for (UsbEndpoint* ep : periodic) {
            if (ep->open && ep->type == USB_ENDPOINT_TYPE_INTERRUPT && Ready(*ep) &&
                ep->nextPoll <= start)
                ServeData(*ep, start, end, budget);
        }
    }
    ServeControl(control, end, budget);
    std::vector<UsbEndpoint*> bulk;
    for (UsbEndpoint* ep : open)
        if (ep->type == USB_ENDPOINT_TYPE_BULK)
            bulk.push_back(ep);
    for (size_t i = 0; i < bulk.size(); ++i)
        ServeData(*bulk[(i + bulkRotation) % bulk.size()], start, end, budget);
    if (!resumed)
        ++bulkRotation;
    frameBudgetLeft = budget;
    inFrame = false;
    ScheduleNextFrame();
}

void UsbDevice::Impl::ServeControl(UsbEndpoint& ep, Ticks end, int& budget) {
    while (budget > 0 && !ep.queue.empty()) {
        UsbTransfer& t = *ep.queue.front();
        if (Is(t, UrbFault::Kind::NeverComplete))
            return;
        if (t.packetsLeft < 0) {
            if (Is(t, UrbFault::Kind::Fail)) {
                --budget;
                Retire(t, t.fault->status, end);
                continue;
            }
            if (Is(t, UrbFault::Kind::Stall)) {
                budget = std::max(0, budget - 2);
                Retire(t,
                       t.kind == UsbTransfer::Kind::SelectConfiguration
                           ? USBD_STATUS_SET_CONFIG_FAILED
                           : USBD_STATUS_STALL_PID,
                       end);
                continue;
            }
            if (ep.naking)
                return;
            USBD_STATUS failure = USBD_STATUS_SUCCESS;
            if (!Execute(t, &failure)) {
                ep.naking = true;
                return;
            }
            if (failure != USBD_STATUS_SUCCESS) {
                budget = std::max(0, budget - 2);
                Retire(t, failure, end);
                continue;
            }
        }
        const int take = std::min(budget, t.packetsLeft);
        budget -= take;
        t.packetsLeft -= take;
        if (t.packetsLeft > 0)
            return;  // the rest of its stages go in the next frame
        Retire(t, USBD_STATUS_SUCCESS, end);
    }
}

// Carries a control transfer's stages to the function in one go; its packets
// are paid for over as many frames as they need. False: the function NAKed.
bool UsbDevice::Impl::Execute(UsbTransfer& t, USBD_STATUS* failure) {
    const auto stages = [this](size_t bytes) {
        return 2 + static_cast<int>((bytes + control.maxPacket - 1) / control.maxPacket);
    };
    switch (t.kind) {
        case UsbTransfer::Kind::Control: {
            std::vector<uint8_t> data;
            if (!t.in && t.length)
                data.assign(t.buffer, t.buffer + t.length);
            Handshake h = function->Control(t.setup, data);
            if (h == Handshake::Nak)
                return false;
            if (h == Handshake::Stall) {
                *failure = USBD_STATUS_STALL_PID;
                return true;
            }
            if (t.in) {
                // More than asked for is babble; the host controller refuses it.
                if (data.size() > t.setup.wLength) {
                    *failure = USBD_STATUS_DATA_OVERRUN;
                    return true;
                }
                if (Is(t, UrbFault::Kind::Truncate) && data.size() > t.fault->truncateTo)
                    data.resize(t.fault->truncateTo);
                if (!data.empty())
                    std::memcpy(t.buffer, data.data(), data.size());
                t.moved = static_cast<ULONG>(data.size());
            } else {
                t.moved = t.length;
            }
            t.packetsLeft = stages(t.moved);
            return true;
        }
        case UsbTransfer::Kind::SelectConfiguration: {
            std::vector<uint8_t> none;
            Handshake h = function->Control(t.setup, none);
            if (h == Handshake::Nak)
                return false;
            if (h == Handshake::Stall) {
                *failure = USBD_STATUS_SET_CONFIG_FAILED;
                return true;
            }
            int requests = 1;
            for (const UsbInterfacePlan& plan : t.interfaces) {
                if (plan.descriptor.bAlternateSetting == 0)
                    continue;
                SetupPacket s;
                s.bmRequestType = 0x01;
                s.bRequest = USB_REQUEST_SET_INTERFACE;
                s.wValue = plan.descriptor.bAlternateSetting;
                s.wIndex = plan.descriptor.bInterfaceNumber;
                ++requests;
                if (function->Control(s, none) != Handshake::Ack) {
                    *failure = USBD_STATUS_SET_CONFIG_FAILED;
                    CloseConfiguration(USBD_STATUS_CANCELED);
                    return true;
                }
            }
            if (t.unconfigure)
                CloseConfiguration(USBD_STATUS_CANCELED);
            else
                OpenConfiguration(t);
            t.packetsLeft = 2 * requests;
            return true;
        }
        case UsbTransfer::Kind::ResetPipe: {
            std::vector<uint8_t> none;
            Handshake h = function->Control(t.setup, none);
            if (h == Handshake::Nak)
                return false;
            if (h == Handshake::Stall) {
                *failure = USBD_STATUS_STALL_PID;
                return true;
            }
            if (t.target->open) {
                t.target->halted = false;
                t.target->naking = false;
            }
            t.packetsLeft = 2;
            return true;
        }
        default:
            *failure = USBD_STATUS_INVALID_PARAMETER;
            return true;
    }
}

void UsbDevice::Impl::ServeData(UsbEndpoint& ep, Ticks start, Ticks end, int& budget) {
    const bool periodic = ep.type == USB_ENDPOINT_TYPE_INTERRUPT;
    while (!ep.queue.empty()) {
        UsbTransfer& t = *ep.queue.front();
        if (Is(t, UrbFault::Kind::NeverComplete))
            return;
        // A halted endpoint is not scheduled at all: what waits on it fails.
        if (ep.halted) {
            Retire(t, USBD_STATUS_ENDPOINT_HALTED, end);
            continue;
        }
        if (budget <= 0)
            return;
        if (!Is(t, UrbFault::Kind::Fail) && !Is(t, UrbFault::Kind::Stall) && ep.naking)
            return;
        --budget;
        if (periodic)
            ep.nextPoll = start + static_cast<Ticks>(ep.periodFrames) * kUsbFrame;
        Packet result;
        if (Is(t, UrbFault::Kind::Fail)) {
            Retire(t, t.fault->status, end);
            result = Packet::Finished;
        } else if (Is(t, UrbFault::Kind::Stall)) {
            ep.halted = true;
            Retire(t, USBD_STATUS_STALL_PID, end);
            result = Packet::Blocked;
        } else {
            result = ServePacket(ep, t, end);
        }
        // One transaction per period on an interrupt endpoint.
        if (periodic || result == Packet::Blocked)
            return;
    }
}

UsbDevice::Impl::Packet UsbDevice::Impl::ServePacket(UsbEndpoint& ep, UsbTransfer& t, Ticks end) {
    if (t.in) {
        const size_t capacity = std::min<size_t>(ep.maxPacket, t.length - t.moved);
        // The function writes into a packet buffer of the endpoint's size, so a
        // function that sends more than it was offered is seen, not obeyed.
        if (scratch.size() < ep.maxPacket)
            scratch.resize(ep.maxPacket);
        size_t produced = 0;
        Handshake h = function->In(ep.address, scratch.data(), capacity, &produced);
        if (h == Handshake::Nak) {
            ep.naking = true;
            return Packet::Blocked;
        }
        if (h == Handshake::Stall || produced > capacity) {
            ep.halted = true;
            Retire(t, h == Handshake::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DATA_OVERRUN,
                   end);
            return Packet::Blocked;
        }
        size_t kept = produced;
        if (Is(t, UrbFault::Kind::Truncate)) {
            const size_t room = t.fault->truncateTo > t.moved ? t.fault->truncateTo - t.moved : 0;
            kept = std::min(kept, room);
        }
        if (kept)
            std::memcpy(t.buffer + t.moved, scratch.data(), kept);
        t.moved += static_cast<ULONG>(kept);
        if (t.moved == t.length) {
            Retire(t, USBD_STATUS_SUCCESS, end);
            return Packet::Finished;
        }
        if (kept < ep.maxPacket) {
            if (t.shortOk || config.shortPacketsAlwaysComplete) {
                Retire(t, USBD_STATUS_SUCCESS, end);
            } else {
                ep.halted = true;
                Retire(t, kUsbdStatusDataUnderrun, end);
            }
            return Packet::Finished;
        }
        return Packet::Continue;
    }
    const size_t chunk = std::min<size_t>(ep.maxPacket, t.length - t.moved);
    Handshake h = function->Out(ep.address, t.buffer ? t.buffer + t.moved : nullptr, chunk);
    if (h == Handshake::Stall) {
        ep.halted = true;
        Retire(t, USBD_STATUS_STALL_PID, end);
        return Packet::Blocked;
    }
    if (h == Handshake::Nak) {
        ep.naking = true;
        return Packet::Blocked;
    }
    t.moved += static_cast<ULONG>(chunk);
    if (t.moved == t.length) {
        Retire(t, USBD_STATUS_SUCCESS, end);
        return Packet::Finished;
    }
    return Packet::Continue;
}

void UsbDevice::Impl::OpenConfiguration(UsbTransfer& t) {
    CloseConfiguration(USBD_STATUS_CANCELED);
    configurationValue = t.configurationValue;
    t.configurationHandle = NewHandle();
    for (UsbInterfacePlan& plan : t.interfaces) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
            reinterpret_cast<uint8_t*>(t.urb) + plan.offset);
        plan.handle = NewHandle();
        plan.pipes.clear();
        for (size_t j = 0; j < plan.endpoints.size(); ++j) {
            const USB_ENDPOINT_DESCRIPTOR& ed = plan.endpoints[j];
            auto ep = std::make_unique<UsbEndpoint>();
            ep->address = ed.bEndpointAddress;
            ep->type = ed.bmAttributes & USB_ENDPOINT_TYPE_MASK;
            ep->maxPacket = static_cast<uint16_t>(ed.wMaxPacketSize & 0x7FF);
            if (ep->maxPacket == 0)
                ep->maxPacket = 1;
            ep->interval = ed.bInterval;
            ep->periodFrames = UsbPollingPeriod(ed.bInterval);
            ep->maximumTransferSize = info->Pipes[j].MaximumTransferSize;
            plan.pipes.push_back(ep.get());
            open.push_back(ep.get());
            endpoints.push_back(std::move(ep));
        }
    }
}

void UsbDevice::Impl::CloseConfiguration(USBD_STATUS pendingStatus) {
    for (UsbEndpoint* ep : open) {
        RetireQueued(*ep, pendingStatus);
        ep->open = false;
    }
    open.clear();
    configurationValue = 0;
}

void UsbDevice::Impl::RetireQueued(UsbEndpoint& ep, USBD_STATUS status) {
    while (!ep.queue.empty())
        Retire(*ep.queue.front(), status, NextFrameAfter(sim->Now()));
}

// The transfer is over on the bus: it leaves its queue and its completion is
// due at `at`.
void UsbDevice::Impl::Retire(UsbTransfer& t, USBD_STATUS status, Ticks at) {
    t.result = status;
    if (t.endpoint) {
        auto& q = t.endpoint->queue;
        q.erase(std::remove(q.begin(), q.end(), &t), q.end());
    }
    if (t.deliveryEvent)
        sim->CancelScheduled(t.deliveryEvent);
    Ticks delay = at - sim->Now();
    if (status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE) {
        delay += extraLatency;
        if (Is(t, UrbFault::Kind::Delay))
            delay += t.fault->delay;
    }
    std::weak_ptr<bool> guard = alive;
    const uint64_t id = t.id;
    // One pipe's completions reach the driver in the order the host controller
    // finished them, whichever processors take them.
    const uint64_t pipe = reinterpret_cast<uint64_t>(this) << 8 | t.record.endpoint;
    const uint8_t device = address, endpoint = t.record.endpoint;
    const USHORT function = t.record.function;
    t.deliveryEvent = sim->Schedule(
        std::max<Ticks>(delay, 0),
        [device, endpoint, function] {
            char ep[8];
            std::snprintf(ep, sizeof ep, "%02x", endpoint);
            return "usb completion " + DeviceName(device) + " ep " + ep + " " + UrbFunctionName(function);
        },
        [this, guard, id] {
            if (guard.lock())
                Deliver(id);
        },
        true, pipe);
}

void UsbDevice::Impl::Deliver(uint64_t id) {
    lastDelivery = sim->Now();
    auto it = live.find(id);
    if (it == live.end())
        return;
    std::unique_ptr<UsbTransfer> owned = std::move(it->second);
    live.erase(it);
    UsbTransfer& t = *owned;
    byIrp.erase(t.irp);
    IoSetCancelRoutine(t.irp, nullptr);
    WriteResults(t);
    const NTSTATUS status = UsbdStatusToNtStatus(t.result);
    t.record.completed = sim->Now();
    t.record.usbdStatus = t.result;
    t.record.ntStatus = status;
    if (t.in && t.moved)
        t.record.data.assign(t.buffer, t.buffer + t.moved);
    capture->Completed(t.record);
    t.irp->IoStatus.Status = status;
    t.irp->IoStatus.Information = 0;
    IoCompleteRequest(t.irp, IO_NO_INCREMENT);
}

// The cancel routine's half: the host controller takes the transfer off its
// schedule at the next frame and the request completes cancelled, with the
// bytes that had already moved. A transfer the controller has already finished
// keeps its outcome; only its completion was still to come.
void UsbDevice::Impl::CancelRequested(PIRP irp) {
    auto it = byIrp.find(irp);
    if (it == byIrp.end())
        return;
    UsbTransfer& t = *live.at(it->second);
    if (t.result != USBD_STATUS_PENDING)
        return;
    Retire(t, USBD_STATUS_CANCELED, NextFrameAfter(sim->Now()));
    ScheduleNextFrame();
}

}  // namespace sim
