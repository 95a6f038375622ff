// The runtime's statuses: their numbers (the API's cudaError values, which
// the common code cannot name, being built without API types) and their
// message texts.
#pragma once

namespace gpu_runtime::common {

enum Status : int {
  kSuccess = 0,
  kInvalidValue = 1,
  kMemoryAllocation = 2,
  kInitializationError = 3,
  kInvalidConfiguration = 9,
  kInvalidDevicePointer = 17,
  kInvalidMemcpyDirection = 21,
  kInsufficientDriver = 35,
  /// cudaSetupArgument or cudaLaunch without a cudaConfigureCall before it.
  kNotConfigured = 52,
  kInvalidDeviceFunction = 98,
  kNoDevice = 100,
  kInvalidDevice = 101,
  kIllegalAddress = 700,
  kLaunchFailure = 719,
};

/// The runtime's message for a status; unknown statuses get a text of their own.
const char* status_text(int status);

}  // namespace gpu_runtime::common
