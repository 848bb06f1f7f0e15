// Real child processes for the tests of the Windows build: the Child of
// process.h on CreateProcess and anonymous pipes.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "support/process.h"

namespace testing_support {
namespace {

// One argument quoted as the C runtime's command-line parser reads it
// back: backslashes are literal except before a quote.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
    return arg;
  }
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

// The system's text for an error code, with its number: "5 (Access is
// denied.)".
std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = n != 0 && text != nullptr ? std::string(text, n) : "";
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && std::isspace(static_cast<unsigned char>(
                                 message.back()))) {
    message.pop_back();
  }
  return std::to_string(error) + " (" +
         (message.empty() ? "no text for it" : message) + ")";
}

// A pipe whose ends are both uninheritable; the child's end is made
// inheritable only for the CreateProcess that passes it on, and is named
// there in an explicit handle list.
void Pipe(HANDLE& parent, HANDLE& child, bool child_reads) {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
    throw std::runtime_error("CreatePipe: error " +
                             ErrorText(::GetLastError()));
  }
  parent = child_reads ? write_end : read_end;
  child = child_reads ? read_end : write_end;
  ::SetHandleInformation(child, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
}

// Appends whatever the pipe holds now, without waiting. False once the
// writing side has gone and the pipe is empty.
bool Drain(HANDLE from, std::string& to) {
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(from, nullptr, 0, nullptr, &available, nullptr)) {
      return false;
    }
    if (available == 0) return true;
    std::string chunk(available, '\0');
    DWORD n = 0;
    if (!::ReadFile(from, chunk.data(), available, &n, nullptr)) return false;
    to.append(chunk.data(), n);
  }
}

// The child's C runtime writes text mode: CRLF ends its lines.
std::string WithoutCarriageReturns(const std::string& text) {
  std::string clean;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    clean += text[i];
  }
  return clean;
}

}  // namespace

// The Windows side of Child: the process and the parent's pipe ends. Pipes
// are read by polling (PeekNamedPipe) rather than by threads blocked in
// ReadFile: a reader that waits for end of file never gets it while any
// other process (Wine's desktop, a grandchild) holds a copy of the
// writing end, so output is collected until the child exits and no
// longer.
struct WinChild {
  PROCESS_INFORMATION process{};
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
  std::string out_buf;
  std::string err_buf;
  bool out_open = true;
  bool err_open = true;

  void Poll() {
    if (out_open) out_open = Drain(out, out_buf);
    if (err_open) err_open = Drain(err, err_buf);
  }
  bool Exited() const {
    return ::WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
  }
};

Child::Child(const std::vector<std::string>& argv) : program_(argv.at(0)) {
  auto* c = new WinChild;
  HANDLE child_in = nullptr;
  HANDLE child_out = nullptr;
  HANDLE child_err = nullptr;
  Pipe(c->in, child_in, true);
  Pipe(c->out, child_out, false);
  Pipe(c->err, child_err, false);
  std::string command;
  for (const std::string& a : argv) {
    if (!command.empty()) command += ' ';
    command += Quoted(a);
  }
  // Only the three pipe ends go to the child, whatever else this process
  // holds inheritable (another test's child's pipes, say).
  HANDLE handles[3] = {child_in, child_out, child_err};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::string attributes(size, '\0');
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  bool listed = ::InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                            handles, sizeof handles, nullptr,
                                            nullptr);
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_in;
  startup.StartupInfo.hStdOutput = child_out;
  startup.StartupInfo.hStdError = child_err;
  startup.lpAttributeList = listed ? list : nullptr;
  // Wine answers ERROR_INTERNAL_ERROR when the new process ended before it
  // reported itself started, that is before any of its own code ran: on a
  // loaded machine about one start in thousands. Nothing of the program
  // under test ran, so starting it again hides no fault of it.
  BOOL started = FALSE;
  DWORD start_error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    started = ::CreateProcessA(
        argv.at(0).c_str(), command.data(), nullptr, nullptr, TRUE,
        listed ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
        &startup.StartupInfo, &c->process);
    start_error = started ? 0 : ::GetLastError();
    if (start_error != ERROR_INTERNAL_ERROR) break;
  }
  if (listed) ::DeleteProcThreadAttributeList(list);
  ::CloseHandle(child_in);
  ::CloseHandle(child_out);
  ::CloseHandle(child_err);
  if (!started) {
    ::CloseHandle(c->in);
    ::CloseHandle(c->out);
    ::CloseHandle(c->err);
    delete c;
    throw std::runtime_error("CreateProcess " + argv.at(0) + ": error " +
                             ErrorText(start_error));
  }
  pid_ = static_cast<int>(c->process.dwProcessId);
  win_ = c;
}

