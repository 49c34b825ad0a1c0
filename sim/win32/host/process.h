// A Win32 program's process on the simulated machine: its handle table
// (files, events, threads), each thread's last-error value, and its threads,
// which are simulated threads on virtual time. The program runner and the
// tests of the Win32 layer make one after the Simulation (and the workbench);
// kernel32's functions act on the current one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim::win32 {

class Process {
  public:
    Process();
    // The handles still open go as they go at process exit (files closed, so
    // their drivers hear the cleanup and close); the simulation must still exist.
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    static Process& Current();
    static bool Exists();

    // Starts `main` as a thread of the process (its first, for a program);
    // answers the simulated thread's id. What `main` returns, or what it
    // passes to ExitThread, is the thread's exit code.
    int StartMain(std::function<int()> main, std::string name = "main");
    bool MainFinished() const;
    int MainExitCode() const;

    // The machine's ports as the program may ask for them (VodrekPortName).
    void SetPortNames(std::vector<std::string> names);

    // Handles the program holds, described ("file \??\COM3", "event", ...).
    std::vector<std::string> OpenHandles() const;
    // Threads of the process that have not ended.
    std::vector<std::string> RunningThreads() const;
    // Closes every handle still open, as process exit does; answers how many.
    size_t CloseAllHandles();

    struct State;
    State& state() { return *state_; }

  private:
    std::unique_ptr<State> state_;
    int mainThread_ = -1;
};

}  // namespace sim::win32
