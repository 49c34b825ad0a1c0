// The one header driver code includes to reach the kernel.
//
// On the Windows targets it pulls in the mingw-w64 DDK headers, with the fixes
// their C++ use needs; on the host it pulls in the simulator's stand-in headers,
// which declare the same types and routines with the same LLP64 widths. Driver
// code never tests which of the two it got.
#pragma once

#if defined(_WIN32)

// <intrin.h> and the DDK's wdm.h both define InterlockedBitTestAndSet/Reset
// inline; in C++ the second definition is an error. Rename the DDK's copies
// around the include.
#include <intrin.h>
#define InterlockedBitTestAndSet DdkInterlockedBitTestAndSet
#define InterlockedBitTestAndReset DdkInterlockedBitTestAndReset
#include <ntddk.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
// Ahead of <initguid.h>, <wmidata.h> gives the serial WMI records while its
// several hundred GUIDs stay declarations that cost the image nothing.
#include <wmidata.h>
// GUIDs the driver names (the COM-port interface, the WMI blocks) are defined
// here, once per image (selectany), rather than looked for in a library.
#include <initguid.h>
#include <ntddser.h>
DEFINE_GUID(MSSerial_PortName_GUID, 0xa0ec11a8, 0xb16c, 0x11d1, 0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06,
            0xbe, 0x2d);
DEFINE_GUID(MSSerial_CommInfo_GUID, 0xedb16a62, 0xb16c, 0x11d1, 0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06,
            0xbe, 0x2d);
DEFINE_GUID(MSSerial_HardwareConfiguration_GUID, 0x270b9b86, 0xb16d, 0x11d1, 0xbd, 0x98, 0x00, 0xa0,
            0xc9, 0x06, 0xbe, 0x2d);
DEFINE_GUID(MSSerial_PerformanceInformation_GUID, 0x56415acc, 0xb16d, 0x11d1, 0xbd, 0x98, 0x00,
            0xa0, 0xc9, 0x06, 0xbe, 0x2d);
DEFINE_GUID(MSSerial_CommProperties_GUID, 0x8209ec2a, 0x2d6b, 0x11d2, 0xba, 0x49, 0x00, 0xa0, 0xc9,
            0x06, 0x29, 0x10);
// The USB headers declare the USBD library without C linkage.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>

#if defined(_X86_)
// Not declared for i386: the plain acquire raises to DISPATCH_LEVEL as well.
static inline KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KIRQL oldIrql;
    KeAcquireSpinLock(SpinLock, &oldIrql);
    return oldIrql;
}
#endif

// UTF-16 literal of the build: WCHAR is wchar_t (16 bits) on Windows.
#define WIDE(s) L##s

#else  // host simulation

#include <simnt/wdm.h>
#include <simnt/ntddser.h>
#include <simnt/usb.h>
#include <simnt/usbdlib.h>
#include <simnt/usbioctl.h>
#include <simnt/wmilib.h>
#include <simnt/wmistr.h>
#include <simnt/wmidata.h>

// WCHAR is char16_t on the host, where wchar_t is 32 bits wide.
#define WIDE(s) u##s

#endif

// Older DDK headers lack the type check of direct registry queries.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif

// Code that only runs while the port starts lives in its own pageable section,
// locked around each start through PagingLockHandle.
// On the host the same routines go to a section of their own, whose bounds the
// simulator knows: it checks that none of them runs at DISPATCH_LEVEL while the
// section is not locked.
#if defined(_WIN32)
#define START_CODE __attribute__((section("PAGESRP0")))
#else
#define START_CODE __attribute__((section("vodrek_paged")))
#endif

// Every pool allocation of the driver carries this tag: "COMX" in memory order.
constexpr ULONG VODREK_POOL_TAG = 0x584D4F43;
