#include "common/timeline.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "common/trace.h"

namespace gpu_runtime::common {

namespace {

constexpr int kHostProcess = 1;
constexpr int kDeviceProcess = 2;
constexpr int kStreamTrack = 0;

// Appends `n` in decimal.
void append_number(std::string& out, long long n) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, end);
}

// Appends nanoseconds as microseconds with three exact decimals.
void append_micros(std::string& out, std::int64_t ns) {
  if (ns < 0) ns = 0;
  append_number(out, ns / 1000);
  const int frac = static_cast<int>(ns % 1000);
  const char digits[4] = {'.', static_cast<char>('0' + frac / 100), static_cast<char>('0' + frac / 10 % 10),
                          static_cast<char>('0' + frac % 10)};
  out.append(digits, 4);
}

// Appends the start of a complete event, up to and including "args": {.
// `quoted_name` is already a JSON string, or null when the name is appended
// already (after {"name": ).
void append_span(std::string& out, const std::string* quoted_name, const char* category, int process, int track,
                 std::int64_t start, std::int64_t end) {
  if (quoted_name) {
    out += "{\"name\": ";
    out += *quoted_name;
  }
  out += ", \"cat\": \"";
  out += category;
  out += "\", \"ph\": \"X\", \"ts\": ";
  append_micros(out, start);
  out += ", \"dur\": ";
  append_micros(out, end - start);
  out += ", \"pid\": ";
  append_number(out, process);
  out += ", \"tid\": ";
  append_number(out, track);
  out += ", \"args\": {";
}

void append_triple(std::string& out, Dim3 d) {
  out += '[';
  append_number(out, d.x);
  out += ", ";
  append_number(out, d.y);
  out += ", ";
  append_number(out, d.z);
  out += ']';
}

}  // namespace

std::string short_kernel_name(const std::string& mangled) {
  const std::string readable = activity::readable_name(mangled);
  static constexpr std::string_view kAnonymous = "(anonymous namespace)";
  int depth = 0;
  for (std::size_t i = 0; i < readable.size(); ++i) {
    const char c = readable[i];
    if (c == '<') ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (c == '(' && depth == 0) {
      if (readable.compare(i, kAnonymous.size(), kAnonymous) == 0) {
        i += kAnonymous.size() - 1;
        continue;
      }
      if (i > 0) return readable.substr(0, i);
    }
  }
  return readable;
}

Timeline::Timeline(const std::string& path) {
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) {
    std::fprintf(stderr, "gpu runtime: cannot open timeline file '%s': %s\n", path.c_str(), std::strerror(errno));
    return;
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  std::fputs("[\n", file_);
  for (const auto& [process, name] : {std::pair{kHostProcess, "host"}, std::pair{kDeviceProcess, "device"}}) {
    event("{\"name\": \"process_name\", \"ph\": \"M\", \"pid\": " + std::to_string(process) +
          ", \"args\": {\"name\": \"" + name + "\"}}");
    event("{\"name\": \"process_sort_index\", \"ph\": \"M\", \"pid\": " + std::to_string(process) +
          ", \"args\": {\"sort_index\": " + std::to_string(process) + "}}");
  }
  name_track(kDeviceProcess, kStreamTrack, "stream");
}

void Timeline::event(const std::string& json) {
  // Callers serialise: the file's own lock is not needed.
  if (!first_) fwrite_unlocked(",\n", 1, 2, file_);
  first_ = false;
  fwrite_unlocked(json.data(), 1, json.size(), file_);
}

void Timeline::name_track(int process, int track, const std::string& name) {
  const std::string where = "\"pid\": " + std::to_string(process) + ", \"tid\": " + std::to_string(track);
  event("{\"name\": \"thread_name\", \"ph\": \"M\", " + where + ", \"args\": {\"name\": " + json_string(name) + "}}");
  event("{\"name\": \"thread_sort_index\", \"ph\": \"M\", " + where + ", \"args\": {\"sort_index\": " +
        std::to_string(track) + "}}");
}

void Timeline::call(int thread, const char* name, std::int64_t start, std::int64_t end, const std::string& detail) {
  if (!file_) return;
  if (hosts_named_.size() <= static_cast<std::size_t>(thread)) hosts_named_.resize(thread + 1);
  if (!hosts_named_[thread]) {
    hosts_named_[thread] = true;
    name_track(kHostProcess, thread, thread == 1 ? "host thread" : "host thread " + std::to_string(thread));
  }
  line_.assign("{\"name\": \"");
  line_ += name;  // a call's name needs no escaping
  line_ += '"';
  append_span(line_, nullptr, "api", kHostProcess, thread, start, end);
  line_ += detail;
  line_ += "}}";
  event(line_);
}

const Timeline::KernelNames& Timeline::names(const std::string& kernel) {
  auto it = kernel_names_.find(kernel);
  if (it == kernel_names_.end())
    it = kernel_names_.emplace(kernel, KernelNames{json_string(short_kernel_name(kernel)), json_string(kernel)}).first;
  return it->second;
}

void Timeline::launch(std::uint64_t serial, const activity::LaunchRun& run) {
  if (!file_) return;
  const KernelNames& kernel = names(run.kernel);
  line_.clear();
  append_span(line_, &kernel.name, "launch", kDeviceProcess, kStreamTrack, run.start, run.end);
  line_ += "\"launch\": ";
  append_number(line_, static_cast<long long>(serial));
  line_ += ", \"kernel\": ";
  line_ += kernel.mangled;
  line_ += ", \"grid\": ";
  append_triple(line_, run.grid);
  line_ += ", \"block\": ";
  append_triple(line_, run.block);
  line_ += ", \"blocks\": ";
  append_number(line_, static_cast<long long>(std::uint64_t{run.grid.x} * run.grid.y * run.grid.z));
  if (run.form) {
    line_ += ", \"form\": \"";
    line_ += run.form;  // one of the runtime's own names
    line_ += '"';
  }
  if (!run.timed) line_ += ", \"timed\": false";
  line_ += "}}";
  event(line_);
  for (const activity::WorkerSpan& w : run.workers) {
    if (workers_named_.size() <= static_cast<std::size_t>(w.worker)) workers_named_.resize(w.worker + 1);
    if (!workers_named_[w.worker]) {
      workers_named_[w.worker] = true;
      name_track(kDeviceProcess, 1 + w.worker, "worker " + std::to_string(w.worker));
    }
    line_.clear();
    append_span(line_, &kernel.name, "blocks", kDeviceProcess, 1 + w.worker, w.start, w.end);
    line_ += "\"launch\": ";
    append_number(line_, static_cast<long long>(serial));
    line_ += ", \"blocks\": ";
    append_number(line_, static_cast<long long>(w.blocks));
    line_ += "}}";
    event(line_);
  }
}

void Timeline::copy(CopySides sides, std::uint64_t bytes, std::int64_t start, std::int64_t end) {
  if (!file_) return;
  const std::string direction = activity::direction_name(sides);
  line_.clear();
  line_.assign("{\"name\": \"copy " + direction + "\"");
  append_span(line_, nullptr, "copy", kDeviceProcess, kStreamTrack, start, end);
  line_ += "\"bytes\": ";
  append_number(line_, static_cast<long long>(bytes));
  line_ += ", \"direction\": \"" + direction + "\"}}";
  event(line_);
}

void Timeline::close(const std::string& device) {
  if (!file_) return;
  event("{\"name\": \"process_labels\", \"ph\": \"M\", \"pid\": " + std::to_string(kDeviceProcess) +
        ", \"args\": {\"labels\": " + json_string(device) + "}}");
  std::fputs("\n]\n", file_);
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace gpu_runtime::common
