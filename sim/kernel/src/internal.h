// State shared by the simulated kernel's source files. Not for tests or tools:
// they use the headers under sim/kernel/include/sim.
#pragma once

#include <sim/ddi.h>
#include <sim/io.h>
#include <sim/pnp.h>
#include <sim/power.h>
#include <sim/simulation.h>
#include <sim/verifier.h>
#include <sim/wmi.h>
#include "recycling.h"

#include <bitset>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace sim {

// Object type codes the kernel stores in the first byte of its objects; the
// verifier uses them to tell initialised objects from raw memory.
constexpr UCHAR kEventNotificationType = 0;
constexpr UCHAR kEventSynchronizationType = 1;
constexpr UCHAR kTimerNotificationType = 8;
constexpr UCHAR kTimerSynchronizationType = 9;
constexpr UCHAR kDpcType = 0x13;
// Marks a dispatcher header the kernel initialised (kept in Header.Size).
constexpr UCHAR kInitialisedMark = 0x5E;
// KeSetTargetProcessorDpc keeps the processor in KDPC.Number above this base.
constexpr USHORT kTargetProcessorBase = 32;

}  // namespace sim
#include "fiber.h"
namespace sim {

struct HeldLock {
    PKSPIN_LOCK lock;
    KIRQL oldIrql;
    int rank;          // position in the driver's declared lock order, -1 if none
    const void* site;  // the code that acquired it
};

// Where a context stands with respect to running.
enum class Yielding {
    No,
    Yield,  // Simulation::Yield: runnable, but others first
    Idle,   // RunUntilIdle: runnable only once nothing else is
};

// A driver routine called from the kernel (dispatch, completion, cancel, DPC,
// callback) still running on a context: the stack pointer it started at and
// its name, for the stack-depth figures.
struct CallOut {
    const void* routine;
    uintptr_t entrySp;
    uintptr_t lowestSp;  // the deepest the routine's stack has been seen to go
};

// A stack object (event, status block, completion context) handed to a request
// while the frame that holds it may return before the request completes.
struct StackObject {
    const void* irp;    // the request it went with
    const void* address;
    int context;        // whose stack
    bool frameGone = false;
    const char* what;   // a fixed text
};

// One execution context: a simulated thread (system thread, or the test's own
// thread) or a processor's DPC context. Exactly one context executes at a time;
// the scheduler decides which, at the preemption points.
struct Context {
    enum class Kind { Thread, Dpc } kind = Kind::Thread;
    int id = 0;
    std::string name;
    std::function<void()> body;
    std::unique_ptr<Fiber> fiber;
    bool started = false;
    bool finished = false;
    Yielding yielding = Yielding::No;
    KIRQL irql = PASSIVE_LEVEL;
    // The processor it occupies (-1: none). A DPC context always has its own.
    int processor = -1;
    // Current wait, if any.
    bool waiting = false;
    bool satisfied = false;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    DISPATCHER_HEADER* waitObject = nullptr;
    // Where the current wait was called from (named in a deadlock report).
    const void* waitCaller = nullptr;
    // A wait on several objects only watches them: a signal wakes the thread
    // without taking the signal, and the thread looks at them all again.
    bool watching = false;
    uint64_t timeoutEvent = 0;
    std::vector<PFAST_MUTEX> ownedMutexes;
    // A spin lock another processor holds, while this context spins on it.
    PKSPIN_LOCK spinningOn = nullptr;
    std::vector<HeldLock> heldLocks;
    // Simulator code that must not be interleaved (the bus, the managers)
    // raises this; calls into driver code drop it to 0 for their duration.
    int atomicDepth = 0;
    // Probabilistic concurrency testing: higher runs first.
    int64_t priority = 0;
    std::vector<CallOut> callouts;
    // The stack pointer when the context last passed a preemption point.
    uintptr_t lastSp = 0;
    // A thread is a dispatcher object too: signalled when it ends.
    KEVENT ended{};
};
using Thread = Context;

struct TimedEvent;

// What a processor's DPC context works through: queued DPCs and interrupts
// (timed events delivered to this processor).
struct WorkItem {
    PKDPC dpc = nullptr;
    std::shared_ptr<TimedEvent> event;
};

struct Processor {
    int index = 0;
    Context* thread = nullptr;  // the thread it runs, or last ran
    Context* dpc = nullptr;     // its DPC context
    bool inDpc = false;         // the DPC context has interrupted the thread
    std::deque<WorkItem> queue;
    // Held: the one item the test released, run next whatever else is queued.
    std::deque<WorkItem> released;
    int64_t pendingPriority = 0;
};

struct TimedEvent {
    Ticks due = 0;
    uint64_t id = 0;
    EventName name;
    std::function<void()> fn;
    bool completion = false;
    // Events with the same key (completions of one pipe) are delivered to one
    // processor in order.
    uint64_t orderKey = 0;
};

// The lock-order graph: an edge for every pair of lock classes ever held
// together, with the sites that first nested them.
struct LockEdge {
    const void* outerSite;  // return addresses, named only when reported
    const void* innerSite;
};

struct PoolBlock {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    uint64_t serial;
};

// What the I/O manager knows about each IRP besides the IRP itself.
// Test: sent by a test (sim::SendIrp); Allocated: IoAllocateIrp; Built:
// IoBuildDeviceIoControlRequest; System: a request of the Plug and Play or WMI
// manager (SendSystemIrp); Power: made by the power manager; File: a request
// on a file object (an open, a read through a handle, a cleanup or close).
enum class IrpOrigin { Test, Allocated, Built, System, Power, File };
enum class IrpState { Active, Completed, Freed };
struct IrpRecord {
    IrpOrigin origin = IrpOrigin::Test;
    IrpState state = IrpState::Active;
    // Told apart from an IRP allocated later at the same address.
    uint64_t serial = 0;
    int activeCalls = 0;                 // IofCallDriver frames still on the stack
    // Per stack location (index 1..StackCount; a stack has at most 127).
    using LocationBits = std::bitset<130>;
    LocationBits returnedPending;
    // Per stack location: the pending mark it carried when completion left it
    // (completion clears the location), and whether a driver holds it (it was
    // delivered by IoCallDriver and completion has not passed it yet).
    LocationBits pendingMarks;
    LocationBits held;
    // Locations the power manager marked pending for their sender when it held
    // the IRP back (the mark a lower driver would have set).
    LocationBits powerHeldMarks;
    // Every device the IRP was delivered to, in order.
    std::vector<PDEVICE_OBJECT> reached;
    std::vector<uint8_t> snapshot;       // the IRP as it was when it completed
    std::shared_ptr<IrpResult> result;   // Test: what the test sees
    void* systemBuffer = nullptr;        // owned by the I/O manager (Test, Built)
    ULONG outputLength = 0;
    bool buffered = false;               // output copied back from the system buffer
    // Test: the caller's own memory for direct and neither I/O (output, and a
    // METHOD_NEITHER input), and the MDL the I/O manager built for direct I/O.
    void* userBuffer = nullptr;
    void* userInput = nullptr;
    bool userOutputCopied = false;       // output read back from userBuffer
    PMDL mdl = nullptr;
    PVOID userOutput = nullptr;          // Built: caller's output buffer
    struct SystemIrpResult* systemResult = nullptr;  // System: where the outcome goes
    // The power manager held the IRP and delivers it now.
    bool deferredDelivery = false;
    // A changed status of an unhandled Plug and Play request was reported.
    bool unhandledStatusReported = false;
    std::function<void(PIRP)> onComplete;  // Power: the power manager's own finish
    // IRP_MJ_POWER: its number in the power log, the devices it reached in
    // order, those that called PoStartNextPowerIrp for it, and whether the call
    // now under way came through PoCallDriver.
    bool power = false;
    UCHAR powerMinor = 0;
    uint64_t powerNumber = 0;
    bool throughPoCallDriver = false;
    std::vector<PDEVICE_OBJECT> powerReceivers;
    std::vector<PDEVICE_OBJECT> powerReleased;
    IO_STACK_LOCATION powerLocation{};  // the request as its maker filled it
    // File: the file object it was issued on (it holds a reference to it until
    // its completion is processed), whether it is queued to the issuing thread,
    // the caller's output buffer a buffered request is copied back into, and
    // what keeps the caller's memory alive meanwhile.
    PFILE_OBJECT file = nullptr;
    bool fileReference = false;
    bool threaded = false;
    void* callerOutput = nullptr;
    std::shared_ptr<void> keepAlive;
};

// A file object the I/O manager made for an open, and what it knows about it.
struct FileRecord {
    PFILE_OBJECT object = nullptr;
    std::u16string name;              // as the opener spelled it
    std::u16string canonicalName;     // the object name it resolved through
    ACCESS_MASK granted = 0;
    int handles = 0;
    // Handles, requests in flight and the I/O manager's own while it works on
    // the file: IRP_MJ_CLOSE goes when the last one goes.
    int references = 0;
    bool cleanedUp = false;
    bool closing = false;
    std::vector<ULONG_PTR> handleValues;  // for messages
};

// Whose code runs on a thread: the driver of the dispatch, completion or cancel
// routine the I/O manager called last (null when it cannot tell), and the IRQL
// it was called at. Code reached at another IRQL (a DPC or a timed event that
// runs while the thread waits) is not counted as that driver's.
struct CodeFrame {
    PDRIVER_OBJECT driver;
    KIRQL irql;
};

struct SimDriverRecord {
    std::string name;
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct IoState {
    std::unordered_map<PIRP, IrpRecord> irps;
    KSPIN_LOCK cancelLock = 0;
    std::map<std::u16string, PDEVICE_OBJECT> deviceNames;   // lower-cased names
    std::map<std::u16string, std::u16string> symbolicLinks;  // lower-cased link -> target
    std::map<std::u16string, std::u16string> linkSpelling;   // lower-cased link -> as created
    std::set<PDEVICE_OBJECT> devices;
    std::vector<std::unique_ptr<SimDriverRecord>> simDrivers;
    std::set<PDRIVER_OBJECT> drivers;
    int failNthDeviceCreation = 0;
    uint64_t deviceCreations = 0;  // IoCreateDevice calls, the failed ones too
    NTSTATUS deviceCreationFailure = STATUS_INSUFFICIENT_RESOURCES;
    CONFIGURATION_INFORMATION configuration{};
    std::unordered_map<const Thread*, std::vector<CodeFrame>> frames;
    std::set<PMDL> mdls;  // MDLs drivers allocated and have not freed
    uint64_t nextIrpSerial = 1;
    // Files: the file objects, the handle table, each thread's list of the
    // requests it issued (the IRPs' ThreadListEntry links), the file objects
    // still open on each named device (the open count that exclusive devices and
    // deletion look at), devices deleted while files were still open on them,
    // and the I/O manager's error log.
    std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files;
    std::map<ULONG_PTR, PFILE_OBJECT> fileHandles;
    ULONG_PTR nextFileHandle = 0x40;
    std::map<const Context*, LIST_ENTRY> threadIrps;
    std::map<PDEVICE_OBJECT, int> openFiles;
    std::set<PDEVICE_OBJECT> deletePending;
    std::vector<std::string> errorLog;
};

struct DeviceInterfaceEntry {
    std::u16string symbolicLink;
    PDEVICE_OBJECT pdo;
    GUID interfaceClass;
    bool enabled;
};

struct PnpManagerState {
    // Surprise-removed devices whose removal waits for the last file object open
    // on their stack to be closed.
    std::set<PDEVICE_OBJECT> removalsAwaitingClose;
    std::map<PDEVICE_OBJECT, std::u16string> instancePaths;
    std::vector<DeviceInterfaceEntry> interfaces;
    std::map<PDEVICE_OBJECT, PDRIVER_OBJECT> functionDrivers;  // pdo -> driver above it
};

// One provider registered with WMI (sim/wmi.h has the public view of it).
struct WmiProviderRecord {
    PDEVICE_OBJECT device = nullptr;
    WmiRegistration registration;
    // PDOs the WMI library referenced for the registration's instance names.
    std::vector<PDEVICE_OBJECT> referencedPdos;
};

// A request the WMI library handed to a driver's callback, until the driver
// finishes it with WmiCompleteRequest.
struct WmiLibRequest {
    UCHAR minor = 0;
    ULONG dataOffset = 0;  // where the callback was given room for its data
    ULONG available = 0;   // how much room
    ULONG instanceCount = 0;
};

struct WmiManagerState {
    std::vector<WmiProviderRecord> providers;  // in registration order
    std::map<PIRP, WmiLibRequest> libRequests;
    // WMI requests sent into each device's stack and not yet completed, and the
    // threads that carry them.
    std::map<PDEVICE_OBJECT, int> outstanding;
    std::map<int, PDEVICE_OBJECT> requestThreads;
    // Deregistrations waiting for a device's outstanding requests.
    std::map<PDEVICE_OBJECT, std::vector<PKEVENT>> drainWaiters;
};

struct PowerManagerState {
    SYSTEM_POWER_STATE systemState = PowerSystemWorking;
    POWER_ACTION lastAction = PowerActionNone;
    uint64_t nextIrpNumber = 1;
    std::vector<PowerEvent> log;
    std::vector<DevicePowerRequest> requests;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> reported;
    // One query-power or set-power IRP of each type (system, device) is active
    // per device object; the next waits until the driver releases the active one
    // with PoStartNextPowerIrp.
    struct Slot {
        PIRP active = nullptr;
        std::deque<PIRP> waiting;
    };
    std::map<std::pair<PDEVICE_OBJECT, int>, Slot> slots;
    // The stack the last system sleep was sent to: a wait-wake that completes
    // while the system sleeps wakes the system through it.
    PDEVICE_OBJECT sleepingPdo = nullptr;
    bool wakeUnderWay = false;
    uint64_t wakesByDevice = 0;
};

struct Simulation::State {
    // Time and policy.
    Ticks now = 0;
    Policy policy = Policy::Eager;
    uint64_t seed = 0;
    std::mt19937_64 rng;
    uint64_t nextId = 1;
    std::map<std::pair<Ticks, uint64_t>, std::shared_ptr<TimedEvent>, std::less<std::pair<Ticks, uint64_t>>,
             Recycling<std::pair<const std::pair<Ticks, uint64_t>, std::shared_ptr<TimedEvent>>>>
        events;
    // Events whose time has come, not yet handed to a processor.
    std::deque<std::shared_ptr<TimedEvent>> due;
    std::vector<std::shared_ptr<TimedEvent>> heldCompletions;
    // The processor an order key's last event went to, while it is queued or running.
    std::map<uint64_t, std::pair<int, uint64_t>> orderKeys;
    Ticks timeIncrement = 156250;

