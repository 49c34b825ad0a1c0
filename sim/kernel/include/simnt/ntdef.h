// Base types of the NT kernel with the platform's names and LLP64 widths, for the
// host build: ULONG is 32 bits, ULONG_PTR pointer-sized, WCHAR 16 bits.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The simulator's DDIs and the callbacks it makes use Windows' calling
// convention on the host too, so that a driver image built for Windows calls
// and is called by it exactly as on Windows, and the host build of the driver
// goes through the same doors. On x64 every one of Windows' conventions is the
// one Microsoft x64 convention. On i386 they are three: NTAPI routines and
// callbacks take their arguments on the stack and pop them (stdcall), FASTCALL
// ones take the first two in ecx and edx, and __cdecl ones (DbgPrint) leave
// the stack to the caller, as the host's own convention does.
#if defined(__x86_64__)
#define VODREK_WINDOWS_CALLING_CONVENTION 1
#define NTAPI __attribute__((ms_abi))
#define __cdecl __attribute__((ms_abi))
#define FASTCALL __attribute__((ms_abi))
#elif defined(__i386__)
#define VODREK_WINDOWS_CALLING_CONVENTION 1
#define NTAPI __attribute__((stdcall))
#define __cdecl __attribute__((cdecl))
#define FASTCALL __attribute__((fastcall))
#else
#define VODREK_WINDOWS_CALLING_CONVENTION 0
#define NTAPI
#define __cdecl
#define FASTCALL
#endif
#define NTKERNELAPI
#define NTHALAPI
#define DECLSPEC_IMPORT
// Parameters the DDK aligns to a pointer's width so that their offsets are the
// same whatever the union member (8 on 64-bit builds, nothing to do on 32-bit).
#ifndef POINTER_ALIGNMENT
#if UINTPTR_MAX > 0xffffffffu
#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#else
#define POINTER_ALIGNMENT
#endif
#endif
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void

typedef void* PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef char CHAR;
typedef char CCHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
// Windows aligns 64-bit integers to 8 bytes in records on i386 too, where the
// host's i386 convention aligns them to 4: the stand-ins ask for 8.
#ifndef VODREK_ALIGN_64
#if defined(__i386__)
#define VODREK_ALIGN_64 __attribute__((aligned(8)))
#else
#define VODREK_ALIGN_64
#endif
#endif
typedef int64_t LONGLONG VODREK_ALIGN_64;
typedef uint64_t ULONGLONG VODREK_ALIGN_64;
typedef int64_t LONG64 VODREK_ALIGN_64;
typedef uint64_t ULONG64 VODREK_ALIGN_64;
typedef uint32_t ULONG32;
typedef int32_t INT;
typedef uint32_t UINT;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef UCHAR BOOLEAN;
typedef char16_t WCHAR;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ULONG LCID;
typedef ULONG DEVICE_TYPE;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef NTSTATUS* PNTSTATUS;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

#define MAXULONG 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF
#define MAXUSHORT 0xFFFF
#define MAXUCHAR 0xFF

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
// offsetof rather than a member access through a null pointer, which the
// undefined-behaviour sanitizer of some compilers rejects.
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef GUID* LPGUID;

#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const ANSI_STRING* PCANSI_STRING;

#define RTL_CONSTANT_STRING(s) \
    {sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<decltype(+(s)[0])*>(s)}

// List helpers, as the platform defines them inline.
static inline void InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = Entry->Blink;
    PLIST_ENTRY Flink = Entry->Flink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY Flink = Entry->Flink;
    ListHead->Flink = Flink;
    Flink->Blink = ListHead;
    return Entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY Blink = Entry->Blink;
    ListHead->Blink = Blink;
    Blink->Flink = ListHead;
    return Entry;
}
static inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY OldBlink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = OldBlink;
    OldBlink->Flink = Entry;
    ListHead->Blink = Entry;
}
static inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY OldFlink = ListHead->Flink;
    Entry->Flink = OldFlink;
    Entry->Blink = ListHead;
    OldFlink->Blink = Entry;
    ListHead->Flink = Entry;
}
