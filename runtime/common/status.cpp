#include "common/status.h"

namespace gpu_runtime::common {

const char* status_text(int status) {
  switch (status) {
    case kSuccess: return "no error";
    case kInvalidValue: return "invalid argument";
    case kMemoryAllocation: return "out of memory";
    case kInitializationError: return "initialization error";
    case kInvalidConfiguration: return "invalid configuration argument";
    case kInvalidDevicePointer: return "invalid device pointer";
    case kInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case kInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
    case kNotConfigured: return "__global__ function call is not configured";
    case kInvalidDeviceFunction: return "invalid device function";
    case kNoDevice: return "no CUDA-capable device is detected";
    case kInvalidDevice: return "invalid device ordinal";
    case kIllegalAddress: return "an illegal memory access was encountered";
    case kLaunchFailure: return "unspecified launch failure";
    default: return "unrecognized error code";
  }
}

}  // namespace gpu_runtime::common