    // Processors and contexts. Exactly one context runs: `current`.
    std::deque<Processor> processors;  // a deque: references stay valid as processors are added
    int processorCount = 1;
    bool processorsSet = false;
    std::vector<std::unique_ptr<Context>> threads;  // threads (index = id), then DPC contexts
    std::vector<std::unique_ptr<Context>> dpcContexts;
    Context* current = nullptr;
    std::multimap<DISPATCHER_HEADER*, Context*> waiters;
    std::unordered_map<PKTIMER, uint64_t> setTimers;  // timer -> its expiry event
    std::map<const void*, std::string> routineNames;
    // Fibers that finished (their stacks are freed by the next context to run).
    std::vector<std::unique_ptr<Fiber>> finishedFibers;

    // Probabilistic concurrency testing.
    int pctDepth = 3;
    uint64_t pctSteps = 0;        // scheduling points so far
    uint64_t pctBudget = 2000;    // change points are drawn from [1, budget]
    bool pctBudgetSet = false;
    std::vector<uint64_t> changePoints;
    size_t nextChangePoint = 0;
    int64_t clockPriority = 0;
    uint64_t switches = 0;
    uint64_t points = 0;
    Simulation::InlineCompletions inlineCompletions = Simulation::InlineCompletions::ByPolicy;

