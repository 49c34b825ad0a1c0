// The verifier: names each rule, stops the run on a violation unless the test
// expects that rule, and keeps a log of what it saw.
#include "internal.h"

#include <cstdlib>
#include <map>

namespace sim {

namespace {
struct Expectation {
    int count = 0;
    std::string lastMessage;
};
std::map<Rule, Expectation> g_expected;
std::vector<std::string> g_log;
Verifier::TeardownCheck g_teardown;
}  // namespace

const char* RuleName(Rule rule) {
    switch (rule) {
        case Rule::IrpCompletedTwice: return "IRP_COMPLETED_TWICE";
        case Rule::IrpCompletedWithCancelRoutine: return "IRP_COMPLETED_WITH_CANCEL_ROUTINE";
        case Rule::IrpCompletedWithStatusPending: return "IRP_COMPLETED_WITH_STATUS_PENDING";
        case Rule::PendingNotMarked: return "STATUS_PENDING_WITHOUT_IoMarkIrpPending";
        case Rule::MarkedPendingNotReturned: return "IoMarkIrpPending_WITHOUT_STATUS_PENDING";
        case Rule::IrpTouchedAfterCompletion: return "IRP_TOUCHED_AFTER_COMPLETION";
        case Rule::IrpInformationTooLarge: return "IRP_INFORMATION_EXCEEDS_BUFFER";
        case Rule::IrpLeaked: return "IRP_LEAKED";
        case Rule::NoMoreStackLocations: return "NO_MORE_IRP_STACK_LOCATIONS";
        case Rule::IrqlTooHigh: return "IRQL_TOO_HIGH_FOR_DDI";
        case Rule::IrqlNotRestored: return "IRQL_NOT_RESTORED";
        case Rule::SpinLockNotHeld: return "SPIN_LOCK_NOT_HELD";
        case Rule::SpinLockRecursion: return "SPIN_LOCK_ACQUIRED_RECURSIVELY";
        case Rule::SpinLockReleaseOrder: return "SPIN_LOCK_RELEASED_OUT_OF_ORDER";
        case Rule::SpinLockReleaseIrql: return "SPIN_LOCK_WRONG_IRQL";
        case Rule::SpinLockHeldOnReturn: return "SPIN_LOCK_HELD_ON_RETURN";
        case Rule::LockOrder: return "LOCK_ORDER_VIOLATED";
        case Rule::CancelLockNotReleased: return "CANCEL_SPIN_LOCK_NOT_RELEASED";
        case Rule::PoolLeak: return "POOL_LEAK";
        case Rule::PoolDoubleFree: return "POOL_DOUBLE_FREE";
        case Rule::PoolTagMismatch: return "POOL_TAG_MISMATCH";
        case Rule::PoolQuotaRaise: return "POOL_QUOTA_EXCEPTION_UNHANDLED";
        case Rule::ObjectNotInitialized: return "OBJECT_NOT_INITIALIZED";
        case Rule::DeferredObjectFreed: return "QUEUED_DPC_OR_TIMER_FREED";
        case Rule::DeviceDeletedWithIrps: return "DEVICE_DELETED_WITH_IRPS_OUTSTANDING";
        case Rule::SectionLockPairing: return "SECTION_LOCK_UNPAIRED";
        case Rule::FastMutexMisuse: return "FAST_MUTEX_MISUSE";
        case Rule::IdleCountsAtTeardown: return "COUNTS_NOT_IDLE_AT_TEARDOWN";
        case Rule::Deadlock: return "DEADLOCK";
        case Rule::BadParameter: return "BAD_PARAMETER";
        case Rule::PowerIrpNotReleased: return "POWER_IRP_WITHOUT_PoStartNextPowerIrp";
        case Rule::PowerIrpWithoutPoCallDriver: return "POWER_IRP_PASSED_WITHOUT_PoCallDriver";
        case Rule::PagedCodeAtRaisedIrql: return "PAGED_CODE_AT_RAISED_IRQL";
        case Rule::AssertionFailed: return "ASSERTION_FAILED";
        case Rule::StackObjectOutlivedFrame: return "STACK_OBJECT_ON_RETURNED_FRAME";
        case Rule::DeviceDeletedWhileAttached: return "DEVICE_DELETED_WHILE_ATTACHED";
        case Rule::IrpPassedDownWithCancelRoutine: return "IRP_PASSED_DOWN_WITH_CANCEL_ROUTINE";
        case Rule::NextLocationNotSet: return "IRP_PASSED_DOWN_WITHOUT_NEXT_STACK_LOCATION";
        case Rule::IrpCompletedByNonOwner: return "IRP_COMPLETED_BY_DRIVER_THAT_DOES_NOT_OWN_IT";
        case Rule::IrpFreedWhileHeld: return "IRP_FREED_WHILE_A_LOWER_DRIVER_HOLDS_IT";
        case Rule::RemoveNotForwarded: return "IRP_MN_REMOVE_DEVICE_NOT_PASSED_DOWN";
        case Rule::DeviceSurvivedRemoval: return "DEVICE_NOT_DETACHED_AND_DELETED_AT_REMOVAL";
        case Rule::UnhandledPnpStatusChanged: return "STATUS_OF_UNHANDLED_PNP_IRP_CHANGED";
        case Rule::CallingConventionMismatch: return "CALLING_CONVENTION_MISMATCH";
    }
    return "UNKNOWN_RULE";
}

bool Verifier::Violation(Rule rule, const std::string& message) {
    std::string line = std::string("VERIFIER: ") + RuleName(rule) + ": " + message;
    g_log.push_back(line);
    auto it = g_expected.find(rule);
    if (it != g_expected.end()) {
        it->second.count++;
        it->second.lastMessage = message;
        return true;
    }
    std::fprintf(stderr, "\n*** %s\n", line.c_str());
    if (Simulation::Exists()) {
        auto& sim = Simulation::Current();
        std::fprintf(stderr, "*** virtual time %lld us, %s\n*** replay: %s\n",
                     static_cast<long long>(sim.Now() / kMicrosecond), sim.ScheduleDescription().c_str(),
                     sim.ReplayCommand().c_str());
    }
    std::fflush(stderr);
    std::abort();
}

void Verifier::SetTeardownCheck(TeardownCheck check) { g_teardown = std::move(check); }
void Verifier::RunTeardownCheck(void* deviceObject) {
    if (g_teardown) g_teardown(deviceObject);
}

const std::vector<std::string>& Verifier::Log() { return g_log; }

void Verifier::Reset() {
    g_log.clear();
    g_teardown = nullptr;
}

ExpectViolation::ExpectViolation(Rule rule) : rule_(rule) { g_expected[rule] = Expectation{}; }
ExpectViolation::~ExpectViolation() { g_expected.erase(rule_); }
int ExpectViolation::Count() const { return g_expected.at(rule_).count; }
const std::string& ExpectViolation::LastMessage() const { return g_expected.at(rule_).lastMessage; }

bool CheckObjectsFreed(const void* base, size_t size, const char* what) {
    auto& st = St();
    auto inside = [&](const void* p) {
        auto b = static_cast<const char*>(base);
        auto q = static_cast<const char*>(p);
        return q >= b && q < b + size;
    };
    std::string routine;
    if (DpcQueued(base, size, &routine)) {
        Verifier::Violation(Rule::DeferredObjectFreed,
                            std::string(what) + " freed while its DPC " + routine + " is queued");
        return false;
    }
    for (auto& [timer, id] : st.setTimers) {
        if (inside(timer)) {
            Verifier::Violation(Rule::DeferredObjectFreed, std::string(what) + " freed while a timer in it is set");
            return false;
        }
    }
    for (auto& [object, thread] : st.waiters) {
        if (inside(object)) {
            Verifier::Violation(Rule::DeferredObjectFreed,
                                std::string(what) + " freed while thread '" + thread->name + "' waits on an object in it");
            return false;
        }
    }
    return true;
}

}  // namespace sim
