// What every simulated component uses at the border between the simulator's
// own code and driver code: DDI entry and return (preemption points), sections
// of simulator code that other contexts must not interleave with, and calls
// into driver routines.
#pragma once

namespace sim {

struct Context;

// Simulator code that must not be interleaved with other contexts (the bus,
// the chip, the managers) runs inside one of these; calls into driver code
// (DriverCall) lift it for their duration.
class AtomicSection {
public:
    AtomicSection();
    ~AtomicSection();
    AtomicSection(const AtomicSection&) = delete;
    AtomicSection& operator=(const AtomicSection&) = delete;

private:
    Context* context_;
};

// The kernel calls a routine of a driver (dispatch, completion, cancel, DPC,
// callback): preemption points inside it count again, and the stack it uses is
// measured against its name. Routines of the simulator itself stay atomic.
class DriverCall {
public:
    explicit DriverCall(const void* routine);
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

private:
    Context* context_;
    int savedDepth_;
    bool driver_;
};
// Marks a routine as the simulator's own (a bus's cancel routine, a manager's
// completion routine): calling it does not open the context to preemption.
void MarkSimulatorRoutine(const void* routine);

// Entry and return of every DDI: preemption points, the pageable-code check
// against the caller, and the stack measurements.
class DdiScope {
public:
    DdiScope(const void* caller, const void* frame);
    ~DdiScope();
    DdiScope(const DdiScope&) = delete;
    DdiScope& operator=(const DdiScope&) = delete;

private:
    const void* caller_;
};
#define SIM_DDI() ::sim::DdiScope simDdiScope_(__builtin_return_address(0), __builtin_frame_address(0))

}  // namespace sim