    // Lock-order graph by lock class.
    std::map<std::pair<std::string, std::string>, LockEdge> lockEdges;
    // Pairs of lock addresses already put through the graph, valid while the
    // classes of locks stay what they were (no device created or deleted, no
    // order declared since): nesting the same two locks again adds nothing.
    std::set<std::pair<PKSPIN_LOCK, PKSPIN_LOCK>> nestingsSeen;
    // Stack objects handed to requests that have not completed yet.
    std::vector<StackObject> stackObjects;

    // Pool.
    std::map<void*, PoolBlock> pool;
    uint64_t poolSerial = 0;
    uint64_t failNthAllocation = 0;  // 0: off; counts down to the failing one
    std::set<ULONG> failTags;
    uint64_t allocations = 0;  // every allocation fault injection may fail
    bool recordAllocationCallers = false;
    std::vector<const void*> allocationCallers;
    int sectionLocks = 0;

    // Machine facts and output.
    MM_SYSTEMSIZE systemSize = MmMediumSystem;
    std::vector<std::string> debugLog;

    // Lock order the driver declared, outermost first; the cancel spin lock is
    // represented by its own address.
    std::vector<PKSPIN_LOCK> lockOrder;
    std::vector<std::string> lockNames;
    // The same order declared for a driver's device extensions: every device of
    // `lockOrderDriver` has its locks at these offsets (kCancelLockOffset stands
    // for the system cancel spin lock).
    PDRIVER_OBJECT lockOrderDriver = nullptr;
    std::vector<std::pair<size_t, std::string>> extensionLockOrder;

