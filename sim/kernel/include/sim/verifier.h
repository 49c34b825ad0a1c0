// The simulator's verifier: the rules a driver must keep, checked on every call.
//
// A broken rule stops the run with a message naming the rule (like a bug check),
// unless a test has said it expects exactly that rule: then the violation is
// counted, the offending action is suppressed where that is possible, and the run
// goes on so the test can assert that the rule fired.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class Rule {
    IrpCompletedTwice,
    IrpCompletedWithCancelRoutine,
    IrpCompletedWithStatusPending,
    PendingNotMarked,
    MarkedPendingNotReturned,
    IrpTouchedAfterCompletion,
    IrpInformationTooLarge,
    IrpLeaked,
    NoMoreStackLocations,
    IrqlTooHigh,
    IrqlNotRestored,
    SpinLockNotHeld,
    SpinLockRecursion,
    SpinLockReleaseOrder,
    SpinLockReleaseIrql,
    SpinLockHeldOnReturn,
    LockOrder,
    CancelLockNotReleased,
    PoolLeak,
    PoolDoubleFree,
    PoolTagMismatch,
    PoolQuotaRaise,
    ObjectNotInitialized,
    DeferredObjectFreed,
    DeviceDeletedWithIrps,
    SectionLockPairing,
    FastMutexMisuse,
    IdleCountsAtTeardown,
    Deadlock,
    BadParameter,
    // A query-power or set-power IRP completed, passed on for good or ended
    // without PoStartNextPowerIrp from a driver that handled it, or with two.
    PowerIrpNotReleased,
    // A driver passed a power IRP down with IoCallDriver instead of PoCallDriver.
    PowerIrpWithoutPoCallDriver,
    // Code of the driver's pageable section run at DISPATCH_LEVEL or above while
    // the section is not locked, or PAGED_CODE() above APC_LEVEL.
    PagedCodeAtRaisedIrql,
    // An ASSERT of the driver failed (assertions are live in the simulator).
    AssertionFailed,
    // An event, status block or completion context on a stack frame that has
    // returned was handed to a request that used it afterwards.
    StackObjectOutlivedFrame,
    // A device object deleted while it is still attached to a lower device (or
    // another is attached to it): IoDeleteDevice does not detach.
    DeviceDeletedWhileAttached,
    // IoCallDriver or PoCallDriver with the IRP's cancel routine still set.
    IrpPassedDownWithCancelRoutine,
    // A driver passed an IRP on without setting up the next stack location.
    NextLocationNotSet,
    // IoCompleteRequest by a driver whose stack location is not the current one
    // (it passed the IRP on, and a lower driver owns it now).
    IrpCompletedByNonOwner,
    // IoFreeIrp while a lower driver still holds the IRP.
    IrpFreedWhileHeld,
    // IRP_MN_REMOVE_DEVICE completed without reaching the bus driver.
    RemoveNotForwarded,
    // A device still attached or not deleted once IRP_MN_REMOVE_DEVICE is done.
    DeviceSurvivedRemoval,
    // A driver changed the status of a Plug and Play IRP it does not handle.
    UnhandledPnpStatusChanged,
    // A driver routine the kernel called popped another number of bytes of
    // arguments than the kernel passed (i386: not declared NTAPI).
    CallingConventionMismatch,
};

const char* RuleName(Rule rule);

class Verifier {
public:
    // Reports a violation. Answers true when a test expected this rule (the caller
    // then skips the offending action and returns); otherwise the run stops.
    static bool Violation(Rule rule, const std::string& message);

    // Checks registered by whoever knows what "idle" means for a device (the
    // driver's own test harness): run when the device object is deleted.
    using TeardownCheck = std::function<void(void* deviceObject)>;
    static void SetTeardownCheck(TeardownCheck check);
    static void RunTeardownCheck(void* deviceObject);

    static const std::vector<std::string>& Log();
    static void Reset();
};

// Declares that the test expects `rule` to fire: violations of it are counted
// instead of stopping the run, while the guard lives.
class ExpectViolation {
public:
    explicit ExpectViolation(Rule rule);
    ~ExpectViolation();
    ExpectViolation(const ExpectViolation&) = delete;
    ExpectViolation& operator=(const ExpectViolation&) = delete;
    int Count() const;
    const std::string& LastMessage() const;

private:
    Rule rule_;
};

}  // namespace sim
