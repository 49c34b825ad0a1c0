// kernel32's footing on the simulated machine: the process's handle table
// and the native calls each handle reaches (the I/O manager's NtXxxFile for
// files, dispatcher objects for events and threads), on simulated threads.
#include "native.h"

#include <sim/files.h>
#include <sim/registry.h>
#include <sim/simulation.h>
#include "sim/win32/host/process.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace sim::win32 {

namespace {

// ExitThread unwinds the thread to its start with this.
struct ThreadExit {
    uint32_t code;
};

struct Object {
    enum class Kind { File, Event, Thread } kind;
    HANDLE file = nullptr;  // the I/O manager's handle
    std::u16string name;    // a file's NT name, an event's name
    KEVENT event{};
    int thread = -1;
    bool exited = false;
    uint32_t exitCode = 0;
};

Process* g_process = nullptr;

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

}  // namespace

struct Process::State {
    // Handle values are never used twice in one process: a stale handle is
    // an invalid one, not another object.
    uintptr_t nextHandle = 0x40;
    std::map<uintptr_t, std::shared_ptr<Object>> handles;
    // Every object made stays until the process goes: a request still
    // pending may signal an event whose last handle was closed.
    std::vector<std::shared_ptr<Object>> objects;
    std::map<std::u16string, std::shared_ptr<Object>> namedEvents;
    std::map<int, uint32_t> lastError;
    std::vector<std::shared_ptr<Object>> threads;
    std::vector<std::string> portNames;

    HANDLE Add(const std::shared_ptr<Object>& object) {
        const uintptr_t value = nextHandle;
        nextHandle += 4;
        handles[value] = object;
        return reinterpret_cast<HANDLE>(value);
    }
    Object* Find(void* handle) {
        auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
        return it == handles.end() ? nullptr : it->second.get();
    }
};

namespace {

Process::State& St() {
    if (!g_process) {
        std::fprintf(stderr, "win32: a kernel32 function was called with no process on the machine\n");
        std::abort();
    }
    return g_process->state();
}

Object* FindOf(void* handle, Object::Kind kind) {
    Object* o = St().Find(handle);
    return o && o->kind == kind ? o : nullptr;
}

// An OVERLAPPED's event handle may carry a flag in its low bit.
NtStatus EventOf(void* handle, PKEVENT* event) {
    *event = nullptr;
    if (!handle)
        return kStatusSuccess;
    Object* o = FindOf(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(handle) & ~uintptr_t(1)),
                       Object::Kind::Event);
    if (!o)
        return kStatusInvalidHandle;
    *event = &o->event;
    return kStatusSuccess;
}

HANDLE FileOf(void* handle) {
    Object* o = FindOf(handle, Object::Kind::File);
    // A handle that is no file reaches the I/O manager as one it does not know.
    return o ? o->file : reinterpret_cast<HANDLE>(uintptr_t(0x3));
}

PVOID DispatcherObjectOf(Object* o) {
    switch (o->kind) {
        case Object::Kind::Event:
            return &o->event;
        case Object::Kind::Thread:
            return Simulation::Current().ThreadObject(o->thread);
        case Object::Kind::File: {
            PFILE_OBJECT file = FileObjectOf(o->file);
            return file ? &file->Event : nullptr;
        }
    }
    return nullptr;
}

void RunThread(const std::shared_ptr<Object>& self, const std::function<uint32_t()>& body) {
    uint32_t code = 0;
    try {
        code = body();
    } catch (const ThreadExit& exit) {
        code = exit.code;
    }
    self->exitCode = code;
    self->exited = true;
}

std::shared_ptr<Object> NewThread(const std::string& name, std::function<uint32_t()> body) {
    auto object = std::make_shared<Object>();
    object->kind = Object::Kind::Thread;
    object->thread = Simulation::Current().CreateThread(name, [object, body] { RunThread(object, body); });
    St().objects.push_back(object);
    St().threads.push_back(object);
    return object;
}

}  // namespace

// --- the process -----------------------------------------------------------------------

Process::Process() : state_(std::make_unique<State>()) {
    if (g_process) {
        std::fprintf(stderr, "win32: one process at a time\n");
        std::abort();
    }
    g_process = this;
}

Process::~Process() {
    if (Simulation::Exists() && !state_->handles.empty()) {
        // Closing a file waits for its cleanup and close: a thread of its own does it.
        Simulation& simulation = Simulation::Current();
        const int closer = simulation.CreateThread("process exit", [this] { CloseAllHandles(); });
        simulation.RunUntil([&] { return simulation.ThreadFinished(closer); }, 60 * kSecond);
    }
    g_process = nullptr;
}

Process& Process::Current() {
    if (!g_process)
        St();
    return *g_process;
}

bool Process::Exists() {
    return g_process != nullptr;
}

