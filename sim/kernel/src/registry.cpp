// The registry: a tree of keys under \Registry holding typed values, the handle
// table drivers reach it through, the Rtl convenience routines over it, and the
// device keys the Plug and Play manager hands out. One registry exists; every
// Simulation starts it afresh.
#include "internal.h"

#include <sim/registry.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);

constexpr ACCESS_MASK kGenericRead = 0x80000000u;
constexpr ACCESS_MASK kGenericWrite = 0x40000000u;
constexpr ACCESS_MASK kGenericAll = 0x10000000u;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000u;

constexpr ULONG kTypeCheckMask = 0xFF000000u;

// Kernel handles have the top bit set; these never repeat within a simulation,
// so a handle closed twice is recognised as such.
const ULONG_PTR kFirstHandle = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(INT32_MIN)) + 4;

struct Key {
    std::u16string name;
    std::u16string path;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
    std::vector<RegistryValue> values;                       // in creation order
    bool deleted = false;
};

struct OpenHandle {
    std::shared_ptr<Key> key;
    ACCESS_MASK access;
};

struct Registry {
    std::shared_ptr<Key> root;
    std::map<ULONG_PTR, OpenHandle> handles;
    ULONG_PTR nextHandle = kFirstHandle;
    std::map<std::pair<PDEVICE_OBJECT, ULONG>, std::u16string> deviceKeys;
    bool failAll = false;
    NTSTATUS failAllStatus = STATUS_SUCCESS;
    uint64_t failNth = 0;
    NTSTATUS failNthStatus = STATUS_SUCCESS;
    uint64_t reads = 0;
};

Registry g_registry;

std::u16string Fold(std::u16string s) {
    for (auto& c : s) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - (u'a' - u'A'));
    }
    return s;
}

