// Running a command with an environment and a time limit, its output to files.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace difftest {

struct RunResult {
  int status = -1;        ///< exit code, 128 + signal when killed by one
  bool timed_out = false;
  std::string out, err;
};

/// Runs `argv` with the inherited environment changed by `env` (an empty
/// value removes the variable); stdout and stderr go to `capture`.out and
/// `capture`.err, which are read back. The command and anything it starts
/// are killed after `timeout_s` seconds.
RunResult run_command(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                      const std::filesystem::path& capture, double timeout_s);

std::string read_text(const std::filesystem::path& path);

}  // namespace difftest