int Process::StartMain(std::function<int()> main, std::string name) {
    auto object = NewThread(name, [main] { return static_cast<uint32_t>(main()); });
    mainThread_ = object->thread;
    return mainThread_;
}

bool Process::MainFinished() const {
    return mainThread_ >= 0 && Simulation::Current().ThreadFinished(mainThread_);
}

int Process::MainExitCode() const {
    for (const auto& t : state_->threads) {
        if (t->thread == mainThread_)
            return static_cast<int>(t->exitCode);
    }
    return -1;
}

void Process::SetPortNames(std::vector<std::string> names) {
    state_->portNames = std::move(names);
}

std::vector<std::string> Process::OpenHandles() const {
    std::vector<std::string> out;
    for (const auto& [value, object] : state_->handles) {
        std::string what;
        switch (object->kind) {
            case Object::Kind::File:
                what = "file " + Narrow(object->name);
                break;
            case Object::Kind::Event:
                what = "event" + (object->name.empty() ? "" : " " + Narrow(object->name));
                break;
            case Object::Kind::Thread:
                what = "thread " + std::to_string(object->thread);
                break;
        }
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%llx: ", static_cast<unsigned long long>(value));
        out.push_back(hex + what);
    }
    return out;
}

std::vector<std::string> Process::RunningThreads() const {
    std::vector<std::string> out;
    for (const auto& t : state_->threads) {
        if (!Simulation::Current().ThreadFinished(t->thread))
            out.push_back("thread " + std::to_string(t->thread));
    }
    return out;
}

size_t Process::CloseAllHandles() {
    size_t closed = 0;
    while (!state_->handles.empty()) {
        void* handle = reinterpret_cast<void*>(state_->handles.begin()->first);
        win32::CloseHandle(handle);
        ++closed;
    }
    return closed;
}

// --- files ---------------------------------------------------------------------------------

std::u16string NtNameOf(const std::u16string& win32Name) {
    return Win32NameToNt(win32Name);
}

NtStatus OpenFile(void** handle, const std::u16string& ntName, uint32_t access, uint32_t share,
                  uint32_t disposition, uint32_t options, uint32_t attributes, StatusBlock* iosb) {
    *handle = nullptr;
    CreateParameters p;
    p.desiredAccess = access;
    p.shareAccess = share;
    p.disposition = disposition;
    p.options = options;
    p.fileAttributes = attributes;
    HANDLE file = nullptr;
    NTSTATUS status = NtCreateFile(&file, ntName, p, reinterpret_cast<PIO_STATUS_BLOCK>(iosb));
    if (!NT_SUCCESS(status))
        return status;
    auto object = std::make_shared<Object>();
    object->kind = Object::Kind::File;
    object->file = file;
    object->name = ntName;
    St().objects.push_back(object);
    *handle = St().Add(object);
    return status;
}

NtStatus Transfer(bool write, void* file, void* event, StatusBlock* iosb, void* buffer,
                  uint32_t length, const int64_t* offset) {
    PKEVENT e;
    if (NtStatus s = EventOf(event, &e))
        return s;
    LARGE_INTEGER at{};
    if (offset)
        at.QuadPart = *offset;
    const auto block = reinterpret_cast<PIO_STATUS_BLOCK>(iosb);
    if (write)
        return NtWriteFile(FileOf(file), e, block, buffer, length, offset ? &at : nullptr);
    return NtReadFile(FileOf(file), e, block, buffer, length, offset ? &at : nullptr);
}

NtStatus DeviceControl(void* file, void* event, StatusBlock* iosb, uint32_t code, const void* input,
                       uint32_t inputLength, void* output, uint32_t outputLength) {
    PKEVENT e;
    if (NtStatus s = EventOf(event, &e))
        return s;
    return NtDeviceIoControlFile(FileOf(file), e, reinterpret_cast<PIO_STATUS_BLOCK>(iosb), code,
                                 input, inputLength, output, outputLength);
}

NtStatus FlushFile(void* file, StatusBlock* iosb) {
    return NtFlushBuffersFile(FileOf(file), reinterpret_cast<PIO_STATUS_BLOCK>(iosb));
}

NtStatus CancelIo(void* file, StatusBlock* iosb) {
    return NtCancelIoFile(FileOf(file), reinterpret_cast<PIO_STATUS_BLOCK>(iosb));
}

NtStatus CancelIoEx(void* file, StatusBlock* request, StatusBlock* iosb) {
    return NtCancelIoFileEx(FileOf(file), reinterpret_cast<PIO_STATUS_BLOCK>(request),
                            reinterpret_cast<PIO_STATUS_BLOCK>(iosb));
}

bool IsSynchronousFile(void* file) {
    PFILE_OBJECT object = FileObjectOf(FileOf(file));
    return object && (object->Flags & FO_SYNCHRONOUS_IO);
}

// --- objects ----------------------------------------------------------------------------------

