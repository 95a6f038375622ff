// Running one program for bench_compare: its standard output arrives through
// a pipe and every line is stamped with the time its first byte and its
// newline arrived, so progress lines that a line-buffered program prints mark
// the phases of its run. Peak resident memory comes from the kernel's account
// of the finished process.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Line {
  std::string text;     ///< without its newline
  double first_ms = 0;  ///< when its first byte arrived, from the start of the run
  double end_ms = 0;    ///< when its newline (or the end of output) arrived
};

struct RunResult {
  int exit_status = -1;  ///< exit code; 128 + signal when killed; -1 when it could not start
  bool timed_out = false;
  std::vector<Line> lines;
  std::string err;
  double wall_ms = 0;
  double cpu_ms = 0;      ///< processor time of the process, user and system, all threads
  long peak_rss_kib = 0;  ///< largest resident set of the process
};

struct RunRequest {
  std::vector<std::string> argv;  ///< argv[0] is looked up on PATH unless it holds a '/'
  std::filesystem::path cwd;
  std::map<std::string, std::string> env;  ///< added to (or overriding) this process's environment
  double timeout_s = 900;                  ///< killed after this long
};

/// Runs `request` to its end, standard input from /dev/null.
RunResult run(const RunRequest& request);

/// Standard output as text again.
std::string output_text(const RunResult& result);

}  // namespace bench