bool SameName(const std::u16string& a, const std::u16string& b) {
    return Fold(a) == Fold(b);
}

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::u16string FromCounted(const UNICODE_STRING* s) {
    if (!s || !s->Buffer)
        return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

size_t WideLength(const WCHAR* s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

std::shared_ptr<Key> Child(const std::shared_ptr<Key>& parent, const std::u16string& name,
                           bool create) {
    auto folded = Fold(name);
    auto it = parent->subkeys.find(folded);
    if (it != parent->subkeys.end())
        return it->second;
    if (!create)
        return nullptr;
    auto key = std::make_shared<Key>();
    key->name = name;
    key->path = parent->path + u"\\" + name;
    parent->subkeys.emplace(folded, key);
    return key;
}

// Splits a path into key names; an empty name between separators makes the path
// malformed. A leading separator is the caller's business.
bool Split(const std::u16string& path, std::vector<std::u16string>* parts) {
    parts->clear();
    if (path.empty())
        return true;
    size_t start = 0;
    for (;;) {
        size_t sep = path.find(u'\\', start);
        std::u16string part = path.substr(start, sep == std::u16string::npos ? sep : sep - start);
        if (part.empty())
            return false;
        parts->push_back(std::move(part));
        if (sep == std::u16string::npos)
            return true;
        start = sep + 1;
    }
}

std::shared_ptr<Key> Walk(std::shared_ptr<Key> key, const std::vector<std::u16string>& parts,
                          size_t first, size_t last, bool create) {
    for (size_t i = first; i < last && key; ++i)
        key = Child(key, parts[i], create);
    return key;
}

void BuildInitialTree(Registry& r) {
    r.root = std::make_shared<Key>();
    r.root->name = u"REGISTRY";
    r.root->path = u"\\REGISTRY";
    for (const char16_t* path : {kRegistryServices, kRegistryControl, kRegistryWindowsNt,
                                 kRegistryDeviceMap, u"\\Registry\\User\\.Default"}) {
        std::vector<std::u16string> parts;
        Split(std::u16string(path).substr(1), &parts);
        Walk(r.root, parts, 1, parts.size(), true);
    }
}

Registry& Reg() {
    if (!g_registry.root)
        BuildInitialTree(g_registry);
    return g_registry;
}

enum class PathError { None, Syntax, Invalid, NotFound };

// An absolute path: \Registry\... . With `createLast` the final key is created
// when its parent exists, as ZwCreateKey would; with `createAll` every missing
// key is (the host's convenience, and the device keys).
std::shared_ptr<Key> ResolveAbsolute(const std::u16string& path, bool createLast, bool createAll,
                                     PathError* error) {
    *error = PathError::None;
    if (path.empty() || path[0] != u'\\') {
        *error = PathError::Syntax;
        return nullptr;
    }
    std::u16string rest = path.substr(1);
    // A trailing separator names the same key.
    if (!rest.empty() && rest.back() == u'\\')
        rest.pop_back();
    std::vector<std::u16string> parts;
    if (!Split(rest, &parts) || parts.empty()) {
        *error = PathError::Invalid;
        return nullptr;
    }
    if (!SameName(parts[0], u"Registry")) {
        *error = PathError::NotFound;
        return nullptr;
    }
    auto& r = Reg();
    std::shared_ptr<Key> key;
    if (createAll) {
        key = Walk(r.root, parts, 1, parts.size(), true);
    } else {
        auto parent = Walk(r.root, parts, 1, parts.size() - 1, false);
        if (parent && parts.size() > 1)
            key = Child(parent, parts.back(), createLast);
        else
            key = parent;
    }
    if (!key)
        *error = PathError::NotFound;
    return key;
}

NTSTATUS StatusOf(PathError error) {
    switch (error) {
        case PathError::None:
            return STATUS_SUCCESS;
        case PathError::Syntax:
            return kStatusObjectPathSyntaxBad;
        case PathError::Invalid:
            return STATUS_OBJECT_NAME_INVALID;
        case PathError::NotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_UNSUCCESSFUL;
}

// Host paths are written by tests: a malformed one is a mistake in the test.
std::shared_ptr<Key> HostKey(const std::u16string& path, bool create) {
    PathError error;
    auto key = ResolveAbsolute(path, false, create, &error);
    if (error == PathError::Syntax || error == PathError::Invalid ||
        (create && error != PathError::None)) {
        std::fprintf(stderr, "sim: '%s' is not a registry path (\\Registry\\...)\n",
                     Narrow(path).c_str());
        std::abort();
    }
    return key;
}

RegistryValue* FindValue(Key& key, const std::u16string& name) {
    for (auto& v : key.values) {
        if (SameName(v.name, name))
            return &v;
    }
    return nullptr;
}

void StoreValue(Key& key, const std::u16string& name, ULONG type, std::vector<uint8_t> data) {
    if (RegistryValue* v = FindValue(key, name)) {
        v->type = type;
        v->data = std::move(data);
        return;
    }
    key.values.push_back(RegistryValue{name, type, std::move(data)});
}

bool EraseValue(Key& key, const std::u16string& name) {
    auto it = std::find_if(key.values.begin(), key.values.end(),
                           [&](const RegistryValue& v) { return SameName(v.name, name); });
    if (it == key.values.end())
        return false;
    key.values.erase(it);
    return true;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& [name, sub] : key.subkeys)
        MarkDeleted(*sub);
    key.subkeys.clear();
    key.values.clear();
}

// ---------------------------------------------------------------------------
// Handles

ACCESS_MASK Granted(ACCESS_MASK desired) {
    ACCESS_MASK granted = desired;
    if (desired & kGenericRead)
        granted |= KEY_READ;
    if (desired & kGenericWrite)
        granted |= KEY_WRITE;
    if (desired & (kGenericAll | kMaximumAllowed))
        granted |= KEY_ALL_ACCESS;
    return granted;
}

HANDLE NewHandle(std::shared_ptr<Key> key, ACCESS_MASK desired) {
    auto& r = Reg();
    ULONG_PTR value = r.nextHandle;
    r.nextHandle += 4;
    r.handles.emplace(value, OpenHandle{std::move(key), Granted(desired)});
    return reinterpret_cast<HANDLE>(value);
}

// A handle that is not open is a bug check on the platform (an invalid kernel
// handle); the run stops unless the test expects it.
OpenHandle* LookupHandle(HANDLE handle, const char* ddi) {
    auto& handles = Reg().handles;
    auto it = handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it != handles.end())
        return &it->second;
    Verifier::Violation(Rule::BadParameter, std::string(ddi) + " given handle " + Hex(handle) +
                                                ", which is not an open registry handle");
    return nullptr;
}

// Finds the key behind a handle and checks the access the operation needs.
NTSTATUS KeyOfHandle(HANDLE handle, ACCESS_MASK needed, const char* ddi,
                     std::shared_ptr<Key>* key) {
    OpenHandle* h = LookupHandle(handle, ddi);
    if (!h)
        return STATUS_INVALID_HANDLE;
    if ((h->access & needed) != needed)
        return STATUS_ACCESS_DENIED;
    if (h->key->deleted)
        return kStatusKeyDeleted;
    *key = h->key;
    return STATUS_SUCCESS;
}

bool Present(const void* p, const char* ddi, const char* what) {
    if (p)
        return true;
    Verifier::Violation(Rule::BadParameter, std::string(ddi) + " called with a null " + what);
    return false;
}

// Every value read passes here, so that a test can make any one of them fail.
NTSTATUS ReadFault() {
    auto& r = Reg();
    ++r.reads;
    if (r.failNth && --r.failNth == 0)
        return r.failNthStatus;
    if (r.failAll)
        return r.failAllStatus;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The Rtl routines' RelativeTo

const char16_t* RelativeBase(ULONG relativeTo) {
    switch (relativeTo) {
        case RTL_REGISTRY_SERVICES:
            return kRegistryServices;
        case RTL_REGISTRY_CONTROL:
            return kRegistryControl;
        case RTL_REGISTRY_WINDOWS_NT:
            return kRegistryWindowsNt;
        case RTL_REGISTRY_DEVICEMAP:
            return kRegistryDeviceMap;
        case RTL_REGISTRY_USER:
            return u"\\Registry\\User\\.Default";
        default:
            return nullptr;
    }
}

// Opens the key RelativeTo and Path name. `forWrite` creates the final key when
// its parent exists, as RtlWriteRegistryValue does; deeper paths are not made.
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, bool forWrite, const char* ddi,
                      std::shared_ptr<Key>* key) {
    ULONG base = relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL);
    if (base & RTL_REGISTRY_HANDLE) {
        ACCESS_MASK needed = forWrite ? KEY_SET_VALUE : KEY_QUERY_VALUE;
        return KeyOfHandle(const_cast<PWSTR>(path), needed, ddi, key);
    }
    std::u16string full;
    if (base == RTL_REGISTRY_ABSOLUTE) {
        if (!path)
            return STATUS_OBJECT_NAME_INVALID;
        full = path;
    } else {
        const char16_t* root = RelativeBase(base);
        if (!root)
            return STATUS_INVALID_PARAMETER;
        full = root;
        if (path && *path) {
            if (path[0] != u'\\')
                full += u'\\';
            full += path;
        }
    }
    PathError error;
    *key = ResolveAbsolute(full, forWrite, false, &error);
    return StatusOf(error);
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues

bool IsStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Registry strings are read with their terminator even when whoever wrote them
// left it off, so a query routine can always treat the data as a C string.
void EnsureTerminated(std::vector<uint8_t>& data) {
    if (data.size() & 1)
        data.push_back(0);
    size_t n = data.size();
    if (n < 2 || data[n - 1] != 0 || data[n - 2] != 0)
        data.insert(data.end(), {0, 0});
}

NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type,
                     const std::vector<uint8_t>& data) {
    if (!Present(entry.EntryContext, "RtlQueryRegistryValues",
                 "EntryContext in an RTL_QUERY_REGISTRY_DIRECT entry"))
        return STATUS_INVALID_PARAMETER;
    size_t length = data.size();
    if (IsStringType(type)) {
        auto* s = static_cast<PUNICODE_STRING>(entry.EntryContext);
        if (length > MAXUSHORT - 1)
            return STATUS_BUFFER_TOO_SMALL;
        if (!s->Buffer) {
            // The caller owns this buffer from now on and frees it with
            // RtlFreeUnicodeString.
            size_t size = std::max<size_t>(length, sizeof(WCHAR));
            auto* buffer =
                static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, kStringPoolTag));
            if (!buffer)
                return STATUS_NO_MEMORY;
            s->Buffer = buffer;
            s->MaximumLength = static_cast<USHORT>(size);
        } else if (length > s->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (length)
            std::memcpy(s->Buffer, data.data(), length);
        USHORT bytes = static_cast<USHORT>(length & ~size_t(1));
        if (bytes >= sizeof(WCHAR) && s->Buffer[bytes / sizeof(WCHAR) - 1] == 0)
            bytes = static_cast<USHORT>(bytes - sizeof(WCHAR));
        s->Length = bytes;
        if (bytes + sizeof(WCHAR) <= s->MaximumLength)
            s->Buffer[bytes / sizeof(WCHAR)] = 0;
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(entry.EntryContext, data.data(), length);
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer announces its size in its first LONG. Negative:
    // store the bare data; positive: length, type, then the data.
    LONG announced;
    std::memcpy(&announced, entry.EntryContext, sizeof announced);
    auto* out = static_cast<uint8_t*>(entry.EntryContext);
    if (announced < 0) {
        if (-static_cast<int64_t>(announced) < static_cast<int64_t>(length))
            return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data.data(), length);
        return STATUS_SUCCESS;
    }
    if (static_cast<uint64_t>(announced) < length + 2 * sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {static_cast<ULONG>(length), type};
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + sizeof header, data.data(), length);
    return STATUS_SUCCESS;
}

