// The platform on Windows: a thin layer over the system's own services,
// called with the arguments the library's callers rely on.
//
// Profile files are read and written by the system's private profile
// services, so the file is exactly what every other Windows program that
// shares it reads and writes. The library's own guard stays above them:
// a section, key or value holding CR, LF or NUL is refused before the
// service sees it, because the service would write it raw and so inject
// lines into the registry.
//
// The sign-in lock is the file system's share mode. The lock file is
// opened for reading with no sharing at all, so while it is open every
// other open of it fails with a sharing violation: in this process, in any
// other process on this machine, and on other machines that reach the
// file through a Windows (SMB) share, where the server enforces share
// modes. The lock is dropped when the handle is closed or the process
// ends. Where it does not hold: on a network file system whose server does
// not keep share modes (an NFS export, a share served without them), and
// under Wine between a Windows process and a native program, because Wine
// keeps share modes in its own server, per prefix, and not in the host's
// file system. Creating or truncating the lock file asks for shared read
// and write access, so it too fails while the file is held, and the holder
// keeps it as it is.
//
// Updates of a registry file are serialized between processes by a named
// mutex whose name is the file's full path: a process that dies holding it
// releases it. It is a kernel object of this machine, in the global
// namespace so that every session of a terminal server shares it, and with
// no access list at all (a null DACL) so that any user may open and wait on
// it. It does not reach
// other machines that update the same file through a share: there the
// updates are not serialized. A byte-range lock on the file itself would
// reach them, but it needs an open handle on the file throughout, and the
// profile service must then be trusted to share the file it rewrites.
// Readers take no lock and never wait.
//
// LZOpenFileA is not used for these opens: where an open fails it retries
// a "compressed" name with the last character replaced by '_' and can
// thus create or open "IKIVO.SM_" beside a held lock, which would let a
// second process sign in. CreateFileA with the same share modes has no
// such fallback.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <map>
#include <vector>

#include "platform/platform.h"
#include "platform/profile.h"

namespace userprofile {
namespace {

// The buffer the module path is fetched into: a result that fills it was
// cut, and a cut path would name another file.
constexpr DWORD kModulePathBuffer = kMaxPath + 1;

constexpr DWORD kNoAttributes = INVALID_FILE_ATTRIBUTES;

// A single write waits this long for another process's update.
constexpr DWORD kSingleWriteTimeoutMs = 10000;

DWORD Attributes(const std::string& path) {
  return ::GetFileAttributesA(path.c_str());
}

// The name of the update mutex of a file: one name for every spelling of
// the same path on this machine (relative or full, either case, '/' or
// '\\'). A backslash would name an object directory, so none is kept.
std::string UpdateMutexName(const std::string& file) {
  std::string full(MAX_PATH, '\0');
  DWORD n = ::GetFullPathNameA(file.c_str(), MAX_PATH, full.data(), nullptr);
  if (n == 0 || n >= MAX_PATH) {
    full = file;
  } else {
    full.resize(n);
  }
  std::string name = "Global\\userprofile.update:";
  for (char c : full) {
    if (c == '\\') c = '/';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    name += c;
  }
  return name;
}

// A mutex that every user of the machine may open and wait on: its
// security descriptor has no access list.
HANDLE OpenUpdateMutex(const std::string& name) {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  if (::InitializeSecurityDescriptor(&descriptor,
                                     SECURITY_DESCRIPTOR_REVISION) &&
      ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
    attributes.lpSecurityDescriptor = &descriptor;
  }
  HANDLE mutex = ::CreateMutexA(&attributes, FALSE, name.c_str());
  if (mutex == nullptr) {
    mutex = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  }
  return mutex;
}

class WindowsPlatform final : public Platform {
 public:
  std::string ReadProfileString(std::string_view section, std::string_view key,
                                std::size_t size,
                                const std::string& file) override {
    if (size == 0) return {};
    const std::string s(section);
    const std::string k(key);
    const DWORD capacity =
        size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    std::vector<char> buffer(capacity, '\0');
    DWORD n = ::GetPrivateProfileStringA(s.c_str(), k.c_str(), "",
                                         buffer.data(), capacity, file.c_str());
    if (n >= capacity) n = capacity - 1;
    return std::string(buffer.data(), n);
  }

  std::uint32_t ReadProfileInt(std::string_view section, std::string_view key,
                               int fallback, const std::string& file) override {
    const std::string s(section);
    const std::string k(key);
    return ::GetPrivateProfileIntA(s.c_str(), k.c_str(), fallback, file.c_str());
  }

