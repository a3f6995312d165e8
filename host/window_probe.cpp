#include "host/window_probe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "host/window_module.h"

namespace netbuf {

namespace {

// The child's exit status when the module would not even load.
constexpr int kNotLoaded = 3;

[[noreturn]] void run_child(const std::string& module, int out) {
  ::dup2(out, STDOUT_FILENO);
  ::dup2(out, STDERR_FILENO);
  ::close(out);
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  auto* entry =
      handle ? reinterpret_cast<decltype(&netbuf_window)>(dlsym(handle, "netbuf_window")) : nullptr;
  if (entry == nullptr) {
    const char* why = dlerror();
    if (why) (void)!::write(STDERR_FILENO, why, std::strlen(why));
    ::_exit(kNotLoaded);
  }
  int argc = 1;
  char name[] = "netbuf";
  char* argv[] = {name, nullptr};
  // Making the application connects to the display; that is the test.
  const std::unique_ptr<QCoreApplication> app = entry()->application(argc, argv);
  ::_exit(app ? 0 : 1);
}

// The first line that says something: Qt's complaint about a missing
// runtime directory comes before the reason and is not it.
std::string first_line(const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    if (!line.empty() && line.find("XDG_RUNTIME_DIR") == std::string::npos) return line;
    at = end + 1;
  }
  return {};
}

}  // namespace

ProbeResult probe_window(const std::string& module, int timeout_ms) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {false, false, std::strerror(errno)};
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return {false, false, std::strerror(errno)};
  }
  if (pid == 0) {
    ::close(pipe_fds[0]);
    run_child(module, pipe_fds[1]);
  }
  ::close(pipe_fds[1]);

  // The child's output is kept (a little of it) and its end awaited; a
  // display that takes the connection and never answers is given up on.
  std::string output;
  int status = 0;
  bool ended = false, timed_out = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int fd = pipe_fds[0];
  while (!ended) {
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char buf[1024];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0 && output.size() < 4096) output.append(buf, static_cast<std::size_t>(n));
        if (n <= 0) {
          ::close(fd);
          fd = -1;
        }
      }
    } else {
      ::usleep(20000);
    }
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
    if (!ended && std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ended = timed_out = true;
    }
  }
  if (fd >= 0) ::close(fd);

  ProbeResult r;
  if (timed_out) {
    r.why = "no answer from the display within " + std::to_string(timeout_ms / 1000) + " s";
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    r.ok = true;
  } else {
    r.not_loaded = WIFEXITED(status) && WEXITSTATUS(status) == kNotLoaded;
    r.why = first_line(output);
    if (r.why.empty())
      r.why = WIFSIGNALED(status) ? std::string(strsignal(WTERMSIG(status)))
                                  : "exit status " + std::to_string(WEXITSTATUS(status));
  }
  return r;
}

}  // namespace netbuf
