// Real child processes for the tests of the Windows build: the Child of
// process.h on CreateProcess and anonymous pipes. Pipes cannot be polled,
// so one thread per output pipe collects what the child writes.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

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

void Pipe(HANDLE& parent, HANDLE& child, bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) {
    throw std::runtime_error("CreatePipe");
  }
  parent = child_reads ? write_end : read_end;
  child = child_reads ? read_end : write_end;
  ::SetHandleInformation(parent, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

// The Windows side of Child: the process, the parent's pipe ends, and the
// collector threads with what they have read so far.
struct WinChild {
  PROCESS_INFORMATION process{};
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  HANDLE err = nullptr;
  std::mutex mu;
  std::condition_variable cv;
  std::string out_buf;
  std::string err_buf;
  bool out_eof = false;
  bool err_eof = false;
  std::thread out_thread;
  std::thread err_thread;
};

namespace {

void Collect(WinChild* c, HANDLE from, std::string WinChild::*buffer,
             bool WinChild::*eof) {
  char chunk[4096];
  DWORD n = 0;
  while (::ReadFile(from, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    std::lock_guard<std::mutex> lock(c->mu);
    (c->*buffer).append(chunk, n);
    c->cv.notify_all();
  }
  std::lock_guard<std::mutex> lock(c->mu);
  c->*eof = true;
  c->cv.notify_all();
}

}  // namespace

Child::Child(const std::vector<std::string>& argv) {
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
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = child_err;
  BOOL started = ::CreateProcessA(argv.at(0).c_str(), command.data(), nullptr,
                                  nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &c->process);
  ::CloseHandle(child_in);
  ::CloseHandle(child_out);
  ::CloseHandle(child_err);
  if (!started) {
    ::CloseHandle(c->in);
    ::CloseHandle(c->out);
    ::CloseHandle(c->err);
    delete c;
    throw std::runtime_error("CreateProcess " + argv.at(0));
  }
  pid_ = static_cast<int>(c->process.dwProcessId);
  c->out_thread = std::thread(Collect, c, c->out, &WinChild::out_buf,
                              &WinChild::out_eof);
  c->err_thread = std::thread(Collect, c, c->err, &WinChild::err_buf,
                              &WinChild::err_eof);
  win_ = c;
}

Child::~Child() {
  if (!status_) {
    Kill(9);
    Wait();
  }
  WinChild* c = win_;
  if (c->in) ::CloseHandle(c->in);
  if (c->out_thread.joinable()) c->out_thread.join();
  if (c->err_thread.joinable()) c->err_thread.join();
  ::CloseHandle(c->out);
  ::CloseHandle(c->err);
  ::CloseHandle(c->process.hProcess);
  ::CloseHandle(c->process.hThread);
  delete c;
}

void Child::Pump(int) {}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
  WinChild* c = win_;
  std::unique_lock<std::mutex> lock(c->mu);
  c->cv.wait_for(lock, timeout, [&] {
    return c->out_buf.find('\n') != std::string::npos || c->out_eof;
  });
  std::size_t nl = c->out_buf.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  std::string text = c->out_buf.substr(0, nl);
  c->out_buf.erase(0, nl + 1);
  // The child's C runtime writes text mode: CRLF ends its lines.
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
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

int Child::Wait() {
  if (status_) return *status_;
  CloseStdin();
  WinChild* c = win_;
  ::WaitForSingleObject(c->process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(c->process.hProcess, &code);
  if (c->out_thread.joinable()) c->out_thread.join();
  if (c->err_thread.joinable()) c->err_thread.join();
  {
    std::lock_guard<std::mutex> lock(c->mu);
    err_ = c->err_buf;
    // Standard error, like standard output, comes in text mode.
    std::string clean;
    for (std::size_t i = 0; i < err_.size(); ++i) {
      if (err_[i] == '\r' && i + 1 < err_.size() && err_[i + 1] == '\n') continue;
      clean += err_[i];
    }
    err_ = clean;
  }
  status_ = static_cast<int>(code);
  return *status_;
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

RunResult Run(const std::vector<std::string>& argv, const std::string& input) {
  Child child(argv);
  if (!input.empty()) child.WriteLine(input);
  RunResult result;
  result.status = child.Wait();
  while (std::optional<std::string> line = child.ReadLine()) {
    result.out += *line + "\n";
  }
  result.err = child.err();
  return result;
}

}  // namespace testing_support