    IoState io;
    PnpManagerState pnp;
    PowerManagerState power;
    WmiManagerState wmi;
};

Simulation::State& St();

// The system time now. Virtual time starts at 2026-01-01 00:00:00 UTC, in
// 100-ns units since 1601.
inline LONGLONG SystemTimeNow() {
    constexpr LONGLONG kEpoch = 134114976000000000LL;
    return kEpoch + St().now;
}
Context* CurrentThread();
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);

// --- Scheduler internals used by the synchronisation and I/O code -------------
// A preemption point: the policy may run something else here.
void Point();
// The running context cannot go on (a wait not yet satisfied, a spin lock
// held elsewhere): runs others until it can. Returns when it may continue.
void BlockCurrent();
// A delay of exactly `span` (not rounded to the clock's ticks): the test's and
// tools' own way to let time pass.
void DelayExactly(Ticks span);
// The DISPATCH_LEVEL software interrupt: if the current processor has DPCs or
// interrupts queued and its IRQL is below DISPATCH_LEVEL, they run now.
void DeliverPendingDpcs();
// Queues a DPC on a processor (its target, or the current one).
void QueueDpc(PKDPC dpc, bool front);
bool RemoveQueuedDpc(PKDPC dpc);
bool DpcQueued(const void* base, size_t size, std::string* routine);
void RunDpc(PKDPC dpc);
void SatisfyWaiters(DISPATCHER_HEADER* object);
std::string RoutineName(const void* routine);
std::string Hex(const void* p);
// Tick-aligned expiry of a due time, as the clock interrupt sees it.
Ticks ExpiryOnTick(Ticks due);

// Pageable code: whether `address` lies in the driver's pageable section, and
// the check of code there running at `irql`.
bool InPageableSection(const void* address);
void CheckPageableCaller(const void* caller, const char* what);
// A pageable routine entered (from `caller`, when known).
void CheckPageableEntry(const void* routine, const void* caller);

// Stack objects handed to requests (an IRP's event and status block, a
// completion routine's context): registered while the request is out, checked
// when the request completes.
void NoteStackObject(const void* irp, const void* address, const char* what);
// False (after reporting) when the object's frame has returned.
bool CheckStackObject(const void* irp, const void* address, const char* use);
void ForgetStackObjects(const void* irp);
// The id of the context whose stack holds `address`, or kNoStackOwner.
int StackOwner(const void* address);
constexpr int kNoStackOwner = -1000000;

constexpr size_t kCancelLockOffset = static_cast<size_t>(-1);

// The driver's declared lock order: rank of a lock, or -1.
int LockRank(PKSPIN_LOCK lock);
// A lock's class may have changed (a device created or deleted, a lock order
// declared): the pairs of locks already put through the order graph go again.
void LockClassesChanged();
void NoteLockAcquired(PKSPIN_LOCK lock, KIRQL oldIrql, const void* site);
bool NoteLockReleased(PKSPIN_LOCK lock, KIRQL* oldIrql);
// The function holding `address`, as the symbol table names it (with its
// source line where the build has them); CallerName for a return address.
std::string CodeName(const void* address);
std::string CallerName(const void* returnAddress);

// Fault injection shared by every allocation a driver can see fail (pool, IRPs,
// MDLs, power IRPs): counts it, notes its caller while sites are recorded, and
// answers whether this one is the n-th that FailNthPoolAllocation chose.
bool AllocationFails(const void* caller);

// Verifier helpers.
bool RequireIrql(const char* ddi, KIRQL maxIrql);
// Answers false when the memory still holds a queued DPC, a set timer or an
// object a thread waits on (and the test expected that): do not free it then.
bool CheckObjectsFreed(const void* base, size_t size, const char* what);

// Runs `work` in a new system thread at PASSIVE_LEVEL and waits for it, in
// virtual time and from any thread; `what` names it, and a component that takes
// longer than `limit` is reported as hung.
void RunInSystemThread(const std::string& what, const std::function<void()>& work, Ticks limit);

// The request a system component (the Plug and Play, power or WMI manager) sends
// and waits for: built with its own event and status block, its status and
// Information as given, the next stack location filled by `fill`, sent to the top
// of `device`'s stack. Answers what the dispatch returned and the status block.
struct SystemIrpResult {
    NTSTATUS returned;
    IO_STATUS_BLOCK iosb;
    std::vector<PDEVICE_OBJECT> reached;  // the devices it was delivered to, in order
};
SystemIrpResult SendSystemIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initialStatus,
                              ULONG_PTR initialInformation, const std::function<void(IO_STACK_LOCATION&)>& fill);

