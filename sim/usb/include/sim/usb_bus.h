// The simulated USB bus as tests and tools see it: plug a device function into a
// full-speed port and get the physical device object (PDO) the port driver's
// stack is built on. The PDO answers IOCTL_INTERNAL_USB_SUBMIT_URB as a bus
// driver does (validation, USBD and NT statuses, completion on a 1 ms frame
// schedule in virtual time), the Plug and Play and power requests a bus driver
// answers for its child, and records every URB in a UsbCapture.
//
// Several devices may be plugged at once; each has its own port, address and
// PDO. The UsbDevice object owns the PDO: destroying it deletes the PDO, which
// is what the bus does once the device is gone and its stack removed.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sim/simulation.h>
#include <sim/usb_capture.h>
#include <sim/usb_function.h>
#include <simnt/usb.h>

namespace sim {

// Pool the bus hands to the Plug and Play manager (identifiers, relations, text):
// "UsbB" in memory order.
constexpr ULONG kUsbBusPoolTag = ULONG('U') | ULONG('s') << 8 | ULONG('b') << 16 | ULONG('B') << 24;
// Pool the USBD library routines allocate for their caller (configuration URBs):
// "Usbd".
constexpr ULONG kUsbdLibraryPoolTag =
    ULONG('U') | ULONG('s') << 8 | ULONG('b') << 16 | ULONG('d') << 24;

constexpr Ticks kUsbFrame = kMillisecond;
// How long the hub takes over device power requests by default.
constexpr Ticks kUsbResumeLatency = 30 * kMillisecond;
constexpr Ticks kUsbSuspendLatency = 3 * kMillisecond;
// Packets (of up to 64 bytes) a full-speed frame carries, whatever their kind.
constexpr int kUsbPacketsPerFrame = 19;

// The host controller's answer to a short packet on a transfer that did not
// allow one (the platform's USBD_STATUS_DATA_UNDERRUN).
constexpr USBD_STATUS kUsbdStatusDataUnderrun = static_cast<USBD_STATUS>(0xC0000009u);
constexpr USBD_STATUS kUsbdStatusNotSupported = static_cast<USBD_STATUS>(0xC0000E00u);

// The NT status the bus driver completes the IRP with for a URB status.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status);
// "SUCCESS", "STALL_PID", "CANCELED", ... or the value in hex.
std::string UsbdStatusName(USBD_STATUS status);
// "BULK_OR_INTERRUPT_TRANSFER", ... or the value in hex.
std::string UrbFunctionName(USHORT function);

struct UsbDeviceCapabilities {
    // Index: SYSTEM_POWER_STATE.
    std::array<DEVICE_POWER_STATE, PowerSystemMaximum> deviceState = {
        PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
        PowerDeviceD2,          PowerDeviceD3, PowerDeviceD3};
    SYSTEM_POWER_STATE systemWake = PowerSystemSleeping3;
    DEVICE_POWER_STATE deviceWake = PowerDeviceD2;
    bool deviceD1 = false;
    bool deviceD2 = true;
    bool wakeFromD0 = false;
    bool wakeFromD1 = false;
    bool wakeFromD2 = true;
    bool wakeFromD3 = false;
    bool removable = true;
    bool surpriseRemovalOK = false;
    bool uniqueId = false;
    ULONG d1Latency = 0;
    ULONG d2Latency = 0;
    ULONG d3Latency = 0;
};

struct UsbDeviceConfig {
    // Name of the PDO; empty: "\Device\USBPDO-<n>", n the lowest not taken.
    std::u16string deviceName;
    // Identifiers answered to IRP_MN_QUERY_ID. Empty lists and strings are
    // derived from the descriptors read when the device is plugged, as the hub
    // derives them (USB\VID_xxxx&PID_xxxx&REV_xxxx, USB\Class_xx&SubClass_xx&Prot_xx...).
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string deviceId;
    std::u16string instanceId;  // empty: the serial number string, else "<bus>&<port>"
    // IRP_MN_QUERY_DEVICE_TEXT; an empty text is not answered.
    std::u16string description;
    std::u16string locationInformation;
    // The device's hardware key (IoOpenDeviceRegistryKey, PLUGPLAY_REGKEY_DEVICE);
    // empty: ...\CurrentControlSet\Enum\<device id>\<instance id>\Device Parameters.
    std::u16string deviceKeyPath;
    // The driver key (PLUGPLAY_REGKEY_DRIVER); none when empty.
    std::u16string driverKeyPath;
    UsbDeviceCapabilities capabilities;
    uint16_t bus = 1;
    // 0: the lowest address no other plugged device of this simulation uses.
    uint8_t address = 0;
    // Full-speed host controllers halt the endpoint on a short packet when the
    // transfer did not set USBD_SHORT_TRANSFER_OK; later controllers ignore the
    // flag and complete the transfer. True selects the later behaviour.
    bool shortPacketsAlwaysComplete = false;
    // Shared with other devices; null: the device makes its own.
    std::shared_ptr<UsbCapture> capture;
};

// What a fault is matched against.
struct UrbSummary {
    USHORT function = 0;
    uint8_t endpoint = 0;  // with direction bit; 0 for every control transfer
    bool in = false;
    bool hasSetup = false;
    SetupPacket setup;
    ULONG length = 0;
};

// Every field that is set must match.
struct UrbMatch {
    std::optional<USHORT> function;
    std::optional<uint8_t> endpoint;
    std::optional<uint8_t> request;  // bRequest of a control transfer
    std::function<bool(const UrbSummary&)> predicate;
    bool Matches(const UrbSummary& urb) const;
};

struct UrbFault {
    enum class Kind {
        Fail,           // completes with `status`; the function never sees it
        Stall,          // the endpoint answers STALL (a data endpoint halts)
        NeverComplete,  // stays pending, holding its endpoint, until cancelled or the device goes
        Delay,          // completes `delay` later than the frame schedule says
        Truncate,  // an IN transfer receives at most `truncateTo` bytes of what the function sends
    };
    Kind kind = Kind::Fail;
    USBD_STATUS status = USBD_STATUS_DEV_NOT_RESPONDING;
    Ticks delay = 0;
    ULONG truncateTo = 0;
    int times = 1;  // how many matching URBs it hits; 0: every one until cleared
};

class UsbDevice {
  public:
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    PDEVICE_OBJECT Pdo() const;
    uint16_t Bus() const;
    uint8_t Address() const;
    UsbFunction& Function() const;
    UsbCapture& Capture() const;
    std::shared_ptr<UsbCapture> SharedCapture() const;

