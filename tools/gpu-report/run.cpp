#include "run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "json.h"

namespace gpu_report {

namespace {

std::string read_whole(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ReportError("cannot open " + std::string(what) + " '" + path + "': " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ReportError("cannot read " + std::string(what) + " '" + path + "'");
  return text.str();
}

void read_triple(const Json& j, unsigned out[3]) {
  for (std::size_t i = 0; i < 3 && i < j.items().size(); ++i)
    out[i] = static_cast<unsigned>(std::max(0LL, j.items()[i].integer()));
}

std::uint64_t count(const Json& j) { return static_cast<std::uint64_t>(std::max(0LL, j.integer())); }

// Microseconds (the trace-event unit) to nanoseconds.
std::int64_t nanoseconds(const Json& us) { return std::llround(us.number() * 1000.0); }

MeasuredCounts measured_counts(const Json& j) {
  return MeasuredCounts{count(j["inside"]),       count(j["outside"]),           count(j["unaccessed"]),
                        count(j["ctas_outside"]), count(j["shared_read_bytes"]), count(j["write_conflict_bytes"])};
}

// A launch's "measured" object. Its ranges are kept while the run's total
// stays within kMaxKeptMeasuredRanges; ranges that are not [cta, first, end]
// with end past first are passed over.
Measured read_measured(const Json& j, std::size_t& kept) {
  Measured m;
  m.counts = measured_counts(j);
  m.complete = j["complete"].boolean(true);
  for (const Json& b : j["buffers"].items()) {
    MeasuredBuffer buffer;
    buffer.alloc = count(b["alloc"]);
    buffer.registrations = count(b["registrations"]);
    buffer.element_size = b["element_size"].integer();
    buffer.touched_bytes = count(b["touched_bytes"]);
    buffer.written_bytes = count(b["written_bytes"]);
    buffer.counts = measured_counts(b);
    buffer.ranges_complete = b["ranges_complete"].boolean(true);
    const std::vector<Json>& ranges = b["ranges"].items();
    if (kept + ranges.size() > kMaxKeptMeasuredRanges) {
      buffer.ranges_kept = ranges.empty();
    } else {
      buffer.ranges.reserve(ranges.size());
      for (const Json& r : ranges) {
        const std::vector<Json>& v = r.items();
        if (v.size() != 3 || v[0].integer(-1) < 0 || !v[1].is_number() || !v[2].is_number()) continue;
        const MeasuredBuffer::Range range{static_cast<std::uint64_t>(v[0].integer()), v[1].integer(), v[2].integer()};
        if (range.end > range.first) buffer.ranges.push_back(range);
      }
      kept += buffer.ranges.size();
    }
    m.buffers.push_back(std::move(buffer));
  }
  return m;
}

// Trace lines: what the runtime did, call by call.
void read_trace(Run& run) {
  const std::string text = read_whole(run.trace_path, "trace");
  std::vector<Registration> registrations;
  std::map<std::uint64_t, std::uint64_t> live;  // allocation index -> bytes, while allocated
  std::uint64_t in_use = 0;
  std::size_t line_number = 0, lines = 0, measured_ranges = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + begin, end - begin);
    begin = end + 1;
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    Json j;
    try {
      j = Json::parse(line);
    } catch (const JsonError& e) {
      throw ReportError(run.trace_path + ":" + std::to_string(line_number) + ": malformed JSON (" + e.what() +
                        "): not a trace written by CUDART_TRACE");
    }
    if (!j["call"].is_string() && !j["event"].is_string())
      throw ReportError(run.trace_path + ":" + std::to_string(line_number) +
                        ": a line without \"call\" or \"event\": not a trace written by CUDART_TRACE");
    ++lines;
    if (j["event"].str() == "exit") {
      run.trace_ended = true;
      continue;
    }
    const std::string& call = j["call"].str();
    ++run.calls[call].count;
    const bool ok = j["status"].integer(-1) == 0;
    if (call == "cudaMalloc" && ok && j["alloc"].is_number()) {
      const std::uint64_t index = count(j["alloc"]), bytes = count(j["bytes"]);
      run.allocation_bytes[index] = bytes;
      live[index] = bytes;
      in_use += bytes;
      run.peak_memory = std::max(run.peak_memory, in_use);
    } else if (call == "cudaFree" && ok && j["ptr"].is_object() && j["ptr"]["offset"].integer(-1) == 0) {
      const auto it = live.find(count(j["ptr"]["alloc"]));
      if (it != live.end()) {
        in_use -= it->second;
        live.erase(it);
      }
    } else if (call == "cudaSetCTATracker") {
      // Recorded whatever it names, unless fault injection failed the call:
      // status 1 with a valid element size can only be that.
      const std::int64_t element_size = j["elementSize"].integer();
      if (j["status"].integer() == 1 && element_size > 0) continue;
      Registration r;
      r.element_size = element_size;
      if (j["devBase"].is_object()) {
        r.in_allocation = true;
        r.alloc = count(j["devBase"]["alloc"]);
        r.offset = j["devBase"]["offset"].integer();
      }
      for (std::size_t i = 0; i < 4; ++i) {
        if (i < j["start"].items().size()) r.start[i] = j["start"].items()[i].integer();
        if (i < j["end"].items().size()) r.end[i] = j["end"].items()[i].integer();
      }
      registrations.push_back(r);
    } else if (call == "cudaFlushCTATracker" && ok) {
      registrations.clear();
    } else if (call == "cudaLaunch" && ok) {
      Launch l;
      l.kernel = j["kernel"].str();
      read_triple(j["grid"], l.grid);
      read_triple(j["block"], l.block);
      l.registrations = registrations;
      const Json& t = j["tracker"];
      if (t.is_object()) {
        l.summary = TrackerSummary{count(t["registrations"]), count(t["ctas"]),          count(t["bytes"]),
                                   count(t["covered_bytes"]), count(t["overlap_bytes"]), count(t["out_of_bounds"]),
                                   count(t["empty"]),         t["complete"].boolean(true)};
      }
      if (j["measured"].is_object()) l.measured = read_measured(j["measured"], measured_ranges);
      run.launches.push_back(std::move(l));
    } else if (call == "cudaMemcpy" && ok) {
      const long long kind = j["kind"].integer(-1);
      bool dst_device = kind == 1 || kind == 3, src_device = kind == 2 || kind == 3;
      if (kind < 0 || kind > 3) {  // cudaMemcpyDefault: the sides in an allocation are the device's
        dst_device = j["dst"].is_object();
        src_device = j["src"].is_object();
      }
      run.copies.push_back(Copy{copy_direction(dst_device, src_device), count(j["bytes"]), false, 0, 0});
    }
  }
  if (lines == 0) throw ReportError(run.trace_path + ": the trace is empty");
  if (!run.trace_ended)
    run.warnings.push_back("the trace has no exit line: the program did not reach its normal exit");
}

// The timeline: when each call, launch, worker span and copy ran.
void read_timeline(Run& run) {
  const std::string text = read_whole(run.timeline_path, "timeline");
  std::vector<Json> events;
  bool complete = false;
  try {
    events = Json::parse_array(text, complete);
  } catch (const JsonError& e) {
    throw ReportError(run.timeline_path + ": malformed JSON at byte " + std::to_string(e.offset()) + " (" +
                      e.what() + "): not a timeline written by CUDART_TIMELINE");
  }
  run.has_timeline = true;
  if (!complete) run.warnings.push_back("the timeline ends early: the program did not reach its normal exit");

  std::map<std::pair<int, int>, Track> tracks;
  auto track = [&](const Json& e) -> Track& {
    const int process = static_cast<int>(e["pid"].integer()), thread = static_cast<int>(e["tid"].integer());
    Track& t = tracks[{process, thread}];
    t.process = process;
    t.thread = thread;
    return t;
  };
  std::size_t launch_events = 0, copy_events = 0;
  bool launch_mismatch = false, copy_mismatch = false;
  for (const Json& e : events) {
    if (!e.is_object()) throw ReportError(run.timeline_path + ": an event is not an object: not a timeline");
    const std::string& phase = e["ph"].str();
    if (phase == "M") {
      if (e["name"].str() == "thread_name") track(e).name = e["args"]["name"].str();
      if (e["name"].str() == "process_labels" && e["pid"].integer() == 2) run.device = e["args"]["labels"].str();
      continue;
    }
    if (phase != "X") continue;
    Span s;
    s.start = nanoseconds(e["ts"]);
    s.end = s.start + nanoseconds(e["dur"]);
    s.name = e["name"].str();
    s.category = e["cat"].str();
    const Json& args = e["args"];
    run.timeline_end = std::max(run.timeline_end, s.end);
    if (s.category == "api") {
      CallCount& c = run.calls[s.name];
      c.timed = true;
      c.total += s.end - s.start;
      if (args["kernel"].is_string()) s.detail = args["kernel"].str();
      if (args["bytes"].is_number()) s.detail = std::to_string(count(args["bytes"])) + " bytes";
    } else if (s.category == "launch") {
      s.launch = args["launch"].integer(-1);
      const std::size_t i = launch_events++;
      if (i < run.launches.size() && s.launch == static_cast<long long>(i) &&
          args["kernel"].str() == run.launches[i].kernel) {
        Launch& l = run.launches[i];
        l.timed = args["timed"].boolean(true);
        l.start = s.start;
        l.end = s.end;
        l.form = args["form"].str();
      } else {
        launch_mismatch = true;
      }
    } else if (s.category == "blocks") {
      s.launch = args["launch"].integer(-1);
      s.detail = std::to_string(count(args["blocks"])) + " blocks";
    } else if (s.category == "copy") {
      const std::size_t i = copy_events++;
      s.detail = std::to_string(count(args["bytes"])) + " bytes";
      if (i < run.copies.size() && run.copies[i].bytes == count(args["bytes"]) &&
          run.copies[i].direction == args["direction"].str()) {
        run.copies[i].timed = true;
        run.copies[i].start = s.start;
        run.copies[i].end = s.end;
      } else {
        copy_mismatch = true;
      }
    }
    track(e).spans.push_back(std::move(s));
  }
  if (launch_mismatch || launch_events != run.launches.size())
    run.warnings.push_back("the timeline shows " + std::to_string(launch_events) + " launches and the trace " +
                           std::to_string(run.launches.size()) + ", or not the same kernels: are they of one run?");
  if (copy_mismatch || copy_events != run.copies.size())
    run.warnings.push_back("the timeline shows " + std::to_string(copy_events) + " copies and the trace " +
                           std::to_string(run.copies.size()) + ", or not the same bytes: are they of one run?");

  for (auto& [key, t] : tracks) {
    if (t.name.empty()) t.name = (t.process == 1 ? "host " : "device ") + std::to_string(t.thread);
    std::stable_sort(t.spans.begin(), t.spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    run.tracks.push_back(std::move(t));
  }
}

}  // namespace

std::string copy_direction(bool dst_device, bool src_device) {
  if (dst_device) return src_device ? "device to device" : "host to device";
  return src_device ? "device to host" : "host to host";
}

Run read_run(const std::string& trace_path, const std::optional<std::string>& timeline_path) {
  Run run;
  run.trace_path = trace_path;
  read_trace(run);
  if (timeline_path) {
    run.timeline_path = *timeline_path;
    read_timeline(run);
  }
  return run;
}

}  // namespace gpu_report