NTSTATUS DeliverOne(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                    std::vector<uint8_t> data, PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)
        return StoreDirect(entry, type, data);
    std::vector<WCHAR> nameCopy(name.begin(), name.end());
    nameCopy.push_back(0);
    return entry.QueryRoutine(nameCopy.data(), type, data.empty() ? nullptr : data.data(),
                              static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

// Hands one value to the entry: a REG_MULTI_SZ one string at a time and a
// REG_EXPAND_SZ as a REG_SZ unless the entry asks for the raw data. There is no
// environment to expand from here, so expansion leaves the text as it is.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, const std::u16string& name, ULONG type,
                 std::vector<uint8_t> data, PVOID context) {
    if (IsStringType(type))
        EnsureTerminated(data);
    if (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)
        return DeliverOne(entry, name, type, data, context);
    if (type == REG_EXPAND_SZ)
        return DeliverOne(entry, name, REG_SZ, std::move(data), context);
    if (type != REG_MULTI_SZ)
        return DeliverOne(entry, name, type, std::move(data), context);
    const auto* text = reinterpret_cast<const WCHAR*>(data.data());
    size_t chars = data.size() / sizeof(WCHAR);
    for (size_t i = 0; i < chars && text[i] != 0;) {
        size_t n = 0;
        while (i + n < chars && text[i + n] != 0)
            ++n;
        std::vector<uint8_t> one(reinterpret_cast<const uint8_t*>(text + i),
                                 reinterpret_cast<const uint8_t*>(text + i + n));
        one.insert(one.end(), {0, 0});
        NTSTATUS status = DeliverOne(entry, name, REG_SZ, std::move(one), context);
        if (!NT_SUCCESS(status))
            return status;
        i += n + 1;
    }
    return STATUS_SUCCESS;
}

