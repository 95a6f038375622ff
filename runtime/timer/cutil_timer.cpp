// The SDK utility timer on a monotonic clock. Handles count from 1; each
// timer sums its completed measurements plus the one running, if any.
#include "cutil_timer.h"

#include <chrono>
#include <map>
#include <mutex>

#include "common/activity.h"
#include "common/fault_injection.h"
#include "common/trace.h"

namespace gpu_runtime::timer {
namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  bool running = false;
  Clock::time_point started;
  Clock::duration total{};
};

class Timers {
 public:
  unsigned create() {
    std::lock_guard lock(mu_);
    timers_.emplace(next_, Timer{});
    return next_++;
  }
  template <typename Fn>
  bool with(unsigned handle, Fn fn) {
    std::lock_guard lock(mu_);
    auto it = timers_.find(handle);
    if (it == timers_.end()) return false;
    fn(it->second);
    return true;
  }
  bool remove(unsigned handle) {
    std::lock_guard lock(mu_);
    return timers_.erase(handle) > 0;
  }

 private:
  std::mutex mu_;
  std::map<unsigned, Timer> timers_;
  unsigned next_ = 1;
};

Timers& timers() {
  static Timers* all = new Timers;
  return *all;
}

CUTBoolean traced(const char* call, unsigned handle, bool ok) {
  if (common::trace_enabled())
    common::TraceRecord(call).unsigned_number("timer", handle).number("result", ok ? 1 : 0).write();
  return ok ? CUTTrue : CUTFalse;
}

}  // namespace
}  // namespace gpu_runtime::timer

using namespace gpu_runtime::timer;

extern "C" {

CUTBoolean cutCreateTimer(unsigned int* name) {
  const gpu_runtime::common::activity::CallScope timed("cutCreateTimer");
  const bool injected = gpu_runtime::common::inject_failure("cutCreateTimer");
  unsigned handle = 0;
  if (!injected && name) *name = handle = timers().create();
  return traced("cutCreateTimer", handle, !injected && name);
}

CUTBoolean cutDeleteTimer(unsigned int name) {
  const gpu_runtime::common::activity::CallScope timed("cutDeleteTimer");
  const bool injected = gpu_runtime::common::inject_failure("cutDeleteTimer");
  return traced("cutDeleteTimer", name, !injected && timers().remove(name));
}

CUTBoolean cutStartTimer(unsigned int name) {
  const gpu_runtime::common::activity::CallScope timed("cutStartTimer");
  const bool injected = gpu_runtime::common::inject_failure("cutStartTimer");
  const bool ok = !injected && timers().with(name, [](Timer& t) {
    const auto now = Clock::now();
    if (t.running) t.total += now - t.started;  // a restart ends the running measurement
    t.running = true;
    t.started = now;
  });
  return traced("cutStartTimer", name, ok);
}

CUTBoolean cutStopTimer(unsigned int name) {
  const gpu_runtime::common::activity::CallScope timed("cutStopTimer");
  const bool injected = gpu_runtime::common::inject_failure("cutStopTimer");
  const bool ok = !injected && timers().with(name, [](Timer& t) {
    if (!t.running) return;
    t.total += Clock::now() - t.started;
    t.running = false;
  });
  return traced("cutStopTimer", name, ok);
}

CUTBoolean cutResetTimer(unsigned int name) {
  const gpu_runtime::common::activity::CallScope timed("cutResetTimer");
  const bool injected = gpu_runtime::common::inject_failure("cutResetTimer");
  const bool ok = !injected && timers().with(name, [](Timer& t) {
    t.total = Clock::duration::zero();
    if (t.running) t.started = Clock::now();
  });
  return traced("cutResetTimer", name, ok);
}

float cutGetTimerValue(unsigned int name) {
  const gpu_runtime::common::activity::CallScope timed("cutGetTimerValue");
  double ms = 0;
  timers().with(name, [&](Timer& t) {
    auto total = t.total;
    if (t.running) total += Clock::now() - t.started;
    ms = std::chrono::duration<double, std::milli>(total).count();
  });
  if (gpu_runtime::common::trace_enabled())
    gpu_runtime::common::TraceRecord("cutGetTimerValue").unsigned_number("timer", name).real("result", ms).write();
  return static_cast<float>(ms);
}

}  // extern "C"
