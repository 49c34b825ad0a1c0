// What the kernel watches at the edges of driver code: the entry and return of
// every DDI (preemption points, pageable code run where it may not), the calls
// into driver routines (their stack use), stack objects handed to requests, and
// the names of code addresses for the verifier's messages.
#include "internal.h"

#include <sim/image_loader.h>

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

// The driver's pageable code: on the host the start-time routines are placed in
// a section of this name (platform/kernel.h), whose bounds the linker provides.
extern "C" {
extern const char __start_vodrek_paged[] __attribute__((weak));
extern const char __stop_vodrek_paged[] __attribute__((weak));
}

namespace sim {

namespace {
std::set<const void*>& SimulatorRoutines() {
    static auto* routines = new std::set<const void*>();
    return *routines;
}

// Deepest stack use seen per driver entry point, for the whole process.
std::map<const void*, size_t>& StackDepths() {
    static auto* depths = new std::map<const void*, size_t>();
    return *depths;
}

uintptr_t StackPointer() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

bool Alive() { return Simulation::Exists(); }

// `sp`: the stack pointer of the code that called the DDI (the frame base of
// the DDI itself); everything below it belongs to frames that have returned or
// to the DDI.
// The depth is kept with the call and goes to the table when the routine
// returns (or the table is read): a DDI call costs no table look-up.
void SampleStack(Context* self, uintptr_t sp) {
    for (CallOut& call : self->callouts)
        call.lowestSp = std::min(call.lowestSp, sp);
    // A stack object whose frame this context has returned from: the stack
    // pointer has risen above it.
    for (StackObject& object : St().stackObjects) {
        if (object.context == self->id && !object.frameGone &&
            reinterpret_cast<uintptr_t>(object.address) < sp)
            object.frameGone = true;
    }
}

void RecordDepth(const CallOut& call) {
    if (call.lowestSp >= call.entrySp) return;
    size_t& deepest = StackDepths()[call.routine];
    deepest = std::max(deepest, static_cast<size_t>(call.entrySp - call.lowestSp));
}

void Sample(const void* frame) {
    Context* self = St().current;
    uintptr_t sp = reinterpret_cast<uintptr_t>(frame);
    self->lastSp = sp;
    if (!self->callouts.empty() || !St().stackObjects.empty()) SampleStack(self, sp);
}
}  // namespace

void MarkSimulatorRoutine(const void* routine) { SimulatorRoutines().insert(routine); }

#if defined(__i386__)
// vodrek_checked_stdcall(routine, words, count, popped): the arguments pushed
// last to first with the stack pointer 16-byte aligned at the call, then the
// difference between the stack pointer after the call and at it, which is
// what the routine popped; the frame pointer puts the stack right whatever it was.
asm(R"(
    .text
    .globl vodrek_checked_stdcall
    .type vodrek_checked_stdcall,@function
vodrek_checked_stdcall:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    leal (,%ecx,4), %eax
    movl %esp, %edx
    subl %eax, %edx
    andl $-16, %edx
    leal (%edx,%eax), %esp
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  movl %esp, %edi
    call *8(%ebp)
    movl %esp, %ecx
    subl %edi, %ecx
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size vodrek_checked_stdcall,.-vodrek_checked_stdcall
)");

void ReportStackImbalance(const void* routine, int32_t popped, uint32_t passed) {
    Verifier::Violation(Rule::CallingConventionMismatch,
                        RoutineName(routine) + " popped " + std::to_string(popped) +
                            " bytes of arguments where the kernel passed " + std::to_string(passed) +
                            ": it is not declared with the kernel's calling convention (NTAPI)");
}
#endif

DriverCall::DriverCall(const void* routine)
    : context_(Alive() ? St().current : nullptr), savedDepth_(0), driver_(false) {
    if (!context_) return;
    savedDepth_ = context_->atomicDepth;
    driver_ = SimulatorRoutines().count(routine) == 0;
    // An image's routines do not report their entry as the instrumented host
    // build's do: a call into a pageable one is checked here.
    if (driver_ && LoadedImage::Holding(reinterpret_cast<uintptr_t>(routine))) CheckPageableEntry(routine, nullptr);
    if (driver_) {
        context_->atomicDepth = 0;
        const uintptr_t sp = StackPointer();
        context_->callouts.push_back({routine, sp, sp});
    } else {
        ++context_->atomicDepth;
    }
}

DriverCall::~DriverCall() {
    if (!context_) return;
    context_->atomicDepth = savedDepth_;
    if (driver_ && !context_->callouts.empty()) {
        RecordDepth(context_->callouts.back());
        context_->callouts.pop_back();
    }
}

DdiScope::DdiScope(const void* caller, const void* frame) : caller_(caller) {
    if (!Alive()) return;
    CheckPageableCaller(caller, "calls a DDI");
    if (St().current->atomicDepth == 0) Sample(frame);
    Point();
    ++St().current->atomicDepth;
}

DdiScope::~DdiScope() {
    if (!Alive()) return;
    --St().current->atomicDepth;
    CheckPageableCaller(caller_, "goes on after a DDI");
    Point();
}

bool InPageableSection(const void* address) {
    // A loaded image says which of its sections are pageable (PAGE*).
    const auto at = reinterpret_cast<uintptr_t>(address);
    if (const LoadedImage* image = LoadedImage::Holding(at)) {
        const ImageSection* section = image->SectionAt(at);
        return section != nullptr && section->pageable;
    }
    if (!__start_vodrek_paged || !__stop_vodrek_paged) return false;
    auto p = static_cast<const char*>(address);
    return p >= __start_vodrek_paged && p < __stop_vodrek_paged;
}

void CheckPageableCaller(const void* caller, const char* what) {
    auto& st = St();
    if (st.current->irql < DISPATCH_LEVEL || st.sectionLocks > 0 || !InPageableSection(caller)) return;
    Verifier::Violation(Rule::PagedCodeAtRaisedIrql,
                        "pageable code (" + CallerName(caller) + ") " + what + " at IRQL " +
                            std::to_string(st.current->irql) +
                            " while its section is not locked: on Windows the page may be out, a bug check");
}

__attribute__((no_instrument_function)) void CheckPageableEntry(const void* routine, const void* caller) {
    if (!InPageableSection(routine) || !Simulation::Exists()) return;
    auto& st = St();
    if (st.current->irql < DISPATCH_LEVEL || st.sectionLocks > 0) return;
    Verifier::Violation(Rule::PagedCodeAtRaisedIrql,
                        "pageable routine " + CodeName(routine) + " entered at IRQL " + std::to_string(st.current->irql) +
                            (caller ? " from " + CallerName(caller) : std::string()) + " while its section is not locked");
}

void NoteStackObject(const void* irp, const void* address, const char* what) {
    if (!address || !Alive()) return;
    int owner = StackOwner(address);
    if (owner == kNoStackOwner) return;
    auto& objects = St().stackObjects;
    for (StackObject& o : objects) {
        if (o.irp == irp && o.address == address) {
            o.frameGone = false;
            o.context = owner;
            o.what = what;
            return;
        }
    }
    objects.push_back({irp, address, owner, false, what});
}

bool CheckStackObject(const void* irp, const void* address, const char* use) {
    if (!address || !Alive()) return true;
    auto& objects = St().stackObjects;
    auto it = std::find_if(objects.begin(), objects.end(),
                           [&](const StackObject& o) { return o.irp == irp && o.address == address; });
    if (it == objects.end() || !it->frameGone) return true;
    std::string what = it->what;
    objects.erase(it);
    Verifier::Violation(Rule::StackObjectOutlivedFrame,
                        what + " at " + Hex(address) + " lies in a stack frame that returned while the request was out; " +
                            use + " now uses whatever that stack holds");
    return false;
}

void ForgetStackObjects(const void* irp) {
    if (!Alive()) return;
    auto& objects = St().stackObjects;
    objects.erase(std::remove_if(objects.begin(), objects.end(), [&](const StackObject& o) { return o.irp == irp; }),
                  objects.end());
}

int StackOwner(const void* address) {
    auto a = reinterpret_cast<uintptr_t>(address);
    auto inside = [a](const Context& c) {
        return c.fiber && a >= c.fiber->StackLow() && a < c.fiber->StackHigh();
    };
    for (auto& t : St().threads)
        if (inside(*t)) return t->id;
    for (auto& c : St().dpcContexts)
        if (inside(*c)) return c->id;
    return kNoStackOwner;
}

std::string CodeName(const void* address) {
    // Code of a loaded image by its own symbols (an image mapped again may land
    // where another was, so it is not cached).
    if (const LoadedImage* image = LoadedImage::Holding(reinterpret_cast<uintptr_t>(address)))
        return image->Describe(reinterpret_cast<uintptr_t>(address));
    static auto* cache = new std::map<const void*, std::string>();
    auto found = cache->find(address);
    if (found != cache->end()) return found->second;
    std::string name;
    Dl_info info{};
    if (address && dladdr(address, &info) && info.dli_fname) {
        // The symbol table of a position-independent executable knows its
        // static functions too; ask it for the function and line.
        char command[512];
        std::snprintf(command, sizeof command, "addr2line -f -C -e '%s' 0x%llx 2>/dev/null", info.dli_fname,
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address) -
                                                      reinterpret_cast<uintptr_t>(info.dli_fbase)));
        if (FILE* pipe = popen(command, "r")) {
            char function[256] = {0}, line[256] = {0};
            if (std::fgets(function, sizeof function, pipe) && std::fgets(line, sizeof line, pipe)) {
                std::string f = function, l = line;
                while (!f.empty() && (f.back() == '\n' || f.back() == '\r')) f.pop_back();
                while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
                if (!f.empty() && f != "??") name = f + (l.empty() || l[0] == '?' ? "" : " (" + l.substr(l.rfind('/') + 1) + ")");
            }
            pclose(pipe);
        }
        if (name.empty() && info.dli_sname) {
            int status = 0;
            std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status),
                                                             std::free);
            name = status == 0 && demangled ? demangled.get() : info.dli_sname;
        }
    }
    if (name.empty()) name = "code at " + Hex(address);
    cache->emplace(address, name);
    return name;
}