ULONG DefaultTypeOf(const RTL_QUERY_REGISTRY_TABLE& entry) {
    return (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) ? entry.DefaultType & ~kTypeCheckMask
                                                        : entry.DefaultType;
}

// An absent value: an error if required, else the default if there is one.
NTSTATUS DeliverAbsent(const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG type = DefaultTypeOf(entry);
    if (type == REG_NONE)
        return STATUS_SUCCESS;
    const auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
    size_t length = entry.DefaultLength;
    if (length == 0 && bytes && IsStringType(type)) {
        // Zero means "measure it": through the terminator, or through the empty
        // string that closes a REG_MULTI_SZ.
        const auto* text = static_cast<const WCHAR*>(entry.DefaultData);
        size_t chars = WideLength(text) + 1;
        if (type == REG_MULTI_SZ) {
            while (text[chars] != 0)
                chars += WideLength(text + chars) + 1;
            chars += 1;
        }
        length = chars * sizeof(WCHAR);
    }
    std::vector<uint8_t> data;
    if (bytes)
        data.assign(bytes, bytes + length);
    std::u16string name = entry.Name ? std::u16string(entry.Name) : std::u16string();
    return Deliver(entry, name, type, std::move(data), context);
}

NTSTATUS DeliverFound(const RTL_QUERY_REGISTRY_TABLE& entry, Key& key, const RegistryValue& value,
                      PVOID context) {
    if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) && (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) &&
        value.type != (entry.DefaultType >> 24))
        return STATUS_OBJECT_TYPE_MISMATCH;
    RegistryValue copy = value;  // the routine may change the registry under us
    NTSTATUS status = Deliver(entry, copy.name, copy.type, copy.data, context);
    if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE))
        EraseValue(key, copy.name);
    return status;
}