// I/O manager internals shared with the power and Plug and Play managers.
PIRP AllocateIrpRecord(CCHAR stackSize, IrpOrigin origin);
IrpRecord* FindIrp(PIRP irp);
void CheckIoAtTeardown();
// The power manager's watch over IRP_MJ_POWER requests: a delivery to a
// device's dispatch routine, the completion by the device that holds the IRP,
// the end of the IRP (completed to the top, or freed by its allocator), and
// the deletion of a device object.
void NotePowerIrpDelivered(PIRP irp, IrpRecord& rec, PDEVICE_OBJECT device);
bool CheckPowerIrpCompleter(PIRP irp, IrpRecord& rec);
void CheckPowerIrpFinished(PIRP irp, IrpRecord& rec, NTSTATUS status);
void ForgetDevicePower(PDEVICE_OBJECT device);
// What the I/O manager writes into the next stack location before each
// dispatch; a request passed on with it still there was never set up.
constexpr UCHAR kUnsetLocationFill = 0xC5;
// The driver whose code the current thread runs, or null.
PDRIVER_OBJECT RunningDriver();
void CheckWmiAtDeviceDeletion(PDEVICE_OBJECT device);
// The WMI side of a device's deletion: a device still registered is an error.
void ForgetWmiProvider(PDEVICE_OBJECT device);
void ReleaseIoObjects();

