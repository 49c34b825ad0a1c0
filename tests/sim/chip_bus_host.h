// The bridge chip on the simulated bus with a small client above its PDO, and
// pumps that keep transfers going on a pipe the way the driver will: each one
// resubmitted from its own completion routine, so no frame is lost between them.
#pragma once

#include "tests/sim/chip_test_host.h"
#include "tests/sim/usb_fake_function.h"

#include <sim/bridge_chip.h>
#include <sim/serial_wires.h>

#include <memory>
#include <vector>

namespace chiptest {

class PipePump {
  public:
    // IN transfers of `size` bytes, `depth` of them outstanding.
    PipePump(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG size, int depth = 1)
        : pdo_(pdo), pipe_(pipe), in_(true), size_(size) {
        slots_.resize(static_cast<size_t>(depth));
        for (Slot& s : slots_) {
            s.pump = this;
            s.buffer.resize(size);
            s.irp = IoAllocateIrp(pdo_->StackSize, FALSE);
            Submit(s);
        }
    }
    // OUT transfers of `data`, at most `chunk` bytes each, one at a time.
    PipePump(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, std::vector<uint8_t> data, ULONG chunk)
        : pdo_(pdo), pipe_(pipe), in_(false), size_(chunk), source_(std::move(data)) {
        slots_.resize(1);
        slots_[0].pump = this;
        slots_[0].irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        if (!source_.empty())
            Submit(slots_[0]);
    }
    ~PipePump() {
        Stop();
        for (Slot& s : slots_)
            IoFreeIrp(s.irp);
    }
    PipePump(const PipePump&) = delete;
    PipePump& operator=(const PipePump&) = delete;

    // Cancels what is outstanding and waits for it.
    void Stop() {
        running_ = false;
        for (Slot& s : slots_) {
            if (s.pending)
                IoCancelIrp(s.irp);
        }
        sim::Simulation::Current().RunUntil(
            [this] {
                for (const Slot& s : slots_)
                    if (s.pending)
                        return false;
                return true;
            },
            sim::kSecond);
    }

    // IN: everything received, in order. OUT: the bytes the bus took.
    const std::vector<uint8_t>& Data() const { return data_; }
    size_t Sent() const { return sent_; }
    bool Finished() const { return !in_ && sent_ == source_.size(); }
    uint64_t Transfers() const { return transfers_; }
    NTSTATUS LastFailure() const { return failure_; }
    // When the last transfer that moved data completed.
    sim::Ticks LastData() const { return lastData_; }

  private:
    struct Slot {
        PipePump* pump = nullptr;
        PIRP irp = nullptr;
        URB urb{};
        std::vector<uint8_t> buffer;
        bool pending = false;
    };

    void Submit(Slot& s) {
        ULONG flags = USBD_SHORT_TRANSFER_OK;
        void* buffer = nullptr;
        ULONG length = size_;
        if (in_) {
            flags |= USBD_TRANSFER_DIRECTION_IN;
            buffer = s.buffer.data();
        } else {
            length = static_cast<ULONG>(std::min<size_t>(size_, source_.size() - sent_));
            buffer = source_.data() + sent_;
        }
        s.urb = usbtest::DataTransfer(pipe_, flags, buffer, length);
        IoReuseIrp(s.irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &s.urb;
        IoSetCompletionRoutine(s.irp, Completed, &s, TRUE, TRUE, TRUE);
        s.pending = true;
        IoCallDriver(pdo_, s.irp);
    }

    static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        Slot& s = *static_cast<Slot*>(context);
        PipePump& p = *s.pump;
        s.pending = false;
        ++p.transfers_;
        const ULONG moved = s.urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (!NT_SUCCESS(irp->IoStatus.Status)) {
            p.failure_ = irp->IoStatus.Status;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        if (moved)
            p.lastData_ = sim::Simulation::Current().Now();
        if (p.in_) {
            p.data_.insert(p.data_.end(), s.buffer.begin(), s.buffer.begin() + moved);
        } else {
            p.sent_ += moved;
        }
        const bool more = p.in_ || p.sent_ < p.source_.size();
        if (p.running_ && more)
            p.Submit(s);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    USBD_PIPE_HANDLE pipe_;
    bool in_;
    ULONG size_;
    std::vector<uint8_t> source_;
    std::vector<Slot> slots_;
    std::vector<uint8_t> data_;
    size_t sent_ = 0;
    bool running_ = true;
    uint64_t transfers_ = 0;
    NTSTATUS failure_ = STATUS_SUCCESS;
    sim::Ticks lastData_ = 0;
};

// A chip of the given variant plugged into the bus, configured, with its pipes.
class ChipOnBus : public usbtest::UsbTest {
  protected:
    // Any chip plugged before is unplugged first.
    void PlugChip(int variant, sim::BridgeChipOptions options = {}) {
        host.reset();
        client.reset();
        device.reset();
        chip = std::make_shared<sim::BridgeChip>(variant, std::move(options));
        device = sim::PlugUsbDevice(chip, {});
        client = std::make_unique<usbtest::ClientDriver>(device->Pdo());
        Configure();
        host = std::make_unique<ChipHost>(ChipHost{*chip});
    }
    PDEVICE_OBJECT Pdo() const { return device->Pdo(); }
    USBD_PIPE_HANDLE StatusPipe() { return Pipe(chip->StatusEndpoint()); }
    USBD_PIPE_HANDLE BulkInPipe() { return Pipe(chip->BulkInEndpoint()); }
    USBD_PIPE_HANDLE BulkOutPipe() { return Pipe(chip->BulkOutEndpoint()); }

    std::shared_ptr<sim::BridgeChip> chip;
    std::unique_ptr<ChipHost> host;
};

// 0, 1, 2, ... 255, 0, 1, ...: a pattern where a lost or repeated byte shows.
inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return out;
}

}  // namespace chiptest
