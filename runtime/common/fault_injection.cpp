#include "common/fault_injection.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "common/environment.h"

namespace gpu_runtime::common {

namespace {

// The calls that can be made to fail; any other name makes CUDART_FAIL malformed.
const std::set<std::string, std::less<>>& failable_calls() {
  static const std::set<std::string, std::less<>> names{
      "cudaMalloc", "cudaFree", "cudaMemcpy", "cudaLaunch", "cudaConfigureCall",
      "cudaSetupArgument", "cudaThreadSynchronize", "cudaGetDeviceCount",
      "cudaGetDeviceProperties", "cudaSetDevice", "cudaSetCTATracker", "cudaFlushCTATracker",
      "cutCreateTimer", "cutDeleteTimer", "cutStartTimer", "cutStopTimer", "cutResetTimer"};
  return names;
}

class FaultPlan {
 public:
  FaultPlan() {
    const std::string& list = environment().fail_list;
    if (list.empty()) return;
    std::string complaint;
    if (auto planned = parse_fail_list(list, complaint)) planned_ = std::move(*planned);
    else std::fprintf(stderr, "gpu runtime: %s\n", complaint.c_str());
  }

  bool count_call(std::string_view call) {
    if (planned_.empty()) return false;
    std::lock_guard lock(mu_);
    auto it = calls_.find(call);
    if (it == calls_.end()) it = calls_.emplace(std::string(call), 0).first;
    const long n = ++it->second;
    return planned_.count(std::pair<std::string, long>(std::string(call), n)) > 0;
  }

 private:
  std::set<PlannedFailure, std::less<>> planned_;
  std::map<std::string, long, std::less<>> calls_;
  std::mutex mu_;
};

}  // namespace

std::optional<std::set<PlannedFailure, std::less<>>> parse_fail_list(const std::string& list,
                                                                     std::string& complaint) {
  std::set<PlannedFailure, std::less<>> planned;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string entry = list.substr(start, comma - start);
    const size_t colon = entry.find(':');
    const auto count = colon == std::string::npos ? std::nullopt : parse_count(entry.substr(colon + 1));
    if (!count || *count == 0 || *count > kMaxFailCall || !failable_calls().count(entry.substr(0, colon))) {
      complaint = "ignoring malformed CUDART_FAIL value '" + list + "' (entry '" + entry + "')";
      return std::nullopt;
    }
    planned.emplace(entry.substr(0, colon), *count);
    start = comma + 1;
  }
  return planned;
}

bool inject_failure(std::string_view call) {
  static FaultPlan plan;
  return plan.count_call(call);
}

}  // namespace gpu_runtime::common
