// The platform on Windows. Profile files are read and written above this
// layer by the library's engine, byte for byte as the system's profile
// services do (docs/windows.md). A new file is flushed before a
// write-through move puts it in place. The lock files are lockfile_win.cpp's.
#include "platform/win.h"

#include <winternl.h>

#include <algorithm>

#include "platform/names.h"

// The one service that gives a file's change time without opening it
// (exported by ntdll; the SDK's headers leave it to the driver kit's).
extern "C" NTSTATUS NTAPI NtQueryFullAttributesFile(
    POBJECT_ATTRIBUTES attributes, PFILE_NETWORK_OPEN_INFORMATION information);

namespace userprofile {
namespace {

// The directory part of a path ("" for a bare name), with its separator.
std::string DirectoryPart(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

namespace win {

UINT FileApiCodePage() { return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

std::wstring WideOf(std::string_view text, UINT code_page) {
  const int size = static_cast<int>(text.size());
  const int n = size == 0 ? 0
                          : ::MultiByteToWideChar(code_page, 0, text.data(), size,
                                                  nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) ::MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), n);
  return wide;
}

Status WindowsError(std::string_view what, const std::string& path, DWORD error) {
  char* message = nullptr;
  ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<char*>(&message), 0, nullptr);
  std::string reason = message ? message : "error " + std::to_string(error);
  if (message) ::LocalFree(message);
  reason.erase(reason.find_last_not_of("\r\n. ") + 1);
  std::string text = std::string(what) + " " + path + ": " + reason;
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return {Failure::kPermission, std::move(text)};
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return {Failure::kSignedInElsewhere, std::move(text)};
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return {Failure::kExists, std::move(text)};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return {Failure::kNotFound, std::move(text)};
    default:
      return {Failure::kIo, std::move(text)};
  }
}

bool ThroughLink(const std::string& path) {
  if (IsLink(Attributes(path))) return true;
  std::string dir = DirectoryPart(path);
  while (dir.size() > 1 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  return !dir.empty() && IsLink(Attributes(dir));
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace win

namespace {

using namespace win;

// Makes a new directory entry durable before anything names it (best
// effort: not every file system flushes directories).
void FlushDirectory(const std::string& path) {
  HANDLE dir = ::CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (dir == INVALID_HANDLE_VALUE) return;
  ::FlushFileBuffers(dir);
  ::CloseHandle(dir);
}

// File times: 100-ns ticks since 1601, as nanoseconds.
std::uint64_t Nanoseconds(const LARGE_INTEGER& t) {
  return static_cast<std::uint64_t>(t.QuadPart) * 100;
}

std::uint64_t Nanoseconds(const FILETIME& t) {
  return ((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 100;
}

// Now, by the clock file times are taken from.
std::uint64_t FileClockNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return Nanoseconds(now);
}

// The attributes of what `path` names, links followed, with one query that
// opens nothing. The change time moves with every change of the file's
// data or metadata, a rename into its place included (on NTFS; under Wine
// it is the host's ctime), and the usual tools cannot set it back as they
// can the write time.
std::optional<FILE_NETWORK_OPEN_INFORMATION> FullAttributes(const std::string& path) {
  if (path.empty() || path.size() > kMaxPath) return std::nullopt;
  // In UTF-16 as the ANSI file services would take it.
  const std::wstring wide = WideOf(path, FileApiCodePage());
  // The service answers a BOOLEAN (one byte) where the header declares
  // a BOOL: only the low byte is its answer.
  UNICODE_STRING nt_path;
  if (wide.empty() || static_cast<BOOLEAN>(::RtlDosPathNameToNtPathName_U(
                          wide.c_str(), &nt_path, nullptr, nullptr)) == FALSE) {
    return std::nullopt;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &nt_path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  FILE_NETWORK_OPEN_INFORMATION info;
  const NTSTATUS status = ::NtQueryFullAttributesFile(&attributes, &info);
  ::RtlFreeUnicodeString(&nt_path);
  if (!NT_SUCCESS(status)) return std::nullopt;
  return info;
}

std::wstring WideOfText(std::string_view text) {
  return WideOf(text, IsUtf8(text) ? CP_UTF8 : CP_ACP);
}

// The ANSI code page's bytes of `wide`; nullopt where a character has none
// (no best fit: "\u0141" never becomes "L", which would name another
// entry).
std::optional<std::string> AnsiOf(const std::wstring& wide, UINT code_page = CP_ACP) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  BOOL defaulted = FALSE;
  const int n = ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                                      nullptr, 0, nullptr, &defaulted);
  if (n <= 0 || defaulted) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), size, out.data(), n,
                        nullptr, &defaulted);
  if (defaulted) return std::nullopt;
  return out;
}

// The entries a search for `pattern` finds but "." and ".."; nullopt,
// the error left for GetLastError, where the search fails.
std::optional<std::vector<WIN32_FIND_DATAW>> Find(const std::wstring& pattern) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::nullopt;
  std::vector<WIN32_FIND_DATAW> entries;
  do {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") entries.push_back(found);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return entries;
}

// Opens `path` itself, a link as the link, for `access`: never what a link
// there leads to (OpenedAsNamed).
Status OpenAsItself(const std::wstring& path, DWORD access, DWORD share,
                    const std::string& shown, HANDLE& file) {
  file = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError("cannot open", shown);
  if (OpenedAsNamed(file, path)) return {};
  ::CloseHandle(file);
  return {Failure::kDamaged, shown + " leads elsewhere (a link); it is left in place"};
}

// Deletes the file, link or empty directory `path` (shown as `shown`)
// through an open of the entry itself, never by its name alone.
Status DeleteItself(const std::wstring& path, bool directory, const std::string& shown) {
  HANDLE file = INVALID_HANDLE_VALUE;
  Status status = OpenAsItself(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, shown,
                               file);
  if (!status) return status;
  if (!directory) {  // a read-only file refuses deletion
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
    status = LastError("cannot remove", shown);
  }
  ::CloseHandle(file);
  return status;
}

Status EmptyDirectory(const std::wstring& dir, const std::string& shown);

// Removes the entry `path` (shown as `shown`), a directory with everything
// in it, a link as a name, never entered.
Status RemoveEntry(const std::wstring& path, DWORD attributes, const std::string& shown) {
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory && !IsLink(attributes)) {
    // Held, so that nobody renames it, while it is emptied through its name.
    HANDLE held = INVALID_HANDLE_VALUE;
    Status status = OpenAsItself(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 shown, held);
    if (!status) return status;
    status = EmptyDirectory(path, shown);
    ::CloseHandle(held);
    if (!status) return status;
  }
  return DeleteItself(path, directory, shown);
}

// Removes everything in `dir` (shown as `shown`); the first failure. Names
// are taken in UTF-16, as the system keeps them: an ANSI listing gives a
// name the code page lacks as its best fit ("\u0141inks" as "Links"), which
// may name another entry, even a link out of the tree.
Status EmptyDirectory(const std::wstring& dir, const std::string& shown) {
  const auto entries = Find(dir + L"\\*");
  if (!entries) return LastError("cannot read the directory", shown);
  Status first;
  for (const WIN32_FIND_DATAW& entry : *entries) {
    const Status status =
        RemoveEntry(dir + L"\\" + entry.cFileName, entry.dwFileAttributes,
                    shown + "\\" + AnsiOf(entry.cFileName).value_or("?"));
    if (first && !status) first = status;
  }
  return first;
}

class WindowsPlatform final : public LockFiles {
 public:
  Status ReadFile(const std::string& path, std::string& content) override {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError("cannot read", path);
    LARGE_INTEGER size{};
    Status status;
    if (!::GetFileSizeEx(file, &size)) {
      status = LastError("cannot examine", path);
    } else {
      content.clear();
      content.reserve(static_cast<std::size_t>(size.QuadPart));
      char buffer[65536];
      DWORD n = 0;
      // Part of a file is never taken for the whole.
      for (;;) {
        if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
          status = LastError("cannot read", path);
          break;
        }
        if (n == 0) break;
        content.append(buffer, n);
      }
    }
    ::CloseHandle(file);
    return status;
  }

