#pragma once

namespace gpu_runtime::common {

/// The runtime's message for a status; unknown statuses get a text of their own.
const char* status_text(int status);

}  // namespace gpu_runtime::common
