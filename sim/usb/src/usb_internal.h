// State shared by the simulated bus's source files: the device behind a PDO,
// its endpoints and the URBs in flight. Tests and tools use <sim/usb_bus.h>.
#pragma once

#include <sim/io.h>
#include <sim/usb_bus.h>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace sim {

struct UsbTransfer;

// One endpoint of the device, and the pipe the client knows it by: the pipe
// handle is the address of this record. Records of closed pipes are kept until
// the device goes, so a stale handle never names a live pipe.
struct UsbEndpoint {
    uint8_t address = 0;  // with the direction bit for IN
    uint8_t type = USB_ENDPOINT_TYPE_CONTROL;
    uint16_t maxPacket = 8;
    uint8_t interval = 0;       // bInterval as the descriptor gives it
    uint32_t periodFrames = 1;  // the polling period actually used
    ULONG maximumTransferSize = 0;
    bool open = true;
    bool halted = false;
    // The function answered NAK and has not said EndpointReady since.
    bool naking = false;
    Ticks nextPoll = 0;  // interrupt endpoints: frame of the next poll
    // Bulk OUT: the instant within a frame at which the host controller, still
    // going round its bulk list, sends again the packet the function refused
    // (-1: none due).
    Ticks retryAt = -1;
    std::deque<UsbTransfer*> queue;

    bool IsIn() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

// An interface of the configuration being selected: where its information
// record sits in the URB and what the function's descriptor says about it.
struct UsbInterfacePlan {
    size_t offset = 0;  // of its USBD_INTERFACE_INFORMATION in the URB
    USB_INTERFACE_DESCRIPTOR descriptor{};
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    std::vector<UsbEndpoint*> pipes;  // opened when the selection succeeds
    USBD_INTERFACE_HANDLE handle = nullptr;
};

struct UsbTransfer {
    enum class Kind { Control, Data, SelectConfiguration, AbortPipe, ResetPipe };

    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Kind kind = Kind::Control;
    UsbEndpoint* endpoint = nullptr;  // the queue it waits in
    bool in = false;
    uint8_t* buffer = nullptr;
    ULONG length = 0;
    ULONG moved = 0;
    bool shortOk = false;
    SetupPacket setup;
    // Control transfers: packets still to go over the bus; -1 before the
    // function has been asked.
    int packetsLeft = -1;
    // Selection.
    bool unconfigure = false;
    uint8_t configurationValue = 0;
    std::vector<UsbInterfacePlan> interfaces;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    // Pipe requests.
    UsbEndpoint* target = nullptr;

    std::optional<UrbFault> fault;
    USBD_STATUS result = USBD_STATUS_PENDING;
    uint64_t deliveryEvent = 0;
    UrbRecord record;
};

// How reports name the device at a bus address.
std::string DeviceName(uint8_t address);

struct UsbDevice::Impl {
    Impl(std::shared_ptr<UsbFunction> function, const UsbDeviceConfig& config);
    ~Impl();

    // --- identity and Plug and Play (usb_device.cpp) --------------------------
    void Enumerate();
    void DeriveIdentifiers();
    void CreatePdo();
    void DeletePdo();
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS DispatchInternalControl(PIRP irp);
    void ResetBusState();
    void GoAway();
    void CompleteWaitWake(NTSTATUS status);
    // Arms the function's remote wake-up, as the hub does for a wait-wake
    // request it accepts; false when the function refused.
    bool ArmRemoteWakeup();
    // The function signalled resume: the pending wait-wake completes, at
    // DISPATCH_LEVEL, in an event of its own.
    void RemoteWakeup();
    Ticks PowerLatencyFor(const IO_STACK_LOCATION& sp) const;
    void SuspendPort();
    void ResumePort();

    // --- URBs (usb_urb.cpp) -------------------------------------------------------
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    USBD_STATUS Prepare(UsbTransfer& t);
    USBD_STATUS PrepareSelectConfiguration(UsbTransfer& t);
    USBD_STATUS PreparePipeRequest(UsbTransfer& t);
    USBD_STATUS PrepareDataTransfer(UsbTransfer& t);
    USBD_STATUS PrepareControl(UsbTransfer& t);
    UsbEndpoint* OpenPipe(USBD_PIPE_HANDLE handle) const;
    void ApplyFaults(UsbTransfer& t);
    void WriteResults(UsbTransfer& t);

