// Pieces the fuzz targets share: the input read as a script of operations, the
// request codes worth trying, and the checks that turn a quiet failure (a leaked
// request or pool block) into a finding the fuzzer stops on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sim/files.h>
#include <sim/simulation.h>
#include <sim/workbench/workbench.h>

namespace fuzz {

// The fuzzer's bytes, taken from the front; past the end every read answers 0.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return used_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - used_; }
    uint8_t Byte() { return Empty() ? 0 : data_[used_++]; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Dword() { return Word() | static_cast<uint32_t>(Word()) << 16; }
    // Up to `count` bytes (fewer at the end of the input).
    std::vector<uint8_t> Bytes(size_t count);

  private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

// The fuzzer stops here: the message, then abort() (the input is saved).
[[noreturn]] void Finding(const std::string& what);

// A device-control code: one of the serial codes the platform publishes, one of
// the driver's own, one a driver above sends, or any 32-bit value.
ULONG PickControlCode(Input& in);
// A buffer length for `code`: none, short of what the code needs, exactly it,
// a little more, or large; and contents to go with it.
ULONG PickLength(Input& in, ULONG exact);
std::vector<uint8_t> Contents(Input& in, ULONG length);
// The size of the record a code reads or writes (0 when it has none or is unknown).
ULONG RecordSize(ULONG code);

class Requests;
// A device control of any code, lengths and contents, sent through `file` if it
// is open (the input's bytes are taken either way); answers the code.
// `issued`, when given, gets the request (none when the handle was closed).
ULONG AnyControl(Input& in, sim::File& file, Requests& requests, sim::FileRequestHandle* issued = nullptr);

// The driver's pool tag and its count of blocks now.
size_t DriverPoolBlocks();

// Requests an input issued, with the check that each completes once it has
// been cancelled and time has passed.
class Requests {
  public:
    void Add(sim::FileRequestHandle r) { live_.push_back(std::move(r)); }
    // A simulated thread making a request that returns only once it has ended.
    void AddThread(int id) { threads_.push_back(id); }
    size_t Count() const { return live_.size(); }
    const sim::FileRequestHandle& At(size_t i) const { return live_[i % live_.size()]; }
    // Drops the completed ones.
    void Prune();
    // Every request still live must complete within `limit` of virtual time.
    void ExpectAllComplete(sim::Simulation& sim, sim::Ticks limit, const char* when);
    void Clear() {
        live_.clear();
        threads_.clear();
    }

  private:
    std::vector<sim::FileRequestHandle> live_;
    std::vector<int> threads_;
};

// A plugged adapter whose port stays open from one input to the next (opening
// a port is a few milliseconds of work; a fresh machine tens). An input that
// changed the port's settings gets them back before the next one starts, so an
// input saved as a finding replays from the state a fresh run starts from.
class OpenPort {
  public:
    explicit OpenPort(sim::AdapterOptions options = {});
    // The handle closes, the adapter is removed and the machine ends (which
    // checks that no pool, request or thread is left).
    ~OpenPort();
    sim::Simulation& Sim() { return *sim_; }
    sim::Adapter& Adapter() { return *adapter_; }
    sim::File& File() { return file_; }
    // Closes the handle (ends its requests) and opens a new one.
    void Reopen();
    // Before an input: settings back to the first open's when the last input
    // changed them.
    void BeginInput();
    // After it: every request cancelled and completed; once the settings are
    // back, the buffers purged and the chip's transfers running, no more pool
    // blocks than a freshly opened port settled the same way holds.
    void EndInput(Requests& requests);
    void MarkChanged() { changed_ = true; }
    // The input reached state a new handle does not reset (the chip's own
    // registers, written through the driver's vendor codes): the next input
    // gets a fresh machine.
    void MarkChipChanged() { chipChanged_ = true; }
    bool NeedsFreshMachine() const { return chipChanged_; }
    // Classifies `code` as the input sends it: MarkChanged for settings of
    // the port, MarkChipChanged for writes to the chip.
    void Note(ULONG code);
    // The same for a request of the application's, `request` (none when it was
    // not sent): a write to the chip the driver refused before doing anything
    // (a code it does not know, a buffer too short) changes nothing, so the
    // next input keeps the machine. Its status is read when the input ends.
    void Note(ULONG code, const sim::FileRequestHandle& request);

  private:
    // What a code does to the port as the next input would find it.
    enum class Effect { None, Setting, Chip };
    static Effect EffectOf(ULONG code);
    void Open();
    void Restore();
    size_t Settle();
    void Control(ULONG code, std::vector<uint8_t> input, ULONG outputLength, const char* what);
    std::unique_ptr<sim::Simulation> sim_;
    std::unique_ptr<sim::Workbench> bench_;
    sim::Adapter* adapter_ = nullptr;
    sim::File file_;
    // The chip's registers, configuration memory and features (what a new
    // handle does not put back), as the first settled port had them.
    std::vector<uint8_t> ChipState() const;
    std::vector<std::pair<ULONG, std::vector<uint8_t>>> settings_;  // set code, record
    std::vector<uint8_t> settledChip_;
    // Requests that may have written to the chip, until the input ends.
    std::vector<sim::FileRequestHandle> chipWrites_;
    size_t settledPool_ = 0;
    size_t inputs_ = 0;
    bool changed_ = false;
    bool chipChanged_ = false;
};

// The port the persistent targets share, made fresh when an input left the
// chip changed.
OpenPort& SharedPort();
// Ends an input on the shared port (OpenPort::EndInput), and the machine with
// it when the input changed the chip.
void EndSharedInput(Requests& requests);

// One target: its name and what it does with one input.
struct Target {
    const char* name;
    int (*run)(const uint8_t* data, size_t size);
};

int RunControls(const uint8_t* data, size_t size);
int RunInternal(const uint8_t* data, size_t size);
int RunDevice(const uint8_t* data, size_t size);
int RunRegistry(const uint8_t* data, size_t size);
int RunPnp(const uint8_t* data, size_t size);

}  // namespace fuzz