// Every value of `key` to the entry's routine; or one call with no value at all
// for RTL_QUERY_REGISTRY_NOVALUE.
NTSTATUS Enumerate(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key,
                   PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
        if (!entry.QueryRoutine)
            return STATUS_INVALID_PARAMETER;
        return entry.QueryRoutine(entry.Name, REG_NONE, nullptr, 0, context, entry.EntryContext);
    }
    if (!key || key->values.empty())
        return DeliverAbsent(entry, context);
    std::vector<RegistryValue> snapshot = key->values;
    for (const auto& value : snapshot) {
        NTSTATUS status = ReadFault();
        if (!NT_SUCCESS(status))
            return status;
        status = DeliverFound(entry, *key, value, context);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryNamed(const RTL_QUERY_REGISTRY_TABLE& entry, const std::shared_ptr<Key>& key,
                    PVOID context) {
    if (!key)
        return DeliverAbsent(entry, context);
    NTSTATUS status = ReadFault();
    if (!NT_SUCCESS(status))
        return status;
    const RegistryValue* value = FindValue(*key, entry.Name);
    if (!value)
        return DeliverAbsent(entry, context);
    return DeliverFound(entry, *key, *value, context);
}

std::string EntryText(size_t index, const RTL_QUERY_REGISTRY_TABLE& entry) {
    return "query table entry " + std::to_string(index) +
           (entry.Name ? " ('" + Narrow(entry.Name) + "')" : std::string());
}

}  // namespace

// ---------------------------------------------------------------------------
// Host API

void ResetRegistry() {
    g_registry = Registry{};
    BuildInitialTree(g_registry);
}

void CreateRegistryKey(const std::u16string& path) {
    HostKey(path, true);
}

bool RegistryKeyExists(const std::u16string& path) {
    return HostKey(path, false) != nullptr;
}

bool DeleteRegistryKey(const std::u16string& path) {
    PathError error;
    std::u16string trimmed = path;
    if (!trimmed.empty() && trimmed.back() == u'\\')
        trimmed.pop_back();
    auto key = HostKey(trimmed, false);
    if (!key || key == Reg().root)
        return false;
    size_t sep = trimmed.rfind(u'\\');
    auto parent = ResolveAbsolute(trimmed.substr(0, sep), false, false, &error);
    parent->subkeys.erase(Fold(key->name));
    MarkDeleted(*key);
    return true;
}

std::vector<std::u16string> RegistrySubkeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    if (auto key = HostKey(path, false)) {
        for (auto& [folded, sub] : key->subkeys)
            names.push_back(sub->name);
    }
    return names;
}

void SetRegistryValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      std::vector<uint8_t> data) {
    StoreValue(*HostKey(keyPath, true), name, type, std::move(data));
}

namespace {
std::vector<uint8_t> BytesOf(const std::u16string& s) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.c_str());
    return std::vector<uint8_t>(p, p + (s.size() + 1) * sizeof(char16_t));
}
}  // namespace

void SetRegistryString(const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& value) {
    SetRegistryValue(keyPath, name, REG_SZ, BytesOf(value));
}

void SetRegistryDword(const std::u16string& keyPath, const std::u16string& name, ULONG value) {
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    SetRegistryValue(keyPath, name, REG_DWORD, std::move(data));
}