    // --- frame schedule (usb_frames.cpp) -----------------------------------------------
    void Enqueue(UsbTransfer& t);
    void OnFrame();
    // Packets the frame under way can still carry from `now`: its budget, and
    // the frame time left at 19 packets a frame.
    int PacketsLeftInFrame(Ticks now) const;
    void ServeRetries(Ticks now);
    void ServeControl(UsbEndpoint& ep, Ticks frameEnd, int& budget);
    void ServeData(UsbEndpoint& ep, Ticks frameStart, Ticks frameEnd, int& budget);
    bool Execute(UsbTransfer& t, USBD_STATUS* failure);
    enum class Packet { Continue, Finished, Blocked };
    Packet ServePacket(UsbEndpoint& ep, UsbTransfer& t, Ticks frameEnd);
    bool Ready(const UsbEndpoint& ep) const;
    // The first frame a transfer queued now can go in.
    Ticks FirstFrame(bool periodic) const;
    Ticks EarliestFrame(const UsbEndpoint& ep) const;
    void RequestFrame(Ticks at);
    void ScheduleNextFrame();
    void EndpointReady(uint8_t address);
    void Retire(UsbTransfer& t, USBD_STATUS status, Ticks at);
    // The host controller finishes `t` within the current frame and completes it
    // before the submitter's IoCallDriver returns; false when it cannot.
    bool CompleteAtOnce(UsbTransfer& t);
    void Deliver(uint64_t id);
    void CancelRequested(PIRP irp);
    void OpenConfiguration(UsbTransfer& t);
    void CloseConfiguration(USBD_STATUS pendingStatus);
    void RetireQueued(UsbEndpoint& ep, USBD_STATUS status);
    void* NewHandle();

    Simulation* sim = nullptr;
    std::shared_ptr<UsbFunction> function;
    UsbDeviceConfig config;
    std::shared_ptr<UsbCapture> capture;
    // Held weakly by scheduled events and the function's listener, which do
    // nothing once the device has gone.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    SimDriver* driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    uint8_t address = 0;

    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configurationDescriptor;
    std::u16string serialNumber;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string deviceId;
    std::u16string instanceId;
    std::u16string deviceKeyPath;

    // N of the PDO's name \Device\USBPDO-N: unique among the devices that
    // still exist, connected or not (a pulled-out PDO lives until its removal).
    int pdoNumber = 0;
    bool connected = true;
    bool removed = false;
    bool started = false;
    DEVICE_POWER_STATE powerState = PowerDeviceD0;
    PowerResponder powerResponder;
    Ticks powerLatency = -1;  // -1: the hub's own timing (PowerLatencyFor)
    PIRP waitWake = nullptr;

    UsbEndpoint control;
    std::vector<std::unique_ptr<UsbEndpoint>> endpoints;  // every pipe ever opened
    std::vector<UsbEndpoint*> open;                       // the current configuration's
    uint8_t configurationValue = 0;
    // Configuration and interface handles are the addresses of these tokens.
    std::vector<std::unique_ptr<uint64_t>> handles;
    std::vector<uint8_t> scratch;  // one IN packet as the function produced it

    std::map<uint64_t, std::unique_ptr<UsbTransfer>> live;
    std::unordered_map<PIRP, uint64_t> byIrp;

    uint64_t frameEvent = 0;
    Ticks frameDue = -1;
    bool inFrame = false;
    // When the last frame was served, and when a completion was last handed to
    // the driver: a transfer the driver sends at a frame's start, where a
    // completion was reported, still goes in that frame (with the packets the
    // frame has left when its first service has already run).
    Ticks lastFrameStart = -1;
    Ticks lastDelivery = -1;
    int frameBudgetLeft = 0;  // packets the frame begun at lastFrameStart has left
    size_t bulkRotation = 0;

    std::vector<std::pair<UrbMatch, UrbFault>> faults;
    Ticks extraLatency = 0;
    uint64_t urbsSubmitted = 0;
};

UsbDevice::Impl* ImplOf(PDEVICE_OBJECT pdo);
Ticks NextFrameAfter(Ticks t);
uint32_t UsbPollingPeriod(uint8_t interval);
void NameUrbCancelRoutine();
std::string Narrow(const std::u16string& s);

}  // namespace sim
