// The runtime's environment values: the input holds the values of the six
// CUDART_ variables, separated by NUL bytes (a missing part leaves its
// variable unset). Whatever they hold, every setting ends inside its bounds,
// and a value refused is reported.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/environment.h"
#include "common/fault_injection.h"

namespace {

const char* const kNames[] = {"CUDART_TRACE", "CUDART_FAIL", "CUDART_DEVICES",
                              "CUDART_DEVICE_CC", "CUDART_WORKERS", "CUDART_BARRIERS"};
std::vector<std::string> values;

const char* lookup(const char* name) {
  for (size_t i = 0; i < values.size() && i < 6; i++)
    if (std::string(name) == kNames[i]) return values[i].c_str();
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace gpu_runtime::common;
  values.clear();
  values.emplace_back();
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0) values.emplace_back();
    else values.back() += static_cast<char>(data[i]);
  }
  std::string complaints;
  const Environment env = parse_environment(&lookup, complaints);
  if (env.device_count < 0 || env.device_count > kMaxDevices) std::abort();
  if (env.cc_major < 0 || env.cc_major > kMaxCcMajor || env.cc_minor < 0 || env.cc_minor > kMaxCcMinor) std::abort();
  if (env.workers < 1 || env.workers > kMaxWorkers) std::abort();
  if (env.fail_list != (values.size() > 1 ? values[1] : std::string())) std::abort();

  if (values.size() > 1) {
    std::string complaint;
    const auto planned = parse_fail_list(values[1], complaint);
    if (!planned && complaint.empty()) std::abort();
    if (planned)
      for (const PlannedFailure& f : *planned)
        if (f.second < 1 || f.second > kMaxFailCall) std::abort();
  }
  return 0;
}
