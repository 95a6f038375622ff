// The one header a program includes: the runtime API, the kernel dialect, the
// CTA tracker calls, the launch glue, device-code registration, the checked
// call helpers, checked host allocation and file input and output. With nvcc
// the vendor runtime provides the API and the dialect, and our thin layer the
// calls it lacks.
#pragma once

#ifdef __CUDACC__
#include <cuda_runtime.h>
#include "gpu_runtime/legacy_api.h"
#include "gpu_runtime/device_intrinsics.h"
#else
#include "gpu_runtime/types.h"
#include "gpu_runtime/host_api.h"
#include "gpu_runtime/device.h"
#endif

#include "gpu_runtime/tracker.h"
#include "gpu_runtime/launch.h"
#include "gpu_runtime/registration.h"
#include "gpu_runtime/check.h"
#include "gpu_runtime/host_memory.h"
#include "gpu_runtime/file_io.h"
