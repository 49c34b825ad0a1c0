// The test programs' main: GoogleTest, plus what the simulator needs to know
// about the run. Every test registers the command that replays it, so a
// verifier stop or a failure under some schedule can print that exact command.
// Under VODREK_SCHEDULES=N (the `schedules` runs) every test runs N times, each
// new simulation taking the next seed of the chosen policy.
#include <gtest/gtest.h>

#include <sim/simulation.h>

#include <cstdlib>
#include <string>

namespace {

class ReplayTarget : public ::testing::EmptyTestEventListener {
public:
    explicit ReplayTarget(std::string program) : program_(std::move(program)) {}
    void OnTestStart(const ::testing::TestInfo& test) override {
        sim::Simulation::SetReplayTarget(program_ + " --gtest_filter='" + test.test_suite_name() + "." + test.name() +
                                         "'");
    }

private:
    std::string program_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* schedules = std::getenv("VODREK_SCHEDULES");
    if (!schedules) schedules = std::getenv("VODREK_SCHEDULES_DEFAULT");
    if (schedules && !std::getenv("VODREK_SEED")) {
        setenv("VODREK_SCHEDULES", schedules, 1);
        ::testing::GTEST_FLAG(repeat) = std::max(1, std::atoi(schedules));
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new ReplayTarget(argv[0]));
    return RUN_ALL_TESTS();
}