void SetRegistryMultiString(const std::u16string& keyPath, const std::u16string& name,
                            const std::vector<std::u16string>& strings) {
    std::vector<uint8_t> data;
    for (const auto& s : strings) {
        auto bytes = BytesOf(s);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.insert(data.end(), {0, 0});
    SetRegistryValue(keyPath, name, REG_MULTI_SZ, std::move(data));
}

bool DeleteRegistryValue(const std::u16string& keyPath, const std::u16string& name) {
    auto key = HostKey(keyPath, false);
    return key && EraseValue(*key, name);
}

std::optional<RegistryValue> GetRegistryValue(const std::u16string& keyPath,
                                              const std::u16string& name) {
    auto key = HostKey(keyPath, false);
    if (!key)
        return std::nullopt;
    const RegistryValue* value = FindValue(*key, name);
    if (!value)
        return std::nullopt;
    return *value;
}

std::optional<std::u16string> GetRegistryString(const std::u16string& keyPath,
                                                const std::u16string& name) {
    auto value = GetRegistryValue(keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string s(value->data.size() / sizeof(char16_t), u'\0');
    std::memcpy(&s[0], value->data.data(), s.size() * sizeof(char16_t));
    return s.substr(0, s.find(u'\0'));
}

std::optional<ULONG> GetRegistryDword(const std::u16string& keyPath, const std::u16string& name) {
    auto value = GetRegistryValue(keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG))
        return std::nullopt;
    ULONG v;
    std::memcpy(&v, value->data.data(), sizeof v);
    return v;
}

std::optional<std::vector<std::u16string>> GetRegistryMultiString(const std::u16string& keyPath,
                                                                  const std::u16string& name) {
    auto value = GetRegistryValue(keyPath, name);
    if (!value || value->type != REG_MULTI_SZ)
        return std::nullopt;
    std::u16string all(value->data.size() / sizeof(char16_t), u'\0');
    std::memcpy(&all[0], value->data.data(), all.size() * sizeof(char16_t));
    std::vector<std::u16string> strings;
    for (size_t i = 0; i < all.size() && all[i] != 0;) {
        size_t end = all.find(u'\0', i);
        if (end == std::u16string::npos)
            end = all.size();
        strings.push_back(all.substr(i, end - i));
        i = end + 1;
    }
    return strings;
}

std::vector<RegistryValue> RegistryValues(const std::u16string& keyPath) {
    auto key = HostKey(keyPath, false);
    return key ? key->values : std::vector<RegistryValue>{};
}

void SetDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, std::u16string path) {
    HostKey(path, false);  // checks the form only; the key appears on first open
    Reg().deviceKeys[{pdo, keyType}] = std::move(path);
}

void ForgetDeviceRegistryKeys(PDEVICE_OBJECT pdo) {
    auto& keys = Reg().deviceKeys;
    for (auto it = keys.begin(); it != keys.end();) {
        if (it->first.first == pdo)
            it = keys.erase(it);
        else
            ++it;
    }
}

void FailRegistryReads(bool fail, NTSTATUS status) {
    Reg().failAll = fail;
    Reg().failAllStatus = status;
}

void FailNthRegistryRead(uint64_t n, NTSTATUS status) {
    Reg().failNth = n;
    Reg().failNthStatus = status;
}

uint64_t RegistryReads() {
    return Reg().reads;
}

size_t OpenRegistryHandles() {
    return Reg().handles.size();
}

