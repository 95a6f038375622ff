// What the tests of split_barriers on source snippets share: one-file units,
// a kernel around a body, and reading the generated code.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>

#include "splitter.h"

namespace split_snippets {

/// The report line of the kernel `kernel` wraps when it is split.
inline const std::string kSplit = "k.cu: kernel k: split at its barriers";

/// Splits a unit of one file, k.cu.
inline split_barriers::SplitOutcome split(const std::string& text) {
  return split_barriers::split_translation_unit({split_barriers::SourceFile{"k.cu", text, {}}});
}

/// A kernel named k with these parameters around `body`.
inline std::string kernel(const std::string& body, const std::string& params = "int* out, int n") {
  return "__global__ void k(" + params + ") {\n" + body + "\n}\n";
}

/// How often `part` stands in `text`, overlaps counted.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

/// True when a later region of the generated code can name `local`: it is
/// kept per thread, or declared afresh (computed again, not bound by
/// reference) there.
inline bool reaches_later_regions(const std::string& code, const std::string& local) {
  if (code.find(local + "_per_thread_[") != std::string::npos) return true;
  std::istringstream lines(code);
  for (std::string line; std::getline(lines, line);)
    if (line.find("[[maybe_unused]]") != std::string::npos && line.find(" " + local + " = ") != std::string::npos &&
        line.find("& " + local) == std::string::npos)
      return true;
  return false;
}

}  // namespace split_snippets
