#include "workload.h"

#include <cstdio>
#include <fstream>
#include <regex>

namespace bench::compare {

void progress(const std::string& text) {
  std::fprintf(stderr, "[bench] %s\n", text.c_str());
  std::fflush(stderr);
}

std::string last_lines(const std::string& text, int count) {
  size_t at = text.size();
  while (at > 0 && text[at - 1] == '\n') --at;
  for (int i = 0; i < count && at > 0; ++i) {
    const size_t nl = text.rfind('\n', at - 1);
    at = nl == std::string::npos ? 0 : nl;
  }
  std::string tail = text.substr(at);
  while (!tail.empty() && (tail.front() == '\n')) tail.erase(0, 1);
  while (!tail.empty() && (tail.back() == '\n')) tail.pop_back();
  return tail;
}

RunResult must_run(const RunRequest& request, const std::string& what) {
  RunResult r = bench::run(request);
  if (r.timed_out)
    throw Failure(what + " took longer than " + std::to_string(static_cast<int>(request.timeout_s)) +
                  " s and was stopped");
  if (r.exit_status != 0) {
    std::string why = what + " exited with status " + std::to_string(r.exit_status);
    const std::string tail = last_lines(r.err, 3);
    if (!tail.empty()) why += ": " + tail;
    throw Failure(why);
  }
  return r;
}

RunRequest program(const Context& ctx, const std::string& name, std::vector<std::string> args,
                   const fs::path& cwd, std::map<std::string, std::string> env) {
  RunRequest request;
  request.argv = {"stdbuf", "-oL", (ctx.opt.bin / name).string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.cwd = cwd;
  env["CUDART_WORKERS"] = std::to_string(ctx.opt.workers);
  request.env = std::move(env);
  return request;
}

RunRequest baseline(const Context& ctx, const std::string& name, std::vector<std::string> args,
                    const fs::path& cwd) {
  RunRequest request;
  request.argv = {(ctx.opt.bench / name).string()};
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.cwd = cwd;
  return request;
}

namespace {

// The "key value" lines a baseline prints.
std::map<std::string, std::string> report_of(const RunResult& r) {
  std::map<std::string, std::string> values;
  for (const bench::Line& line : r.lines) {
    const size_t space = line.text.find(' ');
    if (space != std::string::npos) values[line.text.substr(0, space)] = line.text.substr(space + 1);
  }
  return values;
}

}  // namespace

std::string report_value(const RunResult& r, const std::string& key, const std::string& who) {
  const auto values = report_of(r);
  const auto it = values.find(key);
  if (it == values.end()) throw Failure(who + " did not report " + key);
  return it->second;
}

double report_ms(const RunResult& r, const std::string& who) {
  return std::stod(report_value(r, "time_ms", who));
}

const bench::Line& line_starting(const RunResult& r, const std::string& prefix, const std::string& who) {
  for (const bench::Line& line : r.lines)
    if (line.text.compare(0, prefix.size(), prefix) == 0) return line;
  throw Failure(who + " did not print \"" + prefix + "\"");
}

void require_line_buffered(const RunResult& r, const std::string& who) {
  if (!r.lines.empty() && r.wall_ms > 200 && r.lines.front().first_ms > 0.9 * r.wall_ms)
    throw Failure(
        who +
        ": its output arrived only as it ended, so it was not line-buffered (stdbuf -oL had no effect)");
}

double between_lines(const RunResult& r, const std::string& from, const std::string& to,
                     const std::string& who) {
  require_line_buffered(r, who);
  return line_starting(r, to, who).first_ms - line_starting(r, from, who).end_ms;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string file_digest(const fs::path& path) {
  const std::string bytes = read_file(path);
  return bench::fnv1a64(bytes.data(), bytes.size());
}

std::vector<Copy> trace_copies(const fs::path& trace) {
  std::ifstream in(trace);
  if (!in) throw Failure("no trace was written to " + trace.string());
  static const std::regex bytes_re(R"re("bytes": (\d+))re"), kind_re(R"re("kind": (\d+))re"),
      digest_re(R"re("digest": "([0-9a-f]{16})")re");
  std::vector<Copy> copies;
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"call\": \"cudaMemcpy\"") == std::string::npos) continue;
    std::smatch b, k, d;
    if (std::regex_search(line, b, bytes_re) && std::regex_search(line, k, kind_re) &&
        std::regex_search(line, d, digest_re))
      copies.push_back({std::stoi(k[1]), std::stoll(b[1]), d[1]});
  }
  return copies;
}

std::string last_copy(const std::vector<Copy>& copies, int kind, const std::string& who) {
  for (auto it = copies.rbegin(); it != copies.rend(); ++it)
    if (it->kind == kind) return it->digest;
  throw Failure(who + ": the trace holds no copy of kind " + std::to_string(kind));
}

void reset_dir(const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
}

void interleave(int runs, const std::string& what, const std::vector<std::function<void()>>& steps) {
  for (int r = 0; r < runs; ++r) {
    progress(what + ": run " + std::to_string(r + 1) + " of " + std::to_string(runs));
    if (r % 2 == 0)
      for (const auto& step : steps) step();
    else
      for (auto it = steps.rbegin(); it != steps.rend(); ++it) (*it)();
  }
}

long max_of(const std::vector<long>& values) {
  long m = 0;
  for (long v : values) m = std::max(m, v);
  return m;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace bench::compare
