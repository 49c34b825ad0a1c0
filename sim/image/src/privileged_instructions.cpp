// Kernel code runs at ring 0; a loaded driver image runs here at ring 3, where
// the instructions only the kernel may execute raise a general-protection
// fault (SIGSEGV). The ones a driver's inline IRQL accessors compile to are
// carried out on the simulated processor instead:
//
//   mov %cr8,%reg   (KeGetCurrentIrql)   the register gets the processor's IRQL
//   mov %reg,%cr8   (KeRaiseIrql, KeLowerIrql)
//                                        the processor's IRQL changes; lowering it
//                                        below DISPATCH_LEVEL delivers the DPCs
//                                        that were waiting, as the hardware's
//                                        pending software interrupt would
//
// A write is carried out outside the signal handler: the handler makes the
// interrupted code call a thunk that saves every register the compiler's
// convention lets a callee clobber, sets the IRQL, and returns behind the
// instruction. Any other fault in an image's code is reported with where it
// happened and what the instruction bytes were, then handed to whoever handled
// the signal before (the sanitizer, or the default action). An i386 image has
// no CR8 to read or write (its IRQL routines are the HAL's imports): there every
// such fault is reported.
#include <sim/image_loader.h>

#include <signal.h>
#include <ucontext.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "internal.h"

#if defined(__x86_64__)

extern "C" void vodrek_cr8_write_thunk();

// Called by the thunk, on the interrupted code's stack, with every register
// the image may rely on saved.
extern "C" void vodrek_image_write_cr8(uint64_t value) {
    const KIRQL irql = static_cast<KIRQL>(value & 0xF);
    const KIRQL old = sim::CurrentIrql();
    sim::SetIrql(irql);
    if (irql < DISPATCH_LEVEL && old >= DISPATCH_LEVEL) sim::DeliverPendingDpcs();
}

// [rsp] the address behind the instruction, [rsp+8] the new IRQL.
asm(R"(
    .text
    .globl vodrek_cr8_write_thunk
    .type vodrek_cr8_write_thunk, @function
vodrek_cr8_write_thunk:
    pushfq
    push %rax
    push %rcx
    push %rdx
    push %rsi
    push %rdi
    push %r8
    push %r9
    push %r10
    push %r11
    push %rbp
    mov %rsp, %rbp
    mov 96(%rsp), %rdi
    and $-16, %rsp
    sub $256, %rsp
    movdqu %xmm0, 0(%rsp)
    movdqu %xmm1, 16(%rsp)
    movdqu %xmm2, 32(%rsp)
    movdqu %xmm3, 48(%rsp)
    movdqu %xmm4, 64(%rsp)
    movdqu %xmm5, 80(%rsp)
    movdqu %xmm6, 96(%rsp)
    movdqu %xmm7, 112(%rsp)
    movdqu %xmm8, 128(%rsp)
    movdqu %xmm9, 144(%rsp)
    movdqu %xmm10, 160(%rsp)
    movdqu %xmm11, 176(%rsp)
    movdqu %xmm12, 192(%rsp)
    movdqu %xmm13, 208(%rsp)
    movdqu %xmm14, 224(%rsp)
    movdqu %xmm15, 240(%rsp)
    call vodrek_image_write_cr8
    movdqu 0(%rsp), %xmm0
    movdqu 16(%rsp), %xmm1
    movdqu 32(%rsp), %xmm2
    movdqu 48(%rsp), %xmm3
    movdqu 64(%rsp), %xmm4
    movdqu 80(%rsp), %xmm5
    movdqu 96(%rsp), %xmm6
    movdqu 112(%rsp), %xmm7
    movdqu 128(%rsp), %xmm8
    movdqu 144(%rsp), %xmm9
    movdqu 160(%rsp), %xmm10
    movdqu 176(%rsp), %xmm11
    movdqu 192(%rsp), %xmm12
    movdqu 208(%rsp), %xmm13
    movdqu 224(%rsp), %xmm14
    movdqu 240(%rsp), %xmm15
    mov %rbp, %rsp
    pop %rbp
    pop %r11
    pop %r10
    pop %r9
    pop %r8
    pop %rdi
    pop %rsi
    pop %rdx
    pop %rcx
    pop %rax
    popfq
    ret $8
    .size vodrek_cr8_write_thunk, .-vodrek_cr8_write_thunk
)");

