// Fault injection (CUDART_FAIL=<call>:<n>[,<call>:<n>...]): the n-th call,
// counted from 1, of a runtime or timer function fails with its natural status.
#pragma once

#include <string_view>

namespace gpu_runtime::common {

/// Counts one call of `call` and says whether this call must fail.
/// Thread-safe. Calls not named in CUDART_FAIL never fail.
bool inject_failure(std::string_view call);

}  // namespace gpu_runtime::common
