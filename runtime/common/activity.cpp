#include "common/activity.h"

#include <cxxabi.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/environment.h"
#include "common/profile.h"
#include "common/timeline.h"

namespace gpu_runtime::common::activity {

namespace {

using Clock = std::chrono::steady_clock;

struct State {
  State() {
    const Environment& env = environment();
    if (env.profile) {
      profile_on = true;
      if (env.profile_path) {
        profile_file = std::fopen(env.profile_path->c_str(), "w");
        if (!profile_file) {
          std::fprintf(stderr, "gpu runtime: cannot open profile file '%s': %s\n", env.profile_path->c_str(),
                       std::strerror(errno));
          profile_on = false;
        }
      }
    }
    if (env.timeline_path) {
      timeline = std::make_unique<Timeline>(*env.timeline_path);
      if (!timeline->open()) timeline.reset();
    }
    epoch = Clock::now();  // after opening the files: the first call starts near 0
  }

  Clock::time_point epoch;
  std::mutex mu;
  bool profile_on = false;
  std::FILE* profile_file = nullptr;  ///< null: standard error
  Profile profile;
  std::unique_ptr<Timeline> timeline;  ///< null when off
  std::uint64_t launches = 0;
  bool finished = false;
  std::atomic<int> host_threads{0};
};

// Made with the first registration (the API shell times it) and never
// destroyed, so exit handlers can always reach it.
State& state() {
  static State* s = new State;
  return *s;
}

// Host threads are numbered from 1 in the order of their first call.
int host_thread() {
  thread_local int number = 0;
  if (number == 0) number = ++state().host_threads;
  return number;
}

}  // namespace

bool enabled() {
  static const bool on = state().profile_on || state().timeline != nullptr;
  return on;
}

bool timeline_enabled() {
  static const bool on = state().timeline != nullptr;
  return on;
}

std::int64_t now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - state().epoch).count();
}

void CallScope::finish() {
  const std::int64_t end = now();
  State& s = state();
  const int thread = host_thread();
  std::lock_guard lock(s.mu);
  if (s.finished) return;
  if (s.profile_on) s.profile.add_call(call_, end - start_);
  if (s.timeline) s.timeline->call(thread, call_, start_, end, detail_);
}

void launch_finished(const LaunchRun& run) {
  if (!enabled()) return;
  State& s = state();
  std::lock_guard lock(s.mu);
  if (s.finished) return;
  const std::uint64_t serial = s.launches++;
  if (s.profile_on) s.profile.add_launch(run);
  if (s.timeline) s.timeline->launch(serial, run);
}

void copy_finished(CopySides sides, std::uint64_t bytes, std::int64_t start, std::int64_t end) {
  if (!enabled()) return;
  State& s = state();
  std::lock_guard lock(s.mu);
  if (s.finished) return;
  if (s.profile_on) s.profile.add_copy(sides, bytes, end - start);
  if (s.timeline) s.timeline->copy(sides, bytes, start, end);
}

void memory_changed(std::int64_t bytes) {
  if (!enabled()) return;
  State& s = state();
  std::lock_guard lock(s.mu);
  s.profile.add_memory(bytes);
}

void finish(const std::string& device) {
  if (!enabled()) return;
  const std::int64_t end = now();
  State& s = state();
  std::lock_guard lock(s.mu);
  if (s.finished) return;
  s.finished = true;
  if (s.profile_on) {
    const std::string text = s.profile.text(device, end);
    std::FILE* out = s.profile_file ? s.profile_file : stderr;
    std::fwrite(text.data(), 1, text.size(), out);
    if (s.profile_file) std::fclose(s.profile_file);
    else std::fflush(stderr);
  }
  if (s.timeline) s.timeline->close(device);
}

const char* direction_name(CopySides sides) {
  if (sides.dst_device) return sides.src_device ? "device to device" : "host to device";
  return sides.src_device ? "device to host" : "host to host";
}

std::string readable_name(const std::string& mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                              &std::free);
  return status == 0 && text ? std::string(text.get()) : mangled;
}

}  // namespace gpu_runtime::common::activity