    // Read when the device was plugged.
    const std::vector<uint8_t>& DeviceDescriptor() const;
    const std::vector<uint8_t>& ConfigurationDescriptor() const;
    // What IRP_MN_QUERY_ID answers.
    const std::vector<std::u16string>& HardwareIds() const;
    const std::vector<std::u16string>& CompatibleIds() const;
    const std::u16string& DeviceId() const;
    const std::u16string& InstanceId() const;
    const std::u16string& DeviceKeyPath() const;

    // The adapter is pulled out: pending URBs complete with
    // USBD_STATUS_DEVICE_GONE at the next frame, new ones fail at once, and the
    // function is not called again. The PDO stays until this object goes.
    void Unplug();
    bool Connected() const;
    // Completes a pending IRP_MN_WAIT_WAKE with success; false when none waits.
    bool SignalWake();

    bool Started() const;
    bool Removed() const;
    uint8_t ConfigurationValue() const;  // 0 while unconfigured
    DEVICE_POWER_STATE PowerState() const;
    size_t PendingUrbs() const;
    size_t PendingUrbs(uint8_t endpoint) const;  // 0 for the control endpoint
    uint64_t UrbsSubmitted() const;              // every URB ever received, rejected ones too

    // Fault injection, consulted in the order added for every URB that passed
    // validation.
    void InjectFault(UrbMatch match, UrbFault fault);
    void FailNext(UrbMatch match, USBD_STATUS status);
    void StallNext(UrbMatch match);
    void NeverCompleteNext(UrbMatch match);
    void DelayNext(UrbMatch match, Ticks delay);
    void TruncateNext(UrbMatch match, ULONG bytes);
    void ClearFaults();
    // Added to every completion from now on.
    void SetCompletionLatency(Ticks extra);

    // The status each power request completes with; by default success.
    using PowerResponder = std::function<NTSTATUS(const IO_STACK_LOCATION&)>;
    void SetPowerResponder(PowerResponder responder);
    // Set-power and query-power requests complete later, at DISPATCH_LEVEL, as
    // the hub takes its time: a resume to D0 kUsbResumeLatency (resume signalling
    // and the recovery interval), a suspend kUsbSuspendLatency (the idle bus
    // time before the device suspends), any other one frame. This sets one
    // latency for all of them; 0 answers at once.
    void SetPowerLatency(Ticks latency);
    // Leaving D0 suspends the port at once: transfers still pending complete
    // cancelled at the next frame, and until the device is back in D0 every new
    // transfer fails with USBD_STATUS_DEV_NOT_RESPONDING (nothing answers on a
    // suspended port). The function is told (UsbFunction::Suspend, Resume).

    struct Impl;

  private:
    explicit UsbDevice(std::unique_ptr<Impl> impl);
    friend std::unique_ptr<UsbDevice> PlugUsbDevice(std::shared_ptr<UsbFunction>,
                                                    const UsbDeviceConfig&);
    std::unique_ptr<Impl> impl_;
};

// Plugs `function` into a new port: resets it, reads its device and
// configuration descriptors (and serial number string) as the hub does when it
// enumerates a device, and creates the PDO with its registry keys.
std::unique_ptr<UsbDevice> PlugUsbDevice(std::shared_ptr<UsbFunction> function,
                                         const UsbDeviceConfig& config = {});

}  // namespace sim
