#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace testing_support {

Child::Child(const std::vector<std::string>& argv) : program_(argv.at(0)) {
  int in[2], out[2], err[2], exec_status[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0 || pipe2(exec_status, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execv(args[0], args.data());
    // The parent learns why through the pipe that a successful exec closes.
    const int error = errno;
    (void)!write(exec_status[1], &error, sizeof error);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  close(exec_status[1]);
  in_ = in[1];
  out_ = out[0];
  errfd_ = err[0];
  signal(SIGPIPE, SIG_IGN);
  int error = 0;
  ssize_t n;
  while ((n = read(exec_status[0], &error, sizeof error)) < 0 &&
         errno == EINTR) {
  }
  close(exec_status[0]);
  if (n == static_cast<ssize_t>(sizeof error)) {
    Wait();
    close(out_);
    close(errfd_);
    throw std::runtime_error("cannot start " + program_ + ": " +
                             std::strerror(error));
  }
}

Child::~Child() {
  if (!status_) {
    Kill(SIGKILL);
    Wait();
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  if (errfd_ >= 0) close(errfd_);
}

void Child::Pump(int timeout_ms) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {errfd_, POLLIN, 0}};
  int nfds = 0;
  pollfd active[2];
  if (out_ >= 0) active[nfds++] = fds[0];
  if (errfd_ >= 0) active[nfds++] = fds[1];
  if (nfds == 0) return;
  if (poll(active, static_cast<nfds_t>(nfds), timeout_ms) <= 0) return;
  for (int i = 0; i < nfds; ++i) {
    if (!(active[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    ssize_t n = read(active[i].fd, buf, sizeof buf);
    bool is_out = active[i].fd == out_;
    if (n <= 0) {
      close(active[i].fd);
      (is_out ? out_ : errfd_) = -1;
      if (is_out) out_eof_ = true;
      continue;
    }
    (is_out ? out_buf_ : err_).append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::size_t nl = out_buf_.find('\n');
    if (nl != std::string::npos) {
      std::string line = out_buf_.substr(0, nl);
      out_buf_.erase(0, nl + 1);
      return line;
    }
    if (out_eof_) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    Pump(static_cast<int>(left.count()));
  }
}

void Child::WriteLine(const std::string& line) {
  std::string data = line + "\n";
  if (in_ >= 0 && write(in_, data.data(), data.size()) < 0) {
    // The child may have gone; its exit status tells the test.
  }
}

void Child::CloseStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

int Child::Wait(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  CloseStdin();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int raw = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid");
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
      }
      ReportHung(timeout);
      status_ = kTimedOut;
      break;
    }
    // Keeps the pipes drained so that a child writing much never blocks.
    if (out_ >= 0 || errfd_ >= 0) {
      Pump(20);
    } else {
      usleep(20000);
    }
  }
  // What the child wrote is in the pipes now; a grandchild holding them
  // open must not make this wait for end of file.
  for (int fd : {out_, errfd_}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  for (;;) {
    const std::size_t before = out_buf_.size() + err_.size();
    Pump(0);
    if (out_buf_.size() + err_.size() == before) break;
  }
  out_eof_ = true;
  if (!status_) {
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  return *status_;
}

void Child::ReportHung(std::chrono::milliseconds timeout) const {
  std::fprintf(stderr, "child %s (pid %d) still ran after %lld ms: killed\n",
               program_.c_str(), pid_, static_cast<long long>(timeout.count()));
}

void Child::Kill(int signal) {
  if (!status_ && pid_ > 0) kill(pid_, signal);
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