NtStatus CloseHandle(void* handle) {
    auto& st = St();
    auto it = st.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == st.handles.end())
        return kStatusInvalidHandle;
    std::shared_ptr<Object> object = it->second;
    st.handles.erase(it);
    if (object->kind == Object::Kind::File)
        return NtClose(object->file);
    return kStatusSuccess;
}

NtStatus NewEvent(void** handle, bool manualReset, bool initialState, const std::u16string& name,
                     bool* existed) {
    auto& st = St();
    *existed = false;
    if (!name.empty()) {
        auto it = st.namedEvents.find(name);
        if (it != st.namedEvents.end()) {
            *existed = true;
            *handle = st.Add(it->second);
            return kStatusSuccess;
        }
    }
    auto object = std::make_shared<Object>();
    object->kind = Object::Kind::Event;
    object->name = name;
    KeInitializeEvent(&object->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    st.objects.push_back(object);
    if (!name.empty())
        st.namedEvents[name] = object;
    *handle = st.Add(object);
    return kStatusSuccess;
}

NtStatus SetEvent(void* event) {
    Object* o = St().Find(event);
    if (!o)
        return kStatusInvalidHandle;
    if (o->kind != Object::Kind::Event)
        return kStatusObjectTypeMismatch;
    KeSetEvent(&o->event, 0, FALSE);
    return kStatusSuccess;
}

NtStatus ResetEvent(void* event) {
    Object* o = St().Find(event);
    if (!o)
        return kStatusInvalidHandle;
    if (o->kind != Object::Kind::Event)
        return kStatusObjectTypeMismatch;
    KeResetEvent(&o->event);
    return kStatusSuccess;
}

NtStatus Wait(void* const* handles, uint32_t count, bool all, int64_t milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        return kStatusInvalidParameter;
    std::vector<PVOID> objects;
    for (uint32_t i = 0; i < count; ++i) {
        Object* o = St().Find(handles[i]);
        PVOID object = o ? DispatcherObjectOf(o) : nullptr;
        if (!object)
            return kStatusInvalidHandle;
        objects.push_back(object);
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -milliseconds * kMillisecond;
    PLARGE_INTEGER t = milliseconds < 0 ? nullptr : &timeout;
    if (count == 1)
        return KeWaitForSingleObject(objects[0], UserRequest, UserMode, FALSE, t);
    std::vector<KWAIT_BLOCK> blocks(count);
    return KeWaitForMultipleObjects(count, objects.data(), all ? WaitAll : WaitAny, UserRequest,
                                    UserMode, FALSE, t, blocks.data());
}

// --- threads and time -------------------------------------------------------------------------

NtStatus StartThread(void** handle, ThreadStart start, void* parameter, uint32_t* id) {
    auto object = NewThread("thread", [start, parameter] { return start(parameter); });
    if (id)
        *id = static_cast<uint32_t>(object->thread);
    *handle = St().Add(object);
    return kStatusSuccess;
}

void ExitThread(uint32_t code) {
    throw ThreadExit{code};
}

bool ThreadExitCode(void* thread, uint32_t* code, bool* running) {
    Object* o = FindOf(thread, Object::Kind::Thread);
    if (!o)
        return false;
    *running = !Simulation::Current().ThreadFinished(o->thread);
    *code = o->exitCode;
    return true;
}

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(Simulation::Current().CurrentThreadId());
}

uint32_t& LastError() {
    // The functions that only compute (BuildCommDCB) also work outside a
    // process, in the host's own thread.
    static uint32_t outsideProcess = 0;
    if (!g_process || !Simulation::Exists())
        return outsideProcess;
    return St().lastError[Simulation::Current().CurrentThreadId()];
}

void Sleep(int64_t milliseconds) {
    if (milliseconds == 0) {
        Simulation::Current().Yield();
        return;
    }
    if (milliseconds < 0) {
        // Nothing ever wakes it.
        static KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, UserRequest, UserMode, FALSE, nullptr);
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -milliseconds * kMillisecond;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

int64_t Now() {
    return Simulation::Current().Now();
}

// --- the machine's ports ----------------------------------------------------------------------

bool PortExists(const std::u16string& name) {
    std::u16string upper = name;
    for (auto& c : upper) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    for (const RegistryValue& v : RegistryValues(std::u16string(kRegistryDeviceMap) + u"\\SERIALCOMM")) {
        std::u16string value;
        for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(v.data[i] | v.data[i + 1] << 8);
            if (!c)
                break;
            value += c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
        }
        if (value == upper)
            return true;
    }
    return false;
}

const char* PortName(uint32_t index) {
    const auto& names = St().portNames;
    return index < names.size() ? names[index].c_str() : nullptr;
}

uint32_t PortCount() {
    return static_cast<uint32_t>(St().portNames.size());
}

}  // namespace sim::win32
