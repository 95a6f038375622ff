// Running a split probe program as a user runs it, in every barrier mode,
// and reading split_barriers' verdicts on its source.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "program_runner.h"

namespace split_probe_runs {

/// A launch's block and grid.
struct Shape {
  unsigned bx, by, bz, gx, gy, gz;
  unsigned threads() const { return bx * by * bz; }
  unsigned blocks() const { return gx * gy * gz; }
};

std::ostream& operator<<(std::ostream& os, const Shape& s);

/// "7x3x2_in_2x1x2": a test name for the shape.
std::string shape_name(const ::testing::TestParamInfo<Shape>& info);

/// How a run treats barriers (CUDART_BARRIERS) and how many workers it has.
struct Mode {
  const char* barriers;
  const char* workers;
};

/// Region forms and fibers, on one and two workers.
extern const std::vector<Mode> kModes;

std::string describe(const Mode& mode);

/// What one run of a probe printed: each launch's statuses and each array.
struct ProbeOutput {
  test_helpers::ProgramResult result;
  std::vector<std::vector<long long>> statuses;  ///< {launch, sync} per launch
  std::map<std::string, std::vector<double>> arrays;
};

/// Runs `scenario` of `probe` over `shape` in `mode`.
ProbeOutput run_probe(const std::string& probe, const std::string& scenario, const Shape& shape, const Mode& mode);

/// The values the probe printed for `name`, empty when it printed none.
const std::vector<double>& values_of(const ProbeOutput& run, const std::string& name);

/// Compares element by element and names the first few differences.
void expect_values(const std::vector<double>& actual, const std::vector<double>& expected, const std::string& what);

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