std::string CallerName(const void* returnAddress) {
    // The call instruction ends where the return address begins.
    return CodeName(static_cast<const char*>(returnAddress) - 1);
}

std::vector<std::pair<std::string, size_t>> DeepestStackUse() {
    // Routines still running have their depth so far counted too.
    if (Alive()) {
        for (auto& t : St().threads)
            for (const CallOut& call : t->callouts) RecordDepth(call);
        for (auto& c : St().dpcContexts)
            for (const CallOut& call : c->callouts) RecordDepth(call);
    }
    std::vector<std::pair<std::string, size_t>> out;
    for (auto& [routine, depth] : StackDepths()) out.emplace_back(CodeName(routine), depth);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return out;
}

}  // namespace sim

using namespace sim;

extern "C" {

void SimPreemptionPoint(void) {
    if (!Simulation::Exists()) return;
    if (St().current->atomicDepth == 0) Sample(__builtin_frame_address(0));
    Point();
}

void SimPagedCode(const char* function) {
    if (!Simulation::Exists()) return;
    if (CurrentIrql() <= APC_LEVEL) return;
    Verifier::Violation(Rule::PagedCodeAtRaisedIrql, std::string("PAGED_CODE() in ") + function + " at IRQL " +
                                                         std::to_string(CurrentIrql()));
}

void SimAssertFailed(const char* expression, const char* file, int line) {
    Verifier::Violation(Rule::AssertionFailed,
                        std::string(expression) + " is false (" + file + ":" + std::to_string(line) + ")");
}

void SimNoteCompletionContext(PIRP irp, PVOID context) {
    if (!Simulation::Exists() || !context) return;
    NoteStackObject(irp, context, "the completion routine's context");
}

// Driver code built with -finstrument-functions reports every routine entered:
// one in the pageable section must not run at DISPATCH_LEVEL unless the
// section is locked.
__attribute__((no_instrument_function)) void __cyg_profile_func_enter(void* function, void* caller) {
    sim::CheckPageableEntry(function, caller);
}

__attribute__((no_instrument_function)) void __cyg_profile_func_exit(void*, void*) {}

}  // extern "C"
