#include "common/status_text.h"

namespace gpu_runtime::common {

const char* status_text(int status) {
  switch (status) {
    case 0: return "no error";
    case 1: return "invalid argument";
    case 2: return "out of memory";
    case 3: return "initialization error";
    case 9: return "invalid configuration argument";
    case 17: return "invalid device pointer";
    case 21: return "invalid copy direction for memcpy";
    case 35: return "CUDA driver version is insufficient for CUDA runtime version";
    case 52: return "__global__ function call is not configured";
    case 98: return "invalid device function";
    case 100: return "no CUDA-capable device is detected";
    case 101: return "invalid device ordinal";
    case 700: return "an illegal memory access was encountered";
    case 719: return "unspecified launch failure";
    default: return "unrecognized error code";
  }
}

}  // namespace gpu_runtime::common
