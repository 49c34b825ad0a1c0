// Execution contexts on stacks of their own. A switch saves the callee-saved
// registers (six on x86-64, four on i386) on the old stack and restores them
// from the new one; nothing else (no signal mask, no floating-point state
// beyond the ABI's) needs to travel, since every switch happens inside an
// ordinary function call.
#include "fiber.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

// gcc says it builds with AddressSanitizer by a macro, clang by a feature test.
#if defined(__SANITIZE_ADDRESS__)
#define VODREK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VODREK_ASAN 1
#endif
#endif
#if defined(VODREK_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#else
#define VODREK_ASAN 0
#endif

#if !defined(__x86_64__) && !defined(__i386__)
#error "the simulated kernel switches stacks with x86-64 or i386 code"
#endif

extern "C" {
void vodrek_fiber_switch(void** saveSp, void* newSp);
void vodrek_fiber_trampoline();
}

// vodrek_fiber_switch(saveSp, newSp): push the callee-saved registers, save the
// stack pointer, load the other one and pop its registers. A new fiber's stack
// is laid out as if it had been suspended just before returning into the
// trampoline, with its Fiber* in r12 (ebx on i386).
#if defined(__x86_64__)
asm(R"(
    .text
    .globl vodrek_fiber_switch
    .type vodrek_fiber_switch,@function
vodrek_fiber_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size vodrek_fiber_switch,.-vodrek_fiber_switch

    .globl vodrek_fiber_trampoline
    .type vodrek_fiber_trampoline,@function
vodrek_fiber_trampoline:
    movq %r12, %rdi
    andq $-16, %rsp
    call vodrek_fiber_start
    ud2
    .size vodrek_fiber_trampoline,.-vodrek_fiber_trampoline
)");
#else
asm(R"(
    .text
    .globl vodrek_fiber_switch
    .type vodrek_fiber_switch,@function
vodrek_fiber_switch:
    movl 4(%esp), %eax
    movl 8(%esp), %edx
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl %esp, (%eax)
    movl %edx, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size vodrek_fiber_switch,.-vodrek_fiber_switch

    .globl vodrek_fiber_trampoline
    .type vodrek_fiber_trampoline,@function
vodrek_fiber_trampoline:
    andl $-16, %esp
    subl $12, %esp
    pushl %ebx
    call vodrek_fiber_start
    ud2
    .size vodrek_fiber_trampoline,.-vodrek_fiber_trampoline
)");
#endif

namespace sim {

namespace {

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

// Fibers whose guard pages the overflow handler knows.
std::mutex g_registryLock;
std::set<const Fiber*> g_fibers;

char g_altStack[64 * 1024];
struct sigaction g_previousSegv;

void OnSegv(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const Fiber* f : g_fibers) {
        if (f->InGuard(address)) {
            char line[200];
            int n = std::snprintf(line, sizeof line,
                                  "\n*** VERIFIER: KERNEL_STACK_OVERFLOW: a simulated thread or DPC ran "
                                  "past the end of its %zu-byte kernel stack\n",
                                  static_cast<size_t>(f->StackHigh() - f->StackLow()));
            if (n > 0) (void)!write(2, line, static_cast<size_t>(n));
            std::abort();
        }
    }
    // Not ours: let whatever handled it before (or the default action) decide.
    sigaction(SIGSEGV, &g_previousSegv, nullptr);
    (void)signal;
    (void)context;
}

void InstallOverflowHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        stack_t alt{};
        alt.ss_sp = g_altStack;
        alt.ss_size = sizeof g_altStack;
        sigaltstack(&alt, nullptr);
        struct sigaction sa {};
        sa.sa_sigaction = OnSegv;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &g_previousSegv);
    });
}

// Stacks of fibers that ended, kept for the next ones: a machine starts and
// ends threads and DPC contexts all the time (a fuzzer, millions of times), and
// a fresh mapping costs its page faults and, under the address sanitizer, half
// a megabyte of them. A kept stack keeps its guard page.
struct SpareStack {
    void* mapping;
    size_t bytes;
};
constexpr size_t kSpareStacks = 32;
// Never destroyed: fibers of a machine kept past exit may still end after it.
std::vector<SpareStack>& SpareStacks() {
    static auto* spares = new std::vector<SpareStack>();
    return *spares;
}

void* TakeSpareStack(size_t bytes) {
    std::lock_guard<std::mutex> lock(g_registryLock);
    auto& spares = SpareStacks();
    for (size_t i = spares.size(); i-- > 0;) {
        if (spares[i].bytes != bytes) continue;
        void* mapping = spares[i].mapping;
        spares.erase(spares.begin() + static_cast<std::ptrdiff_t>(i));
        return mapping;
    }
    return nullptr;
}

