// Zw file calls and the device registry key on the host. Files live under the
// state folder (`\SystemRoot\system32\X` is <state>/X); each device key is a
// text file in the same folder, one value a line: name, type and the data in
// hex, separated by tabs. I/O is synchronous, as the driver uses it.
//
// A key handle's first value write takes an exclusive lock on the key (a
// "<key file>.lock" beside it, flock, shared with other processes) and reads
// the values; its writes change that copy, and a flush or the close writes
// the whole key at once (a temporary file of its own, flushed, renamed over
// the key file) and the close releases the lock. So a writer's
// read-modify-write never interleaves with another's, and a crash leaves the
// old key file or the new one.
#include "platform/host/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <memory>

#include "platform/host/host_files.h"

namespace {

// One line of a key file: "name<TAB>type<TAB>hex bytes". A line that does
// not read so (edited by hand, cut short) keeps its text in `raw`: no query
// finds it, and it is written back exactly as it was, never as a value.
struct StoredValue {
  std::string name;
  ULONG type;
  std::vector<uint8_t> data;
  std::string raw;
};

struct HostHandle {
  enum Kind { kFile, kDirectory, kKey } kind;
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  std::string keyFile;  // registry key: the file that holds its values
  int lockFd = -1;      // registry key: held from the first write to the close
  std::vector<StoredValue> values;  // registry key, once locked
  bool dirty = false;   // values changed since the last write of the file
};

struct FileState {
  std::mutex lock;
  std::string folder;
  std::map<PDEVICE_OBJECT, std::string> deviceNames;
  std::map<HostHandle*, std::unique_ptr<HostHandle>> handles;
  std::string registryError;  // the last failed write of a key file
};

FileState& State() {
  static FileState state;
  return state;
}

bool ToAscii(PCUNICODE_STRING name, std::string* out) {
  if (!name || (name->Length && !name->Buffer) || name->Length % sizeof(WCHAR)) return false;
  out->clear();
  for (USHORT i = 0; i < name->Length / sizeof(WCHAR); ++i) {
    WCHAR c = name->Buffer[i];
    if (c == 0 || c >= 0x80) return false;
    out->push_back(char(c));
  }
  return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// `\SystemRoot\system32\a\b` -> <folder>/a/b. Empty, "." and ".." components
// and host separators are refused, so no name reaches outside the folder.
NTSTATUS MapPath(const FileState& state, PCUNICODE_STRING name, std::string* path) {
  std::string text;
  if (!ToAscii(name, &text)) return STATUS_OBJECT_NAME_INVALID;
  static const std::string kPrefix = "\\SystemRoot\\system32\\";
  if (text.size() <= kPrefix.size() || !SameText(text.substr(0, kPrefix.size()), kPrefix))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  if (state.folder.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::string rest = text.substr(kPrefix.size());
  std::string mapped = state.folder;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    std::string part = rest.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos)
      return STATUS_OBJECT_NAME_INVALID;
    mapped += "/" + part;
    start = end + 1;
  }
  *path = mapped;
  return STATUS_SUCCESS;
}

void EnsureFolder(const std::string& folder) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') ::mkdir(folder.substr(0, i).c_str(), 0755);
  }
}

HANDLE AddHandle(FileState& state, std::unique_ptr<HostHandle> handle) {
  HostHandle* raw = handle.get();
  state.handles[raw] = std::move(handle);
  return raw;
}

HostHandle* FindHandle(FileState& state, HANDLE handle) {
  auto it = state.handles.find(static_cast<HostHandle*>(handle));
  return it == state.handles.end() ? nullptr : it->second.get();
}

// ---- registry files ----

