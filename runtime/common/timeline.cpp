#include "common/timeline.h"

#include <cerrno>
#include <cstring>

#include "common/trace.h"

namespace gpu_runtime::common {

namespace {

constexpr int kHostProcess = 1;
constexpr int kDeviceProcess = 2;
constexpr int kStreamTrack = 0;

// Nanoseconds as microseconds with three exact decimals.
std::string micros(std::int64_t ns) {
  if (ns < 0) ns = 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(ns / 1000), static_cast<long long>(ns % 1000));
  return buf;
}

// The start of a complete event, up to and including "args": {.
std::string span(const std::string& name, const char* category, int process, int track, std::int64_t start,
                 std::int64_t end) {
  return "{\"name\": " + json_string(name) + ", \"cat\": \"" + category + "\", \"ph\": \"X\", \"ts\": " +
         micros(start) + ", \"dur\": " + micros(end - start) + ", \"pid\": " + std::to_string(process) +
         ", \"tid\": " + std::to_string(track) + ", \"args\": {";
}

std::string triple(Dim3 d) {
  return "[" + std::to_string(d.x) + ", " + std::to_string(d.y) + ", " + std::to_string(d.z) + "]";
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
  if (!first_) std::fputs(",\n", file_);
  first_ = false;
  std::fwrite(json.data(), 1, json.size(), file_);
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
  event(span(name, "api", kHostProcess, thread, start, end) + detail + "}}");
}

void Timeline::launch(std::uint64_t serial, const activity::LaunchRun& run) {
  if (!file_) return;
  const std::string name = short_kernel_name(run.kernel);
  const std::uint64_t blocks = std::uint64_t{run.grid.x} * run.grid.y * run.grid.z;
  std::string args = "\"launch\": " + std::to_string(serial) + ", \"kernel\": " + json_string(run.kernel) +
                     ", \"grid\": " + triple(run.grid) + ", \"block\": " + triple(run.block) +
                     ", \"blocks\": " + std::to_string(blocks);
  if (run.form) args += ", \"form\": " + json_string(run.form);
  if (!run.timed) args += ", \"timed\": false";
  event(span(name, "launch", kDeviceProcess, kStreamTrack, run.start, run.end) + args + "}}");
  for (const activity::WorkerSpan& w : run.workers) {
    if (workers_named_.size() <= static_cast<std::size_t>(w.worker)) workers_named_.resize(w.worker + 1);
    if (!workers_named_[w.worker]) {
      workers_named_[w.worker] = true;
      name_track(kDeviceProcess, 1 + w.worker, "worker " + std::to_string(w.worker));
    }
    event(span(name, "blocks", kDeviceProcess, 1 + w.worker, w.start, w.end) + "\"launch\": " +
          std::to_string(serial) + ", \"blocks\": " + std::to_string(w.blocks) + "}}");
  }
}

void Timeline::copy(CopySides sides, std::uint64_t bytes, std::int64_t start, std::int64_t end) {
  if (!file_) return;
  const std::string direction = activity::direction_name(sides);
  event(span("copy " + direction, "copy", kDeviceProcess, kStreamTrack, start, end) +
        "\"bytes\": " + std::to_string(bytes) + ", \"direction\": \"" + direction + "\"}}");
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
