// vodrek-sim probe: pieces the probe's optional parts (power, WMI) share.
#pragma once

#include <sim/workbench/workbench.h>

#include "cli.h"

namespace cli {

// Parses --chip (0..4, default 2); answers 0 or the tool's exit code for bad input.
int ParseChip(const Options& options, int* variant);
sim::AdapterOptions AdapterOptionsFrom(const Options& options, int variant);

// The USB requests a capture holds from record `from` on: "total", "failed",
// "by_function" and the "trace" lines.
Json DescribeUsbRequests(const sim::UsbCapture& capture, size_t from = 0);

// The optional parts of a probe, run after the start: each adds its keys to
// `out`, and prints them for a person.
void RunProbeExtras(const Options& options, sim::Adapter& adapter, Json& out);
void PrintProbeExtras(const Json& out);

// --sleep-wake: the system sleeps (S3) and wakes after the start; adds
// "sleep_wake", "device_power_state" and (after the wake) "current_baud".
void RunSleepWake(const Options& options, sim::Adapter& adapter, Json& out);
void PrintSleepWake();

// --wmi: the port's WMI blocks as a WMI consumer reads them; adds "wmi", one
// object per class (MSSerial_PortName, _CommInfo, _HardwareConfiguration,
// _PerformanceInformation, _CommProperties) with every property by its class
// name, or {"error": status} for a block the port did not answer.
void RunWmi(const Options& options, sim::Adapter& adapter, Json& out);
void PrintWmi();

}  // namespace cli