bool ReadLine(const std::string& line, StoredValue* v) {
  const size_t t1 = line.find('\t');
  const size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
  if (t1 == 0 || t2 == std::string::npos) return false;
  const std::string type = line.substr(t1 + 1, t2 - t1 - 1), hex = line.substr(t2 + 1);
  if (type.empty() || type.size() > 9 || type.find_first_not_of("0123456789") != std::string::npos ||
      hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return false;
  v->name = line.substr(0, t1);
  v->type = ULONG(std::strtoul(type.c_str(), nullptr, 10));
  for (size_t i = 0; i < hex.size(); i += 2)
    v->data.push_back(uint8_t(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  return true;
}

std::vector<StoredValue> LoadKey(const std::string& file) {
  std::vector<StoredValue> values;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    StoredValue v{};
    if (!ReadLine(line, &v)) v = StoredValue{std::string(), 0, {}, line};
    values.push_back(std::move(v));
  }
  return values;
}

// Replaces the key file with `values` in one step: a temporary file of this
// writer's own, flushed to disk, renamed over it. False and the reason on
// any failure (the old file stays).
bool StoreKey(const std::string& file, const std::vector<StoredValue>& values, std::string* why) {
  std::string text;
  for (const StoredValue& v : values) {
    if (!v.raw.empty() || v.name.empty()) {
      text += v.raw + '\n';
      continue;
    }
    text += v.name + '\t' + std::to_string(v.type) + '\t';
    char hex[3];
    for (uint8_t b : v.data) {
      std::snprintf(hex, sizeof(hex), "%02x", b);
      text += hex;
    }
    text += '\n';
  }
  std::string temp = file + ".XXXXXX";
  const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot create a temporary file beside " + file + ": " + std::strerror(errno);
    return false;
  }
  ::fchmod(fd, 0644);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  const bool written = done == text.size() && ::fsync(fd) == 0;
  const int writeErrno = errno;
  ::close(fd);
  if (!written || std::rename(temp.c_str(), file.c_str()) != 0) {
    *why = "cannot write " + file + ": " + std::strerror(written ? errno : writeErrno);
    ::unlink(temp.c_str());
    return false;
  }
  const std::string folder = file.substr(0, file.rfind('/'));
  const int dir = ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) ::fsync(dir), ::close(dir);  // the rename itself on disk
  return true;
}

// Takes the key's lock for `handle` (waiting for another holder, at most
// kLockWaitMs of real time) and reads its values. Called with the state
// lock held in `hold`; drops it while waiting.
constexpr int kLockWaitMs = 10000;
NTSTATUS LockKey(std::unique_lock<std::mutex>& hold, FileState& state, HostHandle*& handle, HANDLE key) {
  const std::string file = handle->keyFile;
  EnsureFolder(state.folder);
  hold.unlock();
  const int fd = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  for (int waited = 0; fd >= 0 && !locked && errno == EWOULDBLOCK && waited < kLockWaitMs; waited += 2) {
    ::usleep(2000);
    locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  }
  const std::string why = std::strerror(errno);
  hold.lock();
  handle = FindHandle(state, key);
  if (!locked || !handle) {
    if (fd >= 0) ::close(fd);
    if (!handle) return STATUS_INVALID_HANDLE;
    state.registryError = "cannot lock " + file + ": " + why;
    return STATUS_ACCESS_DENIED;
  }
  handle->lockFd = fd;
  handle->values = LoadKey(file);
  return STATUS_SUCCESS;
}

// Writes a locked key's changed values to its file.
NTSTATUS WriteKey(FileState& state, HostHandle* handle) {
  if (!handle->dirty) return STATUS_SUCCESS;
  handle->dirty = false;
  std::string why;
  if (StoreKey(handle->keyFile, handle->values, &why)) return STATUS_SUCCESS;
  state.registryError = why;
  return STATUS_UNSUCCESSFUL;
}

std::string KeyFile(const FileState& state, const std::string& device, ULONG type) {
  return state.folder + "/" + device + (type == PLUGPLAY_REGKEY_DEVICE ? ".device.reg" : ".driver.reg");
}

}  // namespace

namespace host {

void SetStateFolder(const std::string& folder) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.folder = folder;
  while (state.folder.size() > 1 && state.folder.back() == '/') state.folder.pop_back();
}

std::string StateFolder() {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.folder;
}

void SetDeviceRegistryName(PDEVICE_OBJECT physicalDevice, const std::string& name) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.deviceNames[physicalDevice] = name;
}

void ForgetDeviceRegistryName(PDEVICE_OBJECT physicalDevice) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.deviceNames.erase(physicalDevice);
}

bool ReadDeviceRegistryValue(const std::string& deviceName, const std::string& valueName,
                             RegistryValue* value) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.folder.empty()) return false;
  for (const StoredValue& v : LoadKey(KeyFile(state, deviceName, PLUGPLAY_REGKEY_DRIVER))) {
    if (SameText(v.name, valueName)) {
      value->type = v.type;
      value->data = v.data;
      return true;
    }
  }
  return false;
}

std::vector<std::string> UnreadableRegistryLines(const std::string& deviceName) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  std::vector<std::string> lines;
  if (state.folder.empty()) return lines;
  for (const StoredValue& v : LoadKey(KeyFile(state, deviceName, PLUGPLAY_REGKEY_DRIVER)))
    if (v.name.empty() && !v.raw.empty()) lines.push_back(v.raw);
  return lines;
}

