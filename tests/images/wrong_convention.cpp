// A completion routine declared without the kernel's calling convention. The
// kernel calls every callback it is given with that convention (the Microsoft
// x64 one on x64 and on the simulator's x86-64 host, stdcall on i386); a routine
// compiled with another would find its arguments in the wrong registers or
// leave the stack unbalanced. The build must refuse to hand it over: the image
// tests compile this file expecting the refusal, and again with
// VODREK_RIGHT_CONVENTION expecting it to compile.
#include "platform/kernel.h"

#if defined(VODREK_RIGHT_CONVENTION)
#define CALLBACK_CONVENTION NTAPI
#else
#define CALLBACK_CONVENTION
#endif

namespace {

NTSTATUS CALLBACK_CONVENTION Completion(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void HandOver(PIRP irp) {
    IoSetCompletionRoutine(irp, Completion, nullptr, TRUE, TRUE, TRUE);
}