  FileLook Look(const std::string& path, bool follow_links) override {
    FileLook look;
    look.seen = FileClockNow();
    if (follow_links) {
      if (const auto info = FullAttributes(path)) {
        look.kind = (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                        ? FileKind::kDirectory
                        : FileKind::kFile;
        // The creation time stands for which file has the name.
        look.version = {0, Nanoseconds(info->CreationTime),
                         static_cast<std::uint64_t>(info->EndOfFile.QuadPart),
                         Nanoseconds(info->LastWriteTime), Nanoseconds(info->ChangeTime)};
      }
      return look;
    }
    // Reading attributes is not an open of the file's data, so a lock file
    // held by a signed-in user is still found.
    const QuietErrors quiet;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return look;
    const DWORD attributes = data.dwFileAttributes;
    look.kind = IsLink(attributes)                                ? FileKind::kLink
                : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::kDirectory
                : (attributes & FILE_ATTRIBUTE_DEVICE) != 0    ? FileKind::kOther
                                                                  : FileKind::kFile;
    // No change time without an open: the write time stands in.
    const std::uint64_t written = Nanoseconds(data.ftLastWriteTime);
    look.version = {0, Nanoseconds(data.ftCreationTime),
                    (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                    written, written};
    return look;
  }

  Status WriteNewFile(const std::string& path, std::string_view bytes,
                      const std::string& model) override {
    static_cast<void>(model);  // its security is the directory's, as a copy's
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError("cannot create", path);
    const bool ok = WriteAll(file, bytes) && ::FlushFileBuffers(file);
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (ok) return {};
    ::DeleteFileA(path.c_str());
    return WindowsError("cannot write", path, error);
  }

  Status ReplaceFile(const std::string& from, const std::string& to) override {
    // A reader that has `to` open without sharing its deletion makes the
    // move fail for a moment: retried briefly.
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (::MoveFileExA(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {};
      }
      const DWORD error = ::GetLastError();
      if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
          error != ERROR_LOCK_VIOLATION) {
        break;
      }
      ::Sleep(attempt < 10 ? 1 : 20);
    }
    Status moved = LastError("cannot move " + from + " over", to);
    // Another's open of the file is no sign-in: only an input/output failure.
    return moved.kind() == Failure::kSignedInElsewhere ? Status(Failure::kIo, moved.text())
                                                       : moved;
  }

  Status RemoveName(const std::string& path) override {
    const QuietErrors quiet;
    const DWORD attributes = Attributes(path);
    if (attributes == kNoAttributes) return LastError("cannot remove", path);
    return DeleteItself(WideOf(path, FileApiCodePage()),
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, path);
  }

  // Each name as the ANSI services reach it: its own, else its short name;
  // one with neither, which nothing given to this layer can name, is left out.
  std::vector<std::string> ListDirectory(const std::string& dir) override {
    std::vector<std::string> names;
    const bool ends = !dir.empty() && (dir.back() == '\\' || dir.back() == '/');
    const UINT code_page = FileApiCodePage();
    const auto entries = Find(WideOf(dir, code_page) + (ends ? L"*" : L"\\*"));
    if (!entries) return names;
    for (const WIN32_FIND_DATAW& entry : *entries) {
      std::optional<std::string> ansi = AnsiOf(entry.cFileName, code_page);
      if (!ansi && entry.cAlternateFileName[0] != L'\0') {
        ansi = AnsiOf(entry.cAlternateFileName, code_page);
      }
      if (ansi) names.push_back(std::move(*ansi));
    }
    return names;
  }

  Status RenameNew(const std::string& from, const std::string& to) override {
    // Without MOVEFILE_REPLACE_EXISTING: an existing `to` stays.
    const QuietErrors quiet;
    if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
      return LastError("cannot rename " + from + " to", to);
    }
    return {};
  }

