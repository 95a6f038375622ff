// Running a split probe program as a user runs it, in every barrier mode,
// and reading split_barriers' verdicts on its source.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace split_probe_runs {

/// 1-D blocks, several of them, so that a value one thread leaves to the next
/// shows in every thread but the first of each block.
inline constexpr unsigned kThreads = 6, kBlocks = 3;

/// Runs `scenario` of `probe` over kBlocks blocks of kThreads threads with
/// CUDART_BARRIERS=regions and =fibers, on one and two workers. Each run must
/// launch cleanly and print "out:" with expected(block, thread) for every
/// thread, at block * kThreads + thread.
void expect_in_every_mode(const std::string& probe, const std::string& scenario,
                          const std::function<long long(unsigned, unsigned)>& expected);

/// The thread's place in the grid.
inline long long slot(unsigned block, unsigned thread) { return (long long)block * kThreads + thread; }

/// The lines split_barriers --report prints for `source`.
std::vector<std::string> report_lines(const std::string& source);

/// `source`'s canonical path, as the report names it.
std::string report_path(const std::string& source);

}  // namespace split_probe_runs