void KeepSpareStack(void* mapping, size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(g_registryLock);
        if (SpareStacks().size() < kSpareStacks) {
            SpareStacks().push_back({mapping, bytes});
            return;
        }
    }
    munmap(mapping, bytes);
}

}  // namespace

bool SanitizedBuild() { return VODREK_ASAN != 0; }

size_t Fiber::DefaultStackBytes() {
    // The x64 kernel stack is 24 KiB. Under the address sanitizer every frame
    // carries redzones, so the same code needs many times that.
    return VODREK_ASAN ? 512 * 1024 : 24 * 1024;
}

Fiber* Fiber::ForCurrentThread() {
    auto* f = new Fiber();
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &addr, &size);
        pthread_attr_destroy(&attr);
        f->low_ = reinterpret_cast<uintptr_t>(addr);
        f->high_ = f->low_ + size;
    }
    return f;
}

Fiber::Fiber(void (*entry)(void*), void* argument, size_t stackBytes) : entry_(entry), argument_(argument) {
    const size_t page = PageSize();
    const size_t usable = (stackBytes + page - 1) / page * page;
    guardBytes_ = page;
    mappingBytes_ = usable + guardBytes_;
    mapping_ = TakeSpareStack(mappingBytes_);
    if (!mapping_) {
        mapping_ = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
        if (mapping_ == MAP_FAILED) {
            std::perror("sim: fiber stack");
            std::abort();
        }
        mprotect(mapping_, guardBytes_, PROT_NONE);
    }
    low_ = reinterpret_cast<uintptr_t>(mapping_) + guardBytes_;
    high_ = low_ + usable;
#if VODREK_ASAN
    // The sanitizer's shadow may still mark these addresses as the redzones of
    // frames of an earlier fiber that never returned.
    __asan_unpoison_memory_region(reinterpret_cast<void*>(low_), usable);
#endif
    // The initial frame: the callee-saved registers (r12, or ebx, carries
    // this fiber), then the trampoline as the return address of the first switch.
    auto* top = reinterpret_cast<uintptr_t*>(high_);
    *--top = 0;
    *--top = reinterpret_cast<uintptr_t>(&vodrek_fiber_trampoline);
#if defined(__x86_64__)
    *--top = 0;                                     // rbp
    *--top = 0;                                     // rbx
    *--top = reinterpret_cast<uintptr_t>(this);     // r12
    *--top = 0;                                     // r13
    *--top = 0;                                     // r14
    *--top = 0;                                     // r15
#else
    *--top = 0;                                     // ebp
    *--top = reinterpret_cast<uintptr_t>(this);     // ebx
    *--top = 0;                                     // esi
    *--top = 0;                                     // edi
#endif
    sp_ = top;
    std::lock_guard<std::mutex> lock(g_registryLock);
    g_fibers.insert(this);
    // Installed after the address sanitizer's own handler, to which every other
    // fault is handed back.
    InstallOverflowHandler();
}

Fiber::~Fiber() {
    {
        std::lock_guard<std::mutex> lock(g_registryLock);
        g_fibers.erase(this);
    }
    if (mapping_) {
#if VODREK_ASAN
        __asan_unpoison_memory_region(reinterpret_cast<void*>(low_), high_ - low_);
#endif
        KeepSpareStack(mapping_, mappingBytes_);
    }
}

bool Fiber::InGuard(uintptr_t address) const {
    if (!mapping_) return false;
    const auto base = reinterpret_cast<uintptr_t>(mapping_);
    return address >= base && address < base + guardBytes_;
}

void Fiber::Switch(Fiber* from, Fiber* to, bool fromFinished) {
#if VODREK_ASAN
    __sanitizer_start_switch_fiber(fromFinished ? nullptr : &from->fakeStack_, reinterpret_cast<void*>(to->low_),
                                   to->high_ - to->low_);
#else
    (void)fromFinished;
#endif
    vodrek_fiber_switch(&from->sp_, to->sp_);
#if VODREK_ASAN
    __sanitizer_finish_switch_fiber(from->fakeStack_, nullptr, nullptr);
#endif
}

void FiberTrampoline(Fiber* self) {
#if VODREK_ASAN
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
    self->entry_(self->argument_);
    std::fprintf(stderr, "sim: a fiber's entry returned\n");
    std::abort();
}

}  // namespace sim

extern "C" void vodrek_fiber_start(sim::Fiber* self) { sim::FiberTrampoline(self); }