Child::~Child() {
  if (!status_) {
    Kill(9);
    Wait();
  }
  WinChild* c = win_;
  if (c->in) ::CloseHandle(c->in);
  ::CloseHandle(c->out);
  ::CloseHandle(c->err);
  ::CloseHandle(c->process.hProcess);
  ::CloseHandle(c->process.hThread);
  delete c;
}

void Child::Pump(int) {}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
  WinChild* c = win_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    c->Poll();
    std::size_t nl = c->out_buf.find('\n');
    if (nl != std::string::npos) {
      std::string text = c->out_buf.substr(0, nl);
      c->out_buf.erase(0, nl + 1);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      return text;
    }
    // Once the child has gone, what it wrote is all in the pipe.
    if (status_ || !c->out_open || c->Exited()) {
      c->Poll();
      if (c->out_buf.find('\n') != std::string::npos) continue;
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    ::Sleep(2);
  }
}

void Child::WriteLine(const std::string& line) {
  WinChild* c = win_;
  if (c->in == nullptr) return;
  std::string data = line + "\n";
  DWORD written = 0;
  // The child may have gone; its exit status tells the test.
  ::WriteFile(c->in, data.data(), static_cast<DWORD>(data.size()), &written,
              nullptr);
}

void Child::CloseStdin() {
  WinChild* c = win_;
  if (c->in) ::CloseHandle(c->in);
  c->in = nullptr;
}

int Child::Wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  CloseStdin();
  WinChild* c = win_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool hung = false;
  // Polls the pipes while waiting, so that a child writing much never
  // blocks on a full pipe.
  while (::WaitForSingleObject(c->process.hProcess, 10) == WAIT_TIMEOUT) {
    c->Poll();
    if (std::chrono::steady_clock::now() >= deadline) {
      ::TerminateProcess(c->process.hProcess, kTimedOut);
      ::WaitForSingleObject(c->process.hProcess, INFINITE);
      hung = true;
      break;
    }
  }
  c->Poll();
  DWORD code = 0;
  ::GetExitCodeProcess(c->process.hProcess, &code);
  if (hung) ReportHung(timeout);
  err_ = WithoutCarriageReturns(c->err_buf);
  status_ = hung ? kTimedOut : static_cast<int>(code);
  return *status_;
}

void Child::ReportHung(std::chrono::milliseconds timeout) const {
  std::fprintf(stderr, "child %s (pid %d) still ran after %lld ms: killed\n",
               program_.c_str(), pid_, static_cast<long long>(timeout.count()));
}

void Child::Kill(int signal) {
  WinChild* c = win_;
  if (!status_) {
    ::TerminateProcess(c->process.hProcess, static_cast<UINT>(128 + signal));
  }
}

std::string ProgramDir() {
  std::string path(32768, '\0');
  DWORD n = ::GetModuleFileNameA(nullptr, path.data(),
                                 static_cast<DWORD>(path.size()));
  path.resize(n);
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr &&
         ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

RunResult Run(const std::vector<std::string>& argv, const std::string& input,
              std::chrono::milliseconds timeout) {
  Child child(argv);
  if (!input.empty()) child.WriteLine(input);
  RunResult result;
  result.status = child.Wait(timeout);
  while (std::optional<std::string> line = child.ReadLine()) {
    result.out += *line + "\n";
  }
  result.err = child.err();
  return result;
}

}  // namespace testing_support