// Buffers the I/O manager allocates for a caller are not cleared: the part the
// driver does not write keeps this pattern, so an Information count beyond what
// the driver wrote shows up in what the caller reads back.
constexpr unsigned char kUnwrittenFill = 0xCD;
void* NewCallerBuffer(ULONG length, const uint8_t* data, ULONG dataLength);
// An MDL over memory the I/O manager has locked for the request.
PMDL NewLockedMdl(void* va, ULONG length);

// --- Object names and files ----------------------------------------------------
// An object name as the namespace compares it: lower case, with \DosDevices\,
// \GLOBAL??\ and \??\Global\ all read as \??\ (one DosDevices directory).
std::u16string CanonicalObjectName(const std::u16string& name);
std::u16string LowerName(const std::u16string& name);
// IoCancelIrp on behalf of the I/O manager itself, on an IRP that may have been
// completed (and freed) meanwhile: answers false, touching nothing, unless the
// IRP with that serial number is still live once the cancel spin lock is held.
bool CancelIrpIfLive(PIRP irp, uint64_t serial);
// The completion of a File request at the top of its stack: what the I/O
// manager's completion does in the issuing thread (copy back, status block,
// events, the thread's list, the file reference).
void FinishFileRequest(PIRP irp, IrpRecord& rec, NTSTATUS status, bool copyBack);
// A thread ends: its outstanding requests are cancelled and waited for.
void CancelThreadIo(Context* thread);
// "issued on \\.\COM3 (file object ..., handle closed)", for messages.
std::string DescribeFileOf(PIRP irp, const IrpRecord& rec);
// File objects still open on `device`, and whether it was deleted while some were.
int OpenFileCount(PDEVICE_OBJECT device);
bool DeviceDeletePending(PDEVICE_OBJECT device);
// IoDeleteDevice's last step, deferred while file objects are open on it.
void FreeDeviceObject(PDEVICE_OBJECT device);
// The last file object open on a device of this stack has been closed: a
// removal waiting for it goes now.
void NoteFilesClosedOnStack(PDEVICE_OBJECT device);
void ReleaseFileObjects();

}  // namespace sim
