// User-mode execution contexts for the simulated processors: each simulated
// thread and each processor's DPC context runs on a stack of its own, and the
// scheduler hands the one real thread from stack to stack. A switch is a handful
// of register moves, so the simulation can switch at every preemption point and
// still run far faster than real time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

class Fiber {
public:
    // The fiber of the calling OS thread: it runs on the thread's own stack and
    // is only ever switched away from and back to.
    static Fiber* ForCurrentThread();
    // A new fiber that will call `entry(argument)` on a fresh stack of `stackBytes`
    // (rounded up to whole pages, with an inaccessible guard page below it) the
    // first time it is switched to. `entry` must never return.
    Fiber(void (*entry)(void*), void* argument, size_t stackBytes);
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Suspends `from` (the running fiber) and resumes `to`. Returns when some
    // fiber switches back to `from`. Pass `fromFinished` when `from` will never
    // run again, so the sanitizer can drop what it keeps for that stack.
    static void Switch(Fiber* from, Fiber* to, bool fromFinished = false);

    // The stack's address range; the lowest address in use so far is unknown to
    // the fiber, the scheduler samples it.
    uintptr_t StackLow() const { return low_; }
    uintptr_t StackHigh() const { return high_; }
    // Whether `address` lies in this fiber's guard page.
    bool InGuard(uintptr_t address) const;

    // Kernel-sized stacks where the build allows them; the sanitizers' own
    // frames and redzones need far more.
    static size_t DefaultStackBytes();

private:
    Fiber() = default;
    static void Start(Fiber* self);
    void* sp_ = nullptr;           // saved stack pointer while suspended
    void (*entry_)(void*) = nullptr;
    void* argument_ = nullptr;
    void* mapping_ = nullptr;
    size_t mappingBytes_ = 0;
    uintptr_t low_ = 0;
    uintptr_t high_ = 0;
    size_t guardBytes_ = 0;
    void* fakeStack_ = nullptr;    // the address sanitizer's record of this stack
    friend void FiberTrampoline(Fiber*);
};

// True in builds with AddressSanitizer.
bool SanitizedBuild();

}  // namespace sim
