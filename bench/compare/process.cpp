#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

RunResult run(const RunRequest& request) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    result.err = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  std::vector<char*> argv;
  for (const std::string& a : request.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec, apart from setenv,
    // which is safe enough in a child of a single-threaded parent.
    const int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0) _exit(127);
    if (chdir(request.cwd.c_str()) != 0) {
      dprintf(2, "cannot enter %s: %s\n", request.cwd.c_str(), strerror(errno));
      _exit(127);
    }
    for (const auto& [name, value] : request.env) setenv(name.c_str(), value.c_str(), 1);
    execvp(argv[0], argv.data());
    dprintf(2, "cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = std::string("cannot start a process: ") + std::strerror(errno);
    return result;
  }

  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  bool in_line = false;  // the last line has bytes but no newline yet
  char buffer[1 << 16];
  while (open_fds > 0) {
    const double left_ms = request.timeout_s * 1000 - ms_since(start);
    if (left_ms <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(std::min(left_ms, 1000.0)) + 1);
    if (ready < 0 && errno != EINTR) break;
    for (pollfd& p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(p.fd);
        p.fd = -1;
        --open_fds;
        continue;
      }
      if (p.fd == err_pipe[0]) {
        result.err.append(buffer, static_cast<size_t>(n));
        continue;
      }
      const double now = ms_since(start);
      for (ssize_t i = 0; i < n; ++i) {
        if (!in_line) {
          result.lines.push_back(Line{"", now, now});
          in_line = true;
        }
        if (buffer[i] == '\n') {
          result.lines.back().end_ms = now;
          in_line = false;
        } else {
          result.lines.back().text += buffer[i];
        }
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  if (in_line) {
    result.lines.back().end_ms = ms_since(start);
  }

  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.wall_ms = ms_since(start);
  result.peak_rss_kib = usage.ru_maxrss;
  result.cpu_ms = 1e3 * static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  1e-3 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string output_text(const RunResult& result) {
  std::string text;
  for (const Line& line : result.lines) text += line.text + "\n";
  return text;
}

}  // namespace bench
