#include "program_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace test_helpers {

namespace fs = std::filesystem;

fs::path program_path(const std::string& name) {
  const char* bin = std::getenv("GPU_PROGRAMS_BIN");
  if (!bin) throw std::runtime_error("GPU_PROGRAMS_BIN is not set");
  return fs::path(bin) / name;
}

namespace {

std::vector<std::string> merged_environment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : extra) {
    if (value.empty()) vars.erase(key);
    else vars[key] = value;
  }
  std::vector<std::string> out;
  for (const auto& [key, value] : vars) out.push_back(key + "=" + value);
  return out;
}

}  // namespace

ProgramResult run_program(const fs::path& program, const std::vector<std::string>& args,
                          const fs::path& cwd, const std::map<std::string, std::string>& env) {
  TempDir capture;
  const fs::path out_path = capture / "stdout", err_path = capture / "stderr";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  const std::string path = fs::absolute(program).string();
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = merged_environment(env);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + path);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {}
  ProgramResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

ProgramResult run_program_with_file_size_limit(const fs::path& program, const std::vector<std::string>& args,
                                               const fs::path& cwd, unsigned long long file_size_limit,
                                               const std::map<std::string, std::string>& env) {
  // Everything the child needs is made before fork: after it, only calls
  // that are safe in a child of a threaded process.
  const std::string path = fs::absolute(program).string();
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = merged_environment(env);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string dir = cwd.string();
  const rlimit limit{file_size_limit, file_size_limit};

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot make pipes");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + path);
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (in < 0 || dup2(in, 0) < 0 || dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0 ||
        chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        sigaction(SIGXFSZ, &ignore, nullptr) != 0)
      _exit(127);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  ProgramResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {}
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::map<std::string, std::string> allocator_returns_null_over(int megabytes) {
  std::map<std::string, std::string> env;
  for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* set = std::getenv(name);
    env[name] = (set && *set ? std::string(set) + ":" : "") +
                "allocator_may_return_null=1:max_allocation_size_mb=" + std::to_string(megabytes);
  }
  return env;
}

std::vector<std::string> folder_entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TempDir::TempDir() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("gpu-programs-" + std::to_string(rd()));
    if (fs::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only folders made by tests removable again.
  for (auto& entry : fs::recursive_directory_iterator(path_, ec))
    if (entry.is_directory(ec)) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

int source_line(const fs::path& path, const std::string& marker) {
  int number = 0, found = 0, count = 0;
  for (const std::string& line : split_lines(read_file(path))) {
    ++number;
    if (line.find(marker) != std::string::npos) {
      found = number;
      ++count;
    }
  }
  EXPECT_EQ(count, 1) << "marker " << marker << " in " << path;
  return count == 1 ? found : 0;
}

}  // namespace test_helpers
