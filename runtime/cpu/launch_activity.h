// What the profile and the timeline (common/activity.h) learn of a launch on
// the CPU device: when each worker ran its blocks, and the form they ran in.
// The launch engine makes the record when it queues a launch, each worker
// reports once per launch, after its last block and before the launch can be
// retired, and the last report hands the finished launch to the profile and
// the timeline. With neither on, no record is made and the hooks are skipped.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/activity.h"
#include "launch_record.h"

namespace gpu_runtime::cpu {

struct ObservedLaunch {
  common::activity::LaunchRun run;  ///< filled in as workers report
  std::uint64_t blocks = 0;
  std::mutex mu;
  std::uint64_t blocks_reported = 0;
};

/// The record of a launch about to be queued (its forms and geometry set),
/// or null when neither the profile nor the timeline is on.
std::shared_ptr<ObservedLaunch> observe(const Launch& launch, const char* kernel_name);

/// The calling worker ran `blocks` blocks of `launch`, starting at `start`
/// and ending now. Call before counting them done.
void blocks_ran(Launch& launch, std::int64_t start, std::uint64_t blocks);

/// The name of the form a launch runs in: what the compiler made of the
/// kernel ("thread loops", "region loops" or "fibers"), or "fibers" when
/// CUDART_BARRIERS=fibers runs its blocks a thread at a time.
const char* form_name(const Launch& launch);

}  // namespace gpu_runtime::cpu
