#include "common/environment.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace gpu_runtime::common {

std::optional<int> parse_count(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

namespace {

void report_malformed(const char* name, const char* value) {
  std::fprintf(stderr, "gpu runtime: ignoring malformed %s value '%s'\n", name, value);
}

Environment read_environment() {
  Environment env;
  if (const char* trace = std::getenv("CUDART_TRACE"); trace && *trace) env.trace_path = trace;
  if (const char* profile = std::getenv("CUDART_PROFILE"); profile && *profile && std::string(profile) != "0") {
    env.profile = true;
    if (std::string(profile) != "1") env.profile_path = profile;
  }
  if (const char* timeline = std::getenv("CUDART_TIMELINE"); timeline && *timeline) env.timeline_path = timeline;
  if (const char* fail = std::getenv("CUDART_FAIL")) env.fail_list = fail;
  if (const char* devices = std::getenv("CUDART_DEVICES")) {
    if (auto n = parse_count(devices)) env.device_count = *n;
    else report_malformed("CUDART_DEVICES", devices);
  }
  if (const char* cc = std::getenv("CUDART_DEVICE_CC")) {
    const std::string text(cc);
    const auto dot = text.find('.');
    std::optional<int> major, minor;
    if (dot != std::string::npos) {
      major = parse_count(text.substr(0, dot));
      minor = parse_count(text.substr(dot + 1));
    }
    if (major && minor) {
      env.cc_major = *major;
      env.cc_minor = *minor;
    } else {
      report_malformed("CUDART_DEVICE_CC", cc);
    }
  }
  if (const char* workers = std::getenv("CUDART_WORKERS")) {
    auto n = parse_count(workers);
    if (n && *n >= 1 && *n <= 1024) env.workers = *n;
    else report_malformed("CUDART_WORKERS", workers);
  }
  if (const char* barriers = std::getenv("CUDART_BARRIERS")) {
    const std::string mode(barriers);
    if (mode == "loops" || mode == "regions" || mode == "fibers") env.block_functions = mode != "fibers";
    else report_malformed("CUDART_BARRIERS", barriers);
  }
  if (env.workers == 0) env.workers = std::max(1u, std::thread::hardware_concurrency());
  return env;
}

}  // namespace

const Environment& environment() {
  static const Environment env = read_environment();
  return env;
}

}  // namespace gpu_runtime::common
