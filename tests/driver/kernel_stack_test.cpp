// The driver on kernel stacks: its pageable start-time routines are checked on
// entry, and the deepest stack each of its entry points uses through a whole
// adapter life (plug, start, sleep and wake, WMI, removal) is measured.
#include "tests/support/port_harness.h"

#include <sim/workbench/workbench.h>

#include <sim/power.h>
#include <sim/wmi.h>

#include <cstdio>
#include <string>

namespace {

using sim::ExpectViolation;
using sim::Rule;
using simtest::SimTest;

TEST_F(SimTest, APageableStartRoutineEnteredAtDispatchLevelIsReported) {
    simtest::PortHarness h;
    ExpectViolation v(Rule::PagedCodeAtRaisedIrql);
    InitializeWmiRecords(h.port());
    EXPECT_EQ(v.Count(), 0);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    InitializeWmiRecords(h.port());
    KeLowerIrql(irql);
    ASSERT_GE(v.Count(), 1);
    EXPECT_NE(v.LastMessage().find("InitializeWmiRecords"), std::string::npos) << v.LastMessage();
}

TEST_F(SimTest, EveryEntryPointsDeepestStackUseIsMeasured) {
    {
        sim::Workbench bench;
        sim::Adapter& adapter = bench.AddAdapter({});
        ASSERT_EQ(adapter.Plug(), STATUS_SUCCESS);
        sim::SleepSystem(adapter.Pdo(), PowerSystemSleeping3);
        sim::WakeSystem(adapter.Pdo());
        EXPECT_EQ(adapter.Remove(), STATUS_SUCCESS);
    }
    const auto depths = sim::DeepestStackUse();
    ASSERT_FALSE(depths.empty());
    bool dispatch = false;
#if defined(__SANITIZE_ADDRESS__)
    std::printf("deepest stack use per entry point (address-sanitizer build, frames with redzones):\n");
#else
    std::printf("deepest stack use per entry point:\n");
#endif
    for (const auto& [routine, bytes] : depths) {
        std::printf("  %6zu bytes  %s\n", bytes, routine.c_str());
        dispatch = dispatch || routine.find("PnpDispatch") != std::string::npos;
        EXPECT_GT(bytes, 0u) << routine;
    }
    EXPECT_TRUE(dispatch) << "the Plug and Play dispatch routine was measured";
}

}  // namespace