std::vector<std::u16string> OpenRegistryHandlePaths() {
    std::vector<std::u16string> paths;
    for (auto& [value, handle] : Reg().handles)
        paths.push_back(handle.key->path);
    return paths;
}

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) { SIM_DDI();
    UNREFERENCED_PARAMETER(Environment);
    if (!RequireIrql("RtlQueryRegistryValues", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(QueryTable, "RtlQueryRegistryValues", "query table"))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> top;
    NTSTATUS status = OpenRelative(RelativeTo, Path, false, "RtlQueryRegistryValues", &top);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL)) {
        // An optional key that is absent reads as an empty key: entries get
        // their defaults and required ones still fail.
        top = nullptr;
    } else if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<Key> current = top;
    for (size_t index = 0;; ++index) {
        const RTL_QUERY_REGISTRY_TABLE& entry = QueryTable[index];
        bool direct = (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0;
        bool subkey = (entry.Flags & RTL_QUERY_REGISTRY_SUBKEY) != 0;
        if (!entry.QueryRoutine && !direct && !subkey) {
            if (entry.Name) {
                // The platform ends the table here too, silently: almost always a
                // forgotten RTL_QUERY_REGISTRY_DIRECT.
                Verifier::Violation(Rule::BadParameter,
                                    "RtlQueryRegistryValues: " + EntryText(index, entry) +
                                        " has neither a query routine nor "
                                        "RTL_QUERY_REGISTRY_DIRECT, which ends the table");
            }
            return STATUS_SUCCESS;
        }
        if (entry.Flags & RTL_QUERY_REGISTRY_TOPKEY)
            current = top;
        if (subkey) {
            if (!entry.Name)
                return STATUS_INVALID_PARAMETER;
            std::vector<std::u16string> parts;
            if (!Split(entry.Name, &parts))
                return STATUS_OBJECT_NAME_INVALID;
            current = top ? Walk(top, parts, 0, parts.size(), false) : nullptr;
            if (!current && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (!entry.QueryRoutine)
                continue;
            status = Enumerate(entry, current, Context);
        } else if (!entry.Name) {
            if (direct)
                return STATUS_INVALID_PARAMETER;
            status = Enumerate(entry, current, Context);
        } else {
            status = QueryNamed(entry, current, Context);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) { SIM_DDI();
    if (!RequireIrql("RtlWriteRegistryValue", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(ValueName, "RtlWriteRegistryValue", "value name") ||
        (ValueLength && !Present(ValueData, "RtlWriteRegistryValue", "data pointer")))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    NTSTATUS status = OpenRelative(RelativeTo, Path, true, "RtlWriteRegistryValue", &key);
    if (!NT_SUCCESS(status))
        return status;
    const auto* bytes = static_cast<const uint8_t*>(ValueData);
    StoreValue(*key, ValueName, ValueType,
               bytes ? std::vector<uint8_t>(bytes, bytes + ValueLength) : std::vector<uint8_t>{});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) { SIM_DDI();
    if (!RequireIrql("RtlDeleteRegistryValue", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(ValueName, "RtlDeleteRegistryValue", "value name"))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    NTSTATUS status = OpenRelative(RelativeTo, Path, false, "RtlDeleteRegistryValue", &key);
    if (!NT_SUCCESS(status))
        return status;
    return EraseValue(*key, ValueName) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) { SIM_DDI();
    if (!RequireIrql("ZwOpenKey", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(KeyHandle, "ZwOpenKey", "handle pointer") ||
        !Present(ObjectAttributes, "ZwOpenKey", "OBJECT_ATTRIBUTES") ||
        !Present(ObjectAttributes->ObjectName, "ZwOpenKey", "ObjectName"))
        return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::u16string name = FromCounted(ObjectAttributes->ObjectName);
    std::shared_ptr<Key> key;
    if (ObjectAttributes->RootDirectory) {
        std::shared_ptr<Key> root;
        NTSTATUS status = KeyOfHandle(ObjectAttributes->RootDirectory, 0, "ZwOpenKey", &root);
        if (!NT_SUCCESS(status))
            return status;
        if (!name.empty() && name[0] == u'\\')
            return kStatusObjectPathSyntaxBad;
        std::vector<std::u16string> parts;
        if (!Split(name, &parts))
            return STATUS_OBJECT_NAME_INVALID;
        key = Walk(root, parts, 0, parts.size(), false);
        if (!key)
            return STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
        PathError error;
        key = ResolveAbsolute(name, false, false, &error);
        if (!key)
            return StatusOf(error);
    }
    *KeyHandle = NewHandle(std::move(key), DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) { SIM_DDI();
    if (!RequireIrql("ZwQueryValueKey", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(ResultLength, "ZwQueryValueKey", "ResultLength") ||
        (Length && !Present(KeyValueInformation, "ZwQueryValueKey", "output buffer")))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    NTSTATUS status = KeyOfHandle(KeyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &key);
    if (!NT_SUCCESS(status))
        return status;
    if (KeyValueInformationClass != KeyValueBasicInformation &&
        KeyValueInformationClass != KeyValueFullInformation &&
        KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    status = ReadFault();
    if (!NT_SUCCESS(status))
        return status;
    const RegistryValue* value = FindValue(*key, FromCounted(ValueName));
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;

    ULONG nameBytes = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value->data.size());
    ULONG fixed = 0, needed = 0, nameAt = 0, dataAt = 0;
    switch (KeyValueInformationClass) {
        case KeyValueBasicInformation:
            fixed = nameAt = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
            needed = fixed + nameBytes;
            break;
        case KeyValueFullInformation:
            fixed = nameAt = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
            dataAt = (fixed + nameBytes + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
            needed = dataAt + dataBytes;
            break;
        default:
            fixed = dataAt = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
            needed = fixed + dataBytes;
            break;
    }
    *ResultLength = needed;
    if (Length < fixed)
        return STATUS_BUFFER_TOO_SMALL;

    // The fixed part always; the name as far as it fits; the data only whole.
    auto* out = static_cast<uint8_t*>(KeyValueInformation);
    switch (KeyValueInformationClass) {
        case KeyValueBasicInformation: {
            KEY_VALUE_BASIC_INFORMATION head{};
            head.Type = value->type;
            head.NameLength = nameBytes;
            std::memcpy(out, &head, fixed);
            break;
        }
        case KeyValueFullInformation: {
            KEY_VALUE_FULL_INFORMATION head{};
            head.Type = value->type;
            head.DataOffset = dataAt;
            head.DataLength = dataBytes;
            head.NameLength = nameBytes;
            std::memcpy(out, &head, fixed);
            break;
        }
        default: {
            KEY_VALUE_PARTIAL_INFORMATION head{};
            head.Type = value->type;
            head.DataLength = dataBytes;
            std::memcpy(out, &head, fixed);
            break;
        }
    }
    if (nameAt)
        std::memcpy(out + nameAt, value->name.data(), std::min(nameBytes, Length - nameAt));
    if (Length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (dataBytes)
        std::memcpy(out + dataAt, value->data.data(), dataBytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) { SIM_DDI();
    UNREFERENCED_PARAMETER(TitleIndex);
    if (!RequireIrql("ZwSetValueKey", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(ValueName, "ZwSetValueKey", "value name") ||
        (DataSize && !Present(Data, "ZwSetValueKey", "data pointer")))
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key;
    NTSTATUS status = KeyOfHandle(KeyHandle, KEY_SET_VALUE, "ZwSetValueKey", &key);
    if (!NT_SUCCESS(status))
        return status;
    const auto* bytes = static_cast<const uint8_t*>(Data);
    StoreValue(*key, FromCounted(ValueName), Type,
               bytes ? std::vector<uint8_t>(bytes, bytes + DataSize) : std::vector<uint8_t>{});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) { SIM_DDI();
    if (!RequireIrql("ZwClose", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    auto& handles = Reg().handles;
    auto it = handles.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (it == handles.end()) {
        Verifier::Violation(Rule::BadParameter,
                            "ZwClose of " + Hex(Handle) + ", which is not open (closed twice?)");
        return STATUS_INVALID_HANDLE;
    }
    handles.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) { SIM_DDI();
    if (!RequireIrql("IoOpenDeviceRegistryKey", PASSIVE_LEVEL))
        return STATUS_UNSUCCESSFUL;
    if (!Present(DevInstRegKey, "IoOpenDeviceRegistryKey", "handle pointer"))
        return STATUS_INVALID_PARAMETER;
    *DevInstRegKey = nullptr;
    constexpr ULONG kKnown =
        PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE;
    ULONG kind = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
    if ((DevInstKeyType & ~kKnown) ||
        (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER))
        return STATUS_INVALID_PARAMETER;
    // Only physical device objects the bus side registered have device keys: a
    // functional device object passed by mistake is refused as on the platform.
    auto& keys = Reg().deviceKeys;
    auto it = keys.find({DeviceObject, DevInstKeyType});
    if (it == keys.end())
        return STATUS_INVALID_PARAMETER;
    PathError error;
    auto key = ResolveAbsolute(it->second, false, true, &error);
    if (!key)
        return StatusOf(error);
    *DevInstRegKey = NewHandle(std::move(key), DesiredAccess);
    return STATUS_SUCCESS;
}

}  // extern "C"
