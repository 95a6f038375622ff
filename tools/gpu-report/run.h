// One program run as its trace (CUDART_TRACE) and, when given, its timeline
// (CUDART_TIMELINE) tell it: the launches, with the tracker registrations in
// force at each, the copies, the host calls and the device memory; and the
// timeline's tracks and spans. The trace is authoritative for what happened,
// the timeline for when.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace gpu_report {

/// A file that cannot be read or does not hold what it should; the message
/// names the file (and line) and the problem.
class ReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A tracker registration as the trace shows it.
struct Registration {
  bool in_allocation = false;  ///< devBase lies in a known allocation
  std::uint64_t alloc = 0;     ///< its index
  std::int64_t offset = 0;     ///< devBase's byte offset in it
  std::int64_t element_size = 0;
  std::int64_t start[4] = {}, end[4] = {};
  bool operator==(const Registration&) const = default;
};

/// The footprint summary a traced launch carries.
struct TrackerSummary {
  std::uint64_t registrations = 0, ctas = 0, bytes = 0, covered_bytes = 0, overlap_bytes = 0, out_of_bounds = 0,
                empty = 0;
  bool complete = true;
};

/// Counts a checked build measured of a launch's accesses (CUDART_FOOTPRINT=1):
/// elements touched within the CTA's registered ranges, outside them, and
/// named but never touched; CTAs with an element outside; bytes read by two
/// or more CTAs and written by none; bytes touched by two or more CTAs and
/// written by at least one.
struct MeasuredCounts {
  std::uint64_t inside = 0, outside = 0, unaccessed = 0, ctas_outside = 0, shared_read_bytes = 0,
                write_conflict_bytes = 0;
};

/// One allocation as the launch's "measured" record shows it.
struct MeasuredBuffer {
  std::uint64_t alloc = 0, registrations = 0;
  std::int64_t element_size = 0;
  std::uint64_t touched_bytes = 0, written_bytes = 0;
  MeasuredCounts counts;
  /// Bytes a CTA touched, [first, end) from the allocation's base.
  struct Range {
    std::uint64_t cta = 0;
    std::int64_t first = 0, end = 0;
  };
  std::vector<Range> ranges;      ///< listed for registered buffers only
  bool ranges_complete = true;    ///< false: the runtime listed only the first of them
  bool ranges_kept = true;        ///< false: the trace listed them but the reader kept none (too many in the run)
};

struct Measured {
  MeasuredCounts counts;
  bool complete = true;  ///< false: the runtime did not resolve the registrations CTA by CTA
  std::vector<MeasuredBuffer> buffers;
  /// The buffer of allocation `alloc`, or null.
  const MeasuredBuffer* buffer(std::uint64_t alloc) const {
    for (const MeasuredBuffer& b : buffers)
      if (b.alloc == alloc) return &b;
    return nullptr;
  }
};

/// A span on one of the timeline's tracks, in nanoseconds.
struct Span {
  std::int64_t start = 0, end = 0;
  std::string name;
  std::string category;  ///< "api", "launch", "blocks", "copy"
  std::int64_t launch = -1;  ///< the launch it belongs to ("launch" and "blocks")
  std::string detail;    ///< more for a tooltip
};

struct Track {
  int process = 0, thread = 0;  ///< pid and tid
  std::string name;
  std::vector<Span> spans;
};

/// A launch that started (status 0).
struct Launch {
  std::string kernel;  ///< mangled
  unsigned grid[3] = {1, 1, 1}, block[3] = {1, 1, 1};
  std::vector<Registration> registrations;  ///< in force when it was made
  std::optional<TrackerSummary> summary;
  std::optional<Measured> measured;  ///< only from a checked build run with CUDART_FOOTPRINT=1
  // From the timeline:
  bool timed = false;
  std::int64_t start = 0, end = 0;
  std::string form;  ///< how the CPU device ran it; empty when not known
  std::uint64_t blocks() const { return std::uint64_t{grid[0]} * grid[1] * grid[2]; }
};

/// A copy that succeeded. `direction`: "host to device", "device to host",
/// "device to device" or "host to host".
struct Copy {
  std::string direction;
  std::uint64_t bytes = 0;
  bool timed = false;
  std::int64_t start = 0, end = 0;
};

struct CallCount {
  std::uint64_t count = 0;
  bool timed = false;
  std::int64_t total = 0;  ///< summed over the timeline's spans of this call
};

struct Run {
  std::string trace_path, timeline_path;
  std::map<std::uint64_t, std::uint64_t> allocation_bytes;  ///< by allocation index
  std::vector<Launch> launches;
  std::vector<Copy> copies;
  std::map<std::string, CallCount> calls;
  std::uint64_t peak_memory = 0;
  bool trace_ended = false;  ///< the trace's exit line is there

  bool has_timeline = false;
  std::string device;              ///< the timeline's label of the device
  std::vector<Track> tracks;       ///< host threads first, then the stream, then workers
  std::int64_t timeline_end = 0;   ///< the latest end of any span
  /// What did not add up between the two files, or was cut short.
  std::vector<std::string> warnings;
};

/// Measured ranges kept over a whole run; a launch's ranges past this are
/// left out (MeasuredBuffer::ranges_kept).
inline constexpr std::size_t kMaxKeptMeasuredRanges = std::size_t{1} << 22;

/// Reads a run; throws ReportError when a file cannot be read or is not a
/// trace (or a timeline).
Run read_run(const std::string& trace_path, const std::optional<std::string>& timeline_path);

/// The direction of a trace's cudaMemcpy line, from its "dst" and "src".
std::string copy_direction(bool dst_device, bool src_device);

}  // namespace gpu_report
