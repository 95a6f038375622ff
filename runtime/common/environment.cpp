#include "common/environment.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

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

Environment parse_environment(const char* (*lookup)(const char* name), std::string& complaints) {
  const auto refuse = [&](const char* name, const char* value, const char* expected) {
    complaints += std::string("gpu runtime: ignoring ") + name + " value '" + value + "': expected " + expected + "\n";
  };
  Environment env;
  if (const char* trace = lookup("CUDART_TRACE"); trace && *trace) env.trace_path = trace;
  if (const char* profile = lookup("CUDART_PROFILE"); profile && *profile && std::string(profile) != "0") {
    env.profile = true;
    if (std::string(profile) != "1") env.profile_path = profile;
  }
  if (const char* timeline = lookup("CUDART_TIMELINE"); timeline && *timeline) env.timeline_path = timeline;
  if (const char* fail = lookup("CUDART_FAIL")) env.fail_list = fail;
  if (const char* devices = lookup("CUDART_DEVICES")) {
    const auto n = parse_count(devices);
    if (n && *n <= kMaxDevices) env.device_count = *n;
    else refuse("CUDART_DEVICES", devices, "a device count from 0 to 64");
  }
  if (const char* cc = lookup("CUDART_DEVICE_CC")) {
    const std::string text(cc);
    const auto dot = text.find('.');
    std::optional<int> major, minor;
    if (dot != std::string::npos) {
      major = parse_count(text.substr(0, dot));
      minor = parse_count(text.substr(dot + 1));
    }
    if (major && minor && *major <= kMaxCcMajor && *minor <= kMaxCcMinor) {
      env.cc_major = *major;
      env.cc_minor = *minor;
    } else {
      refuse("CUDART_DEVICE_CC", cc, "<major>.<minor> from 0.0 to 99.9");
    }
  }
  if (const char* workers = lookup("CUDART_WORKERS")) {
    const auto n = parse_count(workers);
    if (n && *n >= 1 && *n <= kMaxWorkers) env.workers = *n;
    else refuse("CUDART_WORKERS", workers, "a worker count from 1 to 1024");
  }
  if (const char* barriers = lookup("CUDART_BARRIERS")) {
    const std::string mode(barriers);
    if (mode == "loops" || mode == "regions" || mode == "fibers") env.block_functions = mode != "fibers";
    else refuse("CUDART_BARRIERS", barriers, "loops, regions or fibers");
  }
  for (auto [name, flag] : {std::pair{"CUDART_MEMCHECK", &env.memcheck}, std::pair{"CUDART_FOOTPRINT", &env.footprint}})
    if (const char* value = lookup(name)) {
      const std::string text(value);
      if (text == "0" || text == "1") *flag = text == "1";
      else refuse(name, value, "0 or 1");
    }
  if (env.workers == 0)
    env.workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, unsigned{kMaxWorkers}));
  return env;
}

namespace {

Environment read_environment() {
  std::string complaints;
  Environment env = parse_environment([](const char* name) -> const char* { return std::getenv(name); }, complaints);
  if (!complaints.empty()) std::fputs(complaints.c_str(), stderr);
  return env;
}

}  // namespace

const Environment& environment() {
  static const Environment env = read_environment();
  return env;
}

}  // namespace gpu_runtime::common