  Status RemoveTree(const std::string& dir) override {
    const QuietErrors quiet;
    const DWORD attributes = Attributes(dir);
    if (attributes == kNoAttributes) return LastError("cannot remove", dir);
    if (IsLink(attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return {Failure::kDamaged, dir + " is not a directory but a link or a file"};
    }
    return RemoveEntry(WideOf(dir, FileApiCodePage()), attributes, dir);
  }

  bool IsEnterableDirectory(const std::string& path) override {
    // The attributes only: the current directory, which other threads of
    // the host may rely on, never moves. Wildcards match nothing.
    const DWORD attributes = Attributes(path);
    return attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  Status MakeDirectory(const std::string& path) override {
    if (!::CreateDirectoryA(path.c_str(), nullptr)) {
      return LastError("cannot create the directory", path);
    }
    std::string parent = DirectoryPart(path);
    if (parent.size() > 1 && parent[parent.size() - 2] != ':') parent.pop_back();
    FlushDirectory(parent.empty() ? "." : parent);
    return {};
  }

  std::optional<std::string> ModuleFileName(const void* module) override {
    // A result that fills the buffer was cut: it would name another file.
    char buffer[kMaxPath + 1];
    HMODULE handle = static_cast<HMODULE>(const_cast<void*>(module));
    const DWORD n = ::GetModuleFileNameA(handle, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return std::nullopt;
    return std::string(buffer, n);
  }

  void ShowMessageBox(const std::string& text, const std::string& caption,
                      unsigned style) override {
    ::MessageBoxA(nullptr, text.c_str(), caption.c_str(), style);
  }
};

}  // namespace

unsigned long ProcessId() { return ::GetCurrentProcessId(); }

// A registry text is UTF-8 where it is UTF-8 (a POSIX host wrote it), else
// in this host's ANSI code page (names.h): names compare by their characters.
int Platform::CompareNames(const char* a, const char* b) {
  a = a ? a : "";
  b = b ? b : "";
  // Names in the ANSI code page compare as they always have; lstrcmpiA is
  // lstrcmpiW of their characters, so the order stays one order.
  if (!IsMultibyteUtf8(a) && !IsMultibyteUtf8(b)) return ::lstrcmpiA(a, b);
  return ::lstrcmpiW(WideOfText(a).c_str(), WideOfText(b).c_str());
}

std::optional<std::string> FileNameOfText(const std::string& dir,
                                          std::string_view text) {
  if (!IsMultibyteUtf8(text)) return std::string(text);
  const std::wstring wide = WideOfText(text);
  if (std::optional<std::string> ansi = AnsiOf(wide)) return ansi;
  // A character the code page lacks: the entry's short name, which the
  // ANSI services reach, where the entry exists and the system gives one.
  const std::wstring full = WideOf(dir, CP_ACP) + L"\\" + wide;
  const DWORD n = ::GetShortPathNameW(full.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring path(n, L'\0');
  const DWORD got = ::GetShortPathNameW(full.c_str(), path.data(), n);
  if (got == 0 || got >= n) return std::nullopt;
  path.resize(got);
  const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
  if (name == wide) return std::nullopt;
  return AnsiOf(name);
}

Platform& NativePlatform() {
  static WindowsPlatform platform;
  return platform;
}

}  // namespace userprofile
