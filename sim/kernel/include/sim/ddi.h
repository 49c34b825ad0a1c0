// What every simulated component uses at the border between the simulator's
// own code and driver code: DDI entry and return (preemption points), sections
// of simulator code that other contexts must not interleave with, and calls
// into driver routines.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include <simnt/ntdef.h>

#if defined(__i386__)
// Calls `routine` with `count` words from `words` as its stack arguments and
// stores in *popped how many bytes of them it popped; answers what it answered.
extern "C" uint32_t vodrek_checked_stdcall(const void* routine, const uint32_t* words, uint32_t count,
                                           int32_t* popped);
#endif

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

#if defined(__i386__)
// Reports a driver routine that popped `popped` bytes of arguments where the
// kernel passed `passed`.
void ReportStackImbalance(const void* routine, int32_t popped, uint32_t passed);
#endif

// Calls a routine of a driver with the kernel's convention. On i386 the
// routine pops its own arguments; one declared with another convention pops
// another number of bytes and leaves the kernel's stack pointer off by the
// difference, which on Windows corrupts the caller's frame at some later
// point. There the call goes through a thunk that pushes the arguments,
// compares the stack pointer after the call with what popping them gives,
// puts it right and reports the routine.
template <class R, class... P, class... A>
R CallDriverRoutine(R(NTAPI* routine)(P...), A&&... args) {
#if defined(__i386__)
    static_assert(((sizeof(P) <= sizeof(uint32_t) && std::is_trivially_copyable_v<P>) && ... && true),
                  "the kernel's callbacks take word-sized arguments");
    static_assert(std::is_void_v<R> || (std::is_integral_v<R> &&
                                         sizeof(std::conditional_t<std::is_void_v<R>, char, R>) <= 4),
                  "the kernel's callbacks answer a word or nothing");
    auto word = [](auto value) {
        uint32_t w = 0;
        std::memcpy(&w, &value, sizeof value);
        return w;
    };
    const uint32_t words[sizeof...(P) + 1] = {word(static_cast<P>(std::forward<A>(args)))..., 0};
    int32_t popped = 0;
    const uint32_t result = vodrek_checked_stdcall(reinterpret_cast<const void*>(routine), words,
                                                   sizeof...(P), &popped);
    if (popped != static_cast<int32_t>(sizeof...(P) * 4))
        ReportStackImbalance(reinterpret_cast<const void*>(routine), popped, sizeof...(P) * 4);
    if constexpr (!std::is_void_v<R>) return static_cast<R>(result);
#else
    return routine(std::forward<A>(args)...);
#endif
}

}  // namespace sim