#endif  // __x86_64__

namespace sim {
namespace {

struct Range {
    uintptr_t start;
    size_t size;
};
std::vector<Range>& Ranges() {
    static std::vector<Range> ranges;
    return ranges;
}

struct sigaction previousSegv;
bool installed = false;

bool InTrappedCode(uintptr_t address) {
    for (const Range& r : Ranges()) {
        if (address - r.start < r.size) return true;
    }
    return false;
}

#if defined(__x86_64__)
// ModRM register numbers (with REX.B) to the saved registers of the context.
constexpr int kRegisters[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                REG_R12, REG_R13, REG_R14, REG_R15};
constexpr int kInstructionPointer = REG_RIP;
#else
constexpr int kInstructionPointer = REG_EIP;
#endif

void Report(uintptr_t rip, const uint8_t* code) {
    const LoadedImage* image = LoadedImage::Holding(rip);
    char where[160];
    std::snprintf(where, sizeof where, "%s",
                  image ? image->Describe(rip).c_str() : "driver code");
    std::fprintf(stderr,
                 "*** the driver executed an instruction only the kernel may, which the simulator "
                 "does not carry out: at %s, bytes %02x %02x %02x %02x %02x %02x\n",
                 where, code[0], code[1], code[2], code[3], code[4], code[5]);
}

void OnFault(int signal, siginfo_t* info, void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* regs = uc->uc_mcontext.gregs;
    const uintptr_t rip = static_cast<uintptr_t>(regs[kInstructionPointer]);
    if (InTrappedCode(rip)) {
        const auto* code = reinterpret_cast<const uint8_t*>(rip);
#if defined(__x86_64__)
        // REX with R set (CR8 is control register 0 + 8), 0F 20 (from) or 0F 22 (to),
        // register-direct ModRM naming control register 0.
        const uint8_t rex = code[0];
        if ((rex & 0xF4) == 0x44 && code[1] == 0x0F && (code[2] == 0x20 || code[2] == 0x22) &&
            (code[3] & 0xF8) == 0xC0) {
            const int reg = kRegisters[(code[3] & 7) | ((rex & 1) << 3)];
            if (code[2] == 0x20) {
                regs[reg] = CurrentIrql();
                regs[REG_RIP] += 4;
                return;
            }
            // The kernel stack has no red zone: the two words below the stack
            // pointer are free.
            auto* stack = reinterpret_cast<uint64_t*>(regs[REG_RSP]) - 2;
            stack[0] = rip + 4;
            stack[1] = static_cast<uint64_t>(regs[reg]);
            regs[REG_RSP] = reinterpret_cast<greg_t>(stack);
            regs[REG_RIP] = reinterpret_cast<greg_t>(&vodrek_cr8_write_thunk);
            return;
        }
#endif
        Report(rip, code);
    }
    // Not one to carry out: the previous handler sees the fault when the
    // instruction runs again.
    sigaction(SIGSEGV, &previousSegv, nullptr);
    installed = false;
}

void Install() {
    if (installed) return;
    // Faults on a simulated thread's small stack are handled on a stack of
    // their own.
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        static std::vector<uint8_t> altStack(64 * 1024);
        stack_t ours{};
        ours.ss_sp = altStack.data();
        ours.ss_size = altStack.size();
        sigaltstack(&ours, nullptr);
    }
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previousSegv);
    installed = true;
}

}  // namespace

void TrapPrivilegedInstructionsIn(uintptr_t start, size_t size) {
    Ranges().push_back({start, size});
    Install();
}

void StopTrappingPrivilegedInstructionsIn(uintptr_t start) {
    auto& ranges = Ranges();
    for (auto it = ranges.begin(); it != ranges.end(); ++it) {
        if (it->start == start) {
            ranges.erase(it);
            break;
        }
    }
    if (ranges.empty() && installed) {
        sigaction(SIGSEGV, &previousSegv, nullptr);
        installed = false;
    }
}

}  // namespace sim