std::string DeviceRegistryFile(const std::string& deviceName) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.folder.empty() ? std::string() : KeyFile(state, deviceName, PLUGPLAY_REGKEY_DRIVER);
}

std::string RegistryWriteError() {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.registryError;
}

void ClearRegistryWriteError() {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.registryError.clear();
}

size_t OpenHandleCount() {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.handles.size();
}

}  // namespace host

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER, ULONG, ULONG, ULONG CreateDisposition,
                      ULONG CreateOptions, PVOID, ULONG) {
  if (!FileHandle || !ObjectAttributes || !IoStatusBlock) return STATUS_INVALID_PARAMETER;
  *FileHandle = nullptr;
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  std::string path;
  NTSTATUS status = MapPath(state, ObjectAttributes->ObjectName, &path);
  if (!NT_SUCCESS(status)) return IoStatusBlock->Status = status;
  EnsureFolder(state.folder);
  struct stat info;
  bool exists = ::stat(path.c_str(), &info) == 0;

  auto handle = std::make_unique<HostHandle>();
  if (CreateOptions & FILE_DIRECTORY_FILE) {
    if (exists && !S_ISDIR(info.st_mode)) return IoStatusBlock->Status = STATUS_OBJECT_NAME_COLLISION;
    if (CreateDisposition == FILE_CREATE && exists)
      return IoStatusBlock->Status = STATUS_OBJECT_NAME_COLLISION;
    if (CreateDisposition == FILE_OPEN && !exists)
      return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (!exists && ::mkdir(path.c_str(), 0755) != 0)
      return IoStatusBlock->Status = STATUS_OBJECT_PATH_NOT_FOUND;
    handle->kind = HostHandle::kDirectory;
    IoStatusBlock->Information = exists ? FILE_OPENED : FILE_CREATED;
  } else {
    if (exists && S_ISDIR(info.st_mode)) return IoStatusBlock->Status = STATUS_ACCESS_DENIED;
    handle->kind = HostHandle::kFile;
    handle->canRead = DesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    handle->canWrite =
        DesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    int flags = O_CLOEXEC;
    flags |= handle->canRead && handle->canWrite ? O_RDWR : handle->canWrite ? O_WRONLY : O_RDONLY;
    ULONG_PTR information;
    switch (CreateDisposition) {
      case FILE_OPEN:
        if (!exists) return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
        information = FILE_OPENED;
        break;
      case FILE_CREATE:
        if (exists) return IoStatusBlock->Status = STATUS_OBJECT_NAME_COLLISION;
        flags |= O_CREAT | O_EXCL;
        information = FILE_CREATED;
        break;
      case FILE_OPEN_IF:
        flags |= O_CREAT;
        information = exists ? FILE_OPENED : FILE_CREATED;
        break;
      case FILE_OVERWRITE:
        if (!exists) return IoStatusBlock->Status = STATUS_OBJECT_NAME_NOT_FOUND;
        flags |= O_TRUNC;
        information = FILE_OVERWRITTEN;
        break;
      case FILE_OVERWRITE_IF:
      case FILE_SUPERSEDE:
        flags |= O_CREAT | O_TRUNC;
        information = exists ? (CreateDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                                                                    : FILE_OVERWRITTEN)
                             : FILE_CREATED;
        break;
      default:
        return IoStatusBlock->Status = STATUS_INVALID_PARAMETER;
    }
    if ((flags & (O_CREAT | O_TRUNC)) && !handle->canWrite) flags = (flags & ~O_ACCMODE) | O_RDWR;
    handle->fd = ::open(path.c_str(), flags, 0644);
    if (handle->fd < 0) {
      return IoStatusBlock->Status = errno == ENOENT || errno == ENOTDIR
                                         ? STATUS_OBJECT_PATH_NOT_FOUND
                                         : STATUS_ACCESS_DENIED;
    }
    IoStatusBlock->Information = information;
  }
  *FileHandle = AddHandle(state, std::move(handle));
  return IoStatusBlock->Status = STATUS_SUCCESS;
}