  bool WriteProfileString(std::string_view section, std::string_view key,
                          std::string_view value,
                          const std::string& file) override {
    if (profile::BreaksLine(section) || profile::BreaksLine(key) ||
        profile::BreaksLine(value)) {
      return false;
    }
    const std::string s(section);
    const std::string k(key);
    const std::string v(value);
    // The service reads, edits and rewrites the file: under the update
    // lock, no other process's update is lost in between.
    if (!LockForUpdate(file, kSingleWriteTimeoutMs)) return false;
    bool ok = ::WritePrivateProfileStringA(s.c_str(), k.c_str(), v.c_str(),
                                           file.c_str()) != 0;
    UnlockForUpdate(file);
    return ok;
  }

  bool LockForUpdate(const std::string& file, unsigned timeout_ms) override {
    auto held = updates_.find(file);
    if (held != updates_.end()) {
      ++held->second.depth;
      return true;
    }
    // The file is created (empty) if missing, as it is locked.
    HANDLE handle = ::CreateFileA(file.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE |
                                      FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(handle);
    HANDLE mutex = OpenUpdateMutex(UpdateMutexName(file));
    if (mutex == nullptr) return false;
    // An abandoned mutex was held by a process that ended: it is ours now.
    DWORD waited = ::WaitForSingleObject(mutex, timeout_ms);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      ::CloseHandle(mutex);
      return false;
    }
    updates_.emplace(file, Update{mutex, 1});
    return true;
  }

  void UnlockForUpdate(const std::string& file) override {
    auto held = updates_.find(file);
    if (held == updates_.end() || --held->second.depth > 0) return;
    ::ReleaseMutex(held->second.mutex);
    ::CloseHandle(held->second.mutex);
    updates_.erase(held);
  }

  std::optional<std::string> ModuleFileName(const void* module) override {
    char buffer[kModulePathBuffer];
    HMODULE handle = static_cast<HMODULE>(const_cast<void*>(module));
    DWORD n = ::GetModuleFileNameA(handle, buffer, kModulePathBuffer);
    if (n == 0 || n >= kModulePathBuffer) return std::nullopt;
    return std::string(buffer, n);
  }

  bool IsEnterableDirectory(const std::string& path) override {
    // Asks for the attributes only: the current directory, which other
    // threads of the host may rely on, never moves. Wildcards in the path
    // are an invalid name here and match nothing.
    DWORD attributes = Attributes(path);
    return attributes != kNoAttributes &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  bool MakeDirectory(const std::string& path) override {
    return ::CreateDirectoryA(path.c_str(), nullptr) != 0;
  }

  bool IsNormalFile(const std::string& path) override {
    // Reading attributes is not an open of the file's data, so a lock file
    // held by a signed-in user still counts as present.
    DWORD attributes = Attributes(path);
    return attributes != kNoAttributes &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ==
               0;
  }

  CreateOutcome CreateFileIfAbsent(const std::string& path) override {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      return CreateOutcome::kCreated;
    }
    DWORD error = ::GetLastError();
    return (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
               ? CreateOutcome::kExisted
               : CreateOutcome::kFailed;
  }

  bool CreateEmptyFile(const std::string& path) override {
    // The share mode of a compatible open: refused while a holder denies
    // sharing, so a held lock file is neither truncated nor replaced.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
  }

  LockHandle OpenExclusive(const std::string& path) override {
    // No sharing: fails while any other open of the file exists, and makes
    // every later open fail until this handle is closed. The handle is not
    // inherited by child processes.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return kFailedLock;
    return reinterpret_cast<LockHandle>(file);
  }

  void CloseExclusive(LockHandle handle) override {
    if (handle != kNoLock && handle != kFailedLock) {
      ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
  }

  std::optional<bool> IsHeldExclusively(const std::string& path) override {
    // Only an open that asks for the file's data meets the holder's share
    // mode, and while it is open it would make a concurrent sign-in fail
    // just the same. So only the answers that need no open are given.
    DWORD attributes = Attributes(path);
    if (attributes == kNoAttributes) {
      DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return false;
      }
      return std::nullopt;
    }
    // Not a normal file: nobody can sign in with it.
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
      return false;
    }
    return std::nullopt;
  }

  unsigned SetErrorMode(unsigned mode) override {
    return ::SetErrorMode(mode);
  }

  bool NamesEqual(const char* a, const char* b) override {
    return ::lstrcmpiA(a ? a : "", b ? b : "") == 0;
  }

  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned style) override {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
  }

 private:
  struct Update {
    HANDLE mutex;  // owned by the thread that took it
    int depth;     // nested LockForUpdate calls of this process
  };
  std::map<std::string, Update> updates_;
};

}  // namespace

Platform& NativePlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace userprofile
