// Fault injection (CUDART_FAIL=<call>:<n>[,<call>:<n>...]): the n-th call,
// counted from 1, of a runtime or timer function fails with its natural status.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace gpu_runtime::common {

/// Counts one call of `call` and says whether this call must fail.
/// Thread-safe. Calls not named in CUDART_FAIL never fail.
bool inject_failure(std::string_view call);

/// A planned failure: the n-th call (from 1) of the named function.
using PlannedFailure = std::pair<std::string, long>;

/// Parses a CUDART_FAIL list, "<call>:<n>[,<call>:<n>...]" with n from 1 to
/// kMaxFailCall: the failures it plans, or nothing and `complaint` saying
/// which entry is wrong.
std::optional<std::set<PlannedFailure, std::less<>>> parse_fail_list(const std::string& list,
                                                                     std::string& complaint);

}  // namespace gpu_runtime::common