namespace {

NTSTATUS FileIo(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                PLARGE_INTEGER ByteOffset, bool write) {
  if (!IoStatusBlock || (Length && !Buffer)) return STATUS_INVALID_PARAMETER;
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  HostHandle* handle = FindHandle(state, FileHandle);
  if (!handle || handle->kind != HostHandle::kFile) return STATUS_INVALID_HANDLE;
  if (write ? !handle->canWrite : !handle->canRead) return STATUS_ACCESS_DENIED;
  IoStatusBlock->Information = 0;
  ssize_t done;
  if (ByteOffset && ByteOffset->QuadPart >= 0) {
    done = write ? ::pwrite(handle->fd, Buffer, Length, ByteOffset->QuadPart)
                 : ::pread(handle->fd, Buffer, Length, ByteOffset->QuadPart);
  } else {
    done = write ? ::write(handle->fd, Buffer, Length) : ::read(handle->fd, Buffer, Length);
  }
  if (done < 0) return IoStatusBlock->Status = STATUS_UNSUCCESSFUL;
  if (!write && done == 0 && Length > 0) return IoStatusBlock->Status = STATUS_END_OF_FILE;
  IoStatusBlock->Information = ULONG_PTR(done);
  return IoStatusBlock->Status = STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG) {
  return FileIo(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, false);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE, PIO_APC_ROUTINE, PVOID,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG) {
  return FileIo(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, true);
}

NTSTATUS ZwClose(HANDLE Handle) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  HostHandle* handle = FindHandle(state, Handle);
  if (!handle) return STATUS_INVALID_HANDLE;
  if (handle->fd >= 0) ::close(handle->fd);
  if (handle->kind == HostHandle::kKey && handle->lockFd >= 0) {
    WriteKey(state, handle);  // a failure is kept in the registry error
    ::close(handle->lockFd);
  }
  state.handles.erase(handle);
  return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK, PHANDLE DevInstRegKey) {
  if (!DeviceObject || !DevInstRegKey) return STATUS_INVALID_PARAMETER;
  *DevInstRegKey = nullptr;
  if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE && DevInstKeyType != PLUGPLAY_REGKEY_DRIVER)
    return STATUS_INVALID_PARAMETER;
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.folder.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  auto named = state.deviceNames.find(DeviceObject);
  auto handle = std::make_unique<HostHandle>();
  handle->kind = HostHandle::kKey;
  handle->keyFile =
      KeyFile(state, named == state.deviceNames.end() ? "device" : named->second, DevInstKeyType);
  *DevInstRegKey = AddHandle(state, std::move(handle));
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  if (!ResultLength || (Length && !KeyValueInformation)) return STATUS_INVALID_PARAMETER;
  if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  std::string name;
  if (!ToAscii(ValueName, &name)) return STATUS_OBJECT_NAME_INVALID;
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  HostHandle* handle = FindHandle(state, KeyHandle);
  if (!handle || handle->kind != HostHandle::kKey) return STATUS_INVALID_HANDLE;
  for (const StoredValue& v : handle->lockFd >= 0 ? handle->values : LoadKey(handle->keyFile)) {
    if (!SameText(v.name, name)) continue;
    constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = kHeader + ULONG(v.data.size());
    *ResultLength = needed;
    if (Length < kHeader) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = v.type;
    info->DataLength = ULONG(v.data.size());
    if (Length < needed) return STATUS_BUFFER_OVERFLOW;
    if (!v.data.empty()) std::memcpy(info->Data, v.data.data(), v.data.size());
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                       PVOID Data, ULONG DataSize) {
  if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
  std::string name;
  if (!ToAscii(ValueName, &name) || name.empty() || name.find('\t') != std::string::npos ||
      name.find('\n') != std::string::npos)
    return STATUS_OBJECT_NAME_INVALID;
  FileState& state = State();
  std::unique_lock<std::mutex> hold(state.lock);
  HostHandle* handle = FindHandle(state, KeyHandle);
  if (!handle || handle->kind != HostHandle::kKey) return STATUS_INVALID_HANDLE;
  if (handle->lockFd < 0) {
    NTSTATUS status = LockKey(hold, state, handle, KeyHandle);
    if (!NT_SUCCESS(status)) return status;
  }
  const auto* bytes = static_cast<const uint8_t*>(Data);
  StoredValue value{name, Type, std::vector<uint8_t>(bytes, bytes + DataSize), std::string()};
  bool replaced = false;
  for (StoredValue& v : handle->values) {
    if (SameText(v.name, name)) {
      v = value;
      replaced = true;
    }
  }
  if (!replaced) handle->values.push_back(value);
  handle->dirty = true;
  return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
  FileState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  HostHandle* handle = FindHandle(state, KeyHandle);
  if (!handle || handle->kind != HostHandle::kKey) return STATUS_INVALID_HANDLE;
  return WriteKey(state, handle);
}
