#include "common/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/environment.h"

namespace gpu_runtime::common {

namespace {

class TraceFile {
 public:
  TraceFile() {
    const auto& path = environment().trace_path;
    if (!path) return;
    path_ = *path;
    const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
      std::fprintf(stderr, "gpu runtime: cannot open trace file '%s': %s\n", path->c_str(),
                   std::strerror(errno));
    fd_.store(fd, std::memory_order_relaxed);
  }
  bool open() const { return fd_.load(std::memory_order_relaxed) >= 0; }
  void append(const std::string& line) {
    std::lock_guard lock(mu_);
    const int fd = fd_.load(std::memory_order_relaxed);
    if (fd < 0) return;
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A full disk must not stop the program, but the trace is incomplete
        // from here on: say so once and write no more.
        std::fprintf(stderr, "gpu runtime: cannot write trace file '%s': %s; the trace stops here\n",
                     path_.c_str(), n < 0 ? std::strerror(errno) : "nothing written");
        fd_.store(-1, std::memory_order_relaxed);
        ::close(fd);
        return;
      }
      done += static_cast<size_t>(n);
    }
  }

 private:
  std::string path_;
  std::atomic<int> fd_{-1};  ///< -1 when not tracing; read without the lock by open()
  std::mutex mu_;
};

TraceFile& trace_file() {
  static TraceFile* file = new TraceFile;  // outlives every exit handler
  return *file;
}

}  // namespace

bool trace_enabled() { return trace_file().open(); }

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

std::string json_int_array(const int* values, size_t count) {
  std::string out = "[";
  for (size_t i = 0; i < count; ++i) out += (i ? ", " : "") + std::to_string(values[i]);
  return out + "]";
}

TraceRecord::TraceRecord(std::string_view call, std::string_view key) {
  text_ = "{" + json_string(key) + ": " + json_string(call);
}

TraceRecord& TraceRecord::raw(std::string_view key, std::string_view json) {
  text_ += ", ";
  text_ += json_string(key);
  text_ += ": ";
  text_ += json;
  return *this;
}

TraceRecord& TraceRecord::number(std::string_view key, long long value) {
  return raw(key, std::to_string(value));
}

TraceRecord& TraceRecord::unsigned_number(std::string_view key, unsigned long long value) {
  return raw(key, std::to_string(value));
}

TraceRecord& TraceRecord::real(std::string_view key, double value) {
  if (!std::isfinite(value)) return raw(key, "null");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", value);
  return raw(key, buf);
}

TraceRecord& TraceRecord::boolean(std::string_view key, bool value) {
  return raw(key, value ? "true" : "false");
}

TraceRecord& TraceRecord::string(std::string_view key, std::string_view value) {
  return raw(key, json_string(value));
}

TraceRecord& TraceRecord::triple(std::string_view key, unsigned x, unsigned y, unsigned z) {
  return raw(key, "[" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(z) + "]");
}

void TraceRecord::write() {
  if (!trace_enabled()) return;
  text_ += "}\n";
  trace_file().append(text_);
}

std::string fnv1a_hex(const void* bytes, size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < size; ++i) {
    hash ^= p[i];
    hash *= 0x100000001b3ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(hash));
  return buf;
}

}  // namespace gpu_runtime::common
