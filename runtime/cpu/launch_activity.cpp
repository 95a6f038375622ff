#include "launch_activity.h"

#include <algorithm>
#include <atomic>

#include "common/back_end.h"
#include "launch_engine.h"

namespace gpu_runtime::cpu {

namespace {

// Workers are numbered from 0 in the order they first report.
int worker_number() {
  static std::atomic<int> next{0};
  thread_local int number = next++;
  return number;
}

}  // namespace

const char* form_name(const Launch& launch) {
  if (!launch.block_function) return "fibers";
  const KernelForm* form = launch.ops->form;
  return form && form->form ? form->form : "-";
}

std::shared_ptr<ObservedLaunch> observe(const Launch& launch, const char* kernel_name) {
  if (!common::activity::enabled()) return nullptr;
  auto observed = std::make_shared<ObservedLaunch>();
  observed->run.kernel = kernel_name ? kernel_name : "";
  observed->run.grid = {launch.grid.x, launch.grid.y, launch.grid.z};
  observed->run.block = {launch.block.x, launch.block.y, launch.block.z};
  observed->blocks = launch.blocks;
  return observed;
}

void blocks_ran(Launch& launch, std::int64_t start, std::uint64_t blocks) {
  const std::int64_t end = common::activity::now();
  ObservedLaunch& o = *launch.observed;
  {
    std::lock_guard lock(o.mu);
    o.run.workers.push_back({worker_number(), start, end, blocks});
    o.blocks_reported += blocks;
    if (o.blocks_reported < o.blocks) return;
  }
  // Every block has run: this worker reports last, and the others are done
  // with the record.
  common::activity::LaunchRun& run = o.run;
  std::sort(run.workers.begin(), run.workers.end(),
            [](const auto& a, const auto& b) { return a.worker < b.worker; });
  run.start = run.workers.front().start;
  run.end = run.workers.front().end;
  for (const auto& w : run.workers) {
    run.start = std::min(run.start, w.start);
    run.end = std::max(run.end, w.end);
  }
  run.form = form_name(launch);
  common::activity::launch_finished(run);
}

}  // namespace gpu_runtime::cpu

namespace gpu_runtime::common::back_end {

std::string device_description() {
  const int workers = cpu::launch_engine().workers();
  return "CPU device, " + std::to_string(workers) + (workers == 1 ? " worker" : " workers");
}

}  // namespace gpu_runtime::common::back_end
