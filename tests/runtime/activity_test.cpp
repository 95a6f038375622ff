// The profile (CUDART_PROFILE) and the timeline (CUDART_TIMELINE) of real
// program runs, checked against the trace of the same run: every count and
// byte the profile shows, and a timeline that is trace-event JSON whose spans
// nest and whose launches, worker spans, copies and calls are the trace's.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

using test_helpers::Json;
using test_helpers::read_file;
using test_helpers::split_lines;
using test_helpers::TempDir;
using test_helpers::write_file;

std::string readable(const std::string& mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                              &std::free);
  return status == 0 ? std::string(text.get()) : mangled;
}

std::string dims(const Json& triple) {
  const auto v = triple.integers();
  return std::to_string(v[0]) + "x" + std::to_string(v[1]) + "x" + std::to_string(v[2]);
}

// "48.123ms" and the like, in nanoseconds; and half the last printed digit.
std::pair<double, double> parse_duration(const std::string& text) {
  std::smatch m;
  EXPECT_TRUE(std::regex_match(text, m, std::regex(R"(([0-9.]+)(ns|us|ms|s))"))) << text;
  if (m.empty()) return {0, 0};
  const double scale = m[2] == "ns" ? 1 : m[2] == "us" ? 1e3 : m[2] == "ms" ? 1e6 : 1e9;
  return {std::stod(m[1]) * scale, m[2] == "ns" ? 0.5 : 0.0005 * scale};
}

// What a profile says, section by section.
struct Profile {
  struct Kernel {
    std::uint64_t launches = 0;
    std::string total, grid, block, form;
  };
  std::map<std::string, Kernel> kernels;  ///< by readable name
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> copies;  ///< direction: count, bytes
  std::uint64_t peak = 0;
  std::map<std::string, std::uint64_t> calls;
};

Profile parse_profile(const std::string& text) {
  Profile p;
  std::string section;
  const std::regex kernel(R"(\s*\S+\s+(\S+)\s+(\d+)\s+\S+\s+\S+\s+\S+\s+(\d+x\d+x\d+)\s+(\d+x\d+x\d+)\s+)"
                          R"((thread loops|region loops|fibers|-)\s+(.+))");
  const std::regex copy(R"(\s*\S+\s+\S+\s+(\d+)\s+(\d+)\s+\S+\s+(.+))");
  const std::regex memory(R"(\s*peak (\d+) bytes .*)");
  const std::regex call(R"(\s*\S+\s+\S+\s+(\d+)\s+\S+\s+(\S+))");
  std::smatch m;
  for (const std::string& line : split_lines(text)) {
    if (line == "Kernels" || line == "Copies" || line == "Device memory" || line == "API calls") {
      section = line;
    } else if (line.empty() || line.find("Time(%)") != std::string::npos) {
      continue;
    } else if (section == "Kernels" && std::regex_match(line, m, kernel)) {
      p.kernels[m[6]] = {std::stoull(m[2]), m[1], m[3], m[4], m[5]};
    } else if (section == "Copies" && std::regex_match(line, m, copy)) {
      p.copies[m[3]] = {std::stoull(m[1]), std::stoull(m[2])};
    } else if (section == "Device memory" && std::regex_match(line, m, memory)) {
      p.peak = std::stoull(m[1]);
    } else if (section == "API calls" && std::regex_match(line, m, call)) {
      p.calls[m[2]] = std::stoull(m[1]);
    } else if (!section.empty() && line != "  none") {
      ADD_FAILURE() << "unexpected profile line in " << section << ": " << line;
    }
  }
  return p;
}

std::string direction(const Json& copy) {
  const long long kind = copy["kind"].integer();
  const bool to_device = kind == 1 || kind == 3, from_device = kind == 2 || kind == 3;
  if (to_device) return from_device ? "device to device" : "host to device";
  return from_device ? "device to host" : "host to host";
}

// Timeline spans in integer nanoseconds.
struct Span {
  long long start, end;
  const Json* event;
};
long long ns(const Json& us) { return std::llround(us.number() * 1000); }

// An unoptimised build leaves the kernels its pass cannot transform on
// fibers, whatever an optimised build makes of them.
#ifdef __OPTIMIZE__
constexpr bool kFibersInstead = false;
#else
constexpr bool kFibersInstead = true;
#endif

struct Case {
  const char* name;
  const char* program;
  std::vector<std::string> args;
  std::map<std::string, std::string> env;
  const char* form;  ///< the form every kernel runs in, in an optimised build
  bool ran_in(const std::string& form) const { return form == this->form || (kFibersInstead && form == "fibers"); }
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ProfileAndTimeline : public ::testing::TestWithParam<Case> {};

TEST_P(ProfileAndTimeline, AgreeWithTheTraceOfTheSameRun) {
  const Case& c = GetParam();
  TempDir dir;
  write_file(dir / "graph.txt", "4\n0 2\n2 1\n3 0\n3 0\n0\n3\n1 1\n2 1\n3 1\n");
  std::map<std::string, std::string> env = c.env;
  env["CUDART_TRACE"] = (dir / "trace.jsonl").string();
  env["CUDART_TIMELINE"] = (dir / "timeline.json").string();
  env["CUDART_WORKERS"] = "2";
  const bool to_stderr = env.count("CUDART_PROFILE") && env["CUDART_PROFILE"] == "1";
  if (!to_stderr) env["CUDART_PROFILE"] = (dir / "profile.txt").string();
  const auto result = test_helpers::run_program(test_helpers::program_path(c.program), c.args, dir.path(), env);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  const std::string profile_text = to_stderr ? result.err : read_file(dir / "profile.txt");
  if (!to_stderr) EXPECT_EQ(result.err, "");
  ASSERT_EQ(profile_text.rfind("==gpu runtime profile== CPU device, 2 workers; ", 0), 0u) << profile_text;
  const Profile profile = parse_profile(profile_text);
  const std::vector<Json> trace = test_helpers::read_trace((dir / "trace.jsonl").string());

  // What the trace says happened.
  std::vector<const Json*> launches, copies;
  std::map<std::string, std::uint64_t> calls, launch_counts;
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> copy_totals;
  std::map<long long, long long> live;
  long long in_use = 0, peak = 0;
  for (const Json& line : trace) {
    if (!line.has("call")) continue;
    const std::string& name = line["call"].str();
    ++calls[name];
    const bool ok = line.has("status") && line["status"].integer() == 0;
    if (name == "cudaLaunch" && ok) {
      launches.push_back(&line);
      ++launch_counts[readable(line["kernel"].str())];
    } else if (name == "cudaMemcpy" && ok) {
      copies.push_back(&line);
      auto& [count, bytes] = copy_totals[direction(line)];
      ++count;
      bytes += line["bytes"].integer();
    } else if (name == "cudaMalloc" && ok) {
      in_use += live[line["alloc"].integer()] = line["bytes"].integer();
      peak = std::max(peak, in_use);
    } else if (name == "cudaFree" && ok && line["ptr"].is_object()) {
      in_use -= live[line["ptr"]["alloc"].integer()];
    }
  }
  ASSERT_FALSE(launches.empty());

  // The profile's counts and bytes are the trace's.
  std::map<std::string, std::uint64_t> profile_launches;
  for (const auto& [kernel, k] : profile.kernels) {
    profile_launches[kernel] = k.launches;
    EXPECT_TRUE(c.ran_in(k.form)) << kernel << " ran in " << k.form;
  }
  EXPECT_EQ(profile_launches, launch_counts);
  for (const Json* l : launches) {
    const auto& k = profile.kernels.at(readable((*l)["kernel"].str()));
    EXPECT_EQ(k.grid, dims((*l)["grid"])) << "every launch of a kernel here has one configuration";
    EXPECT_EQ(k.block, dims((*l)["block"]));
  }
  EXPECT_EQ(profile.copies, copy_totals);
  EXPECT_EQ(profile.peak, static_cast<std::uint64_t>(peak));
  std::map<std::string, std::uint64_t> profile_calls = profile.calls;
  EXPECT_EQ(profile_calls, calls);

  // The timeline: one JSON array of trace events.
  const Json timeline = Json::parse(read_file(dir / "timeline.json"));
  ASSERT_TRUE(timeline.is_array());
  std::map<std::pair<long long, long long>, std::vector<Span>> tracks;
  std::map<std::pair<long long, long long>, std::string> track_names;
  std::vector<Span> launch_spans, copy_spans;
  std::map<long long, std::vector<Span>> worker_spans;  // by launch
  std::map<std::string, std::uint64_t> timeline_calls;
  for (const Json& e : timeline.array()) {
    ASSERT_TRUE(e.has("ph") && e.has("pid") && e.has("name"));
    const auto track = std::make_pair(e["pid"].integer(), e.has("tid") ? e["tid"].integer() : -1);
    if (e["ph"].str() == "M") {
      if (e["name"].str() == "thread_name") track_names[track] = e["args"]["name"].str();
      continue;
    }
    ASSERT_EQ(e["ph"].str(), "X");
    const Span s{ns(e["ts"]), ns(e["ts"]) + ns(e["dur"]), &e};
    ASSERT_GE(s.start, 0);
    ASSERT_GE(s.end, s.start);
    tracks[track].push_back(s);
    const std::string& cat = e["cat"].str();
    if (cat == "api") ++timeline_calls[e["name"].str()];
    if (cat == "launch") launch_spans.push_back(s);
    if (cat == "copy") copy_spans.push_back(s);
    if (cat == "blocks") worker_spans[e["args"]["launch"].integer()].push_back(s);
  }
  for (const auto& [track, spans] : tracks) {
    EXPECT_TRUE(track_names.count(track)) << "every track is named";
    // Spans on one track nest: each lies within, or wholly after, the ones before it.
    std::vector<Span> sorted = spans, open;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Span& a, const Span& b) {
      return a.start != b.start ? a.start < b.start : a.end > b.end;
    });
    for (const Span& s : sorted) {
      while (!open.empty() && open.back().end <= s.start) open.pop_back();
      if (!open.empty()) EXPECT_LE(s.end, open.back().end) << "spans overlap on track " << track_names[track];
      open.push_back(s);
    }
  }
  EXPECT_EQ(timeline_calls, calls);
  ASSERT_EQ(launch_spans.size(), launches.size());
  long long timeline_kernel_ns = 0;
  std::map<std::string, long long> kernel_ns;
  for (std::size_t i = 0; i < launches.size(); ++i) {
    const Json& args = (*launch_spans[i].event)["args"];
    EXPECT_EQ(args["launch"].integer(), static_cast<long long>(i));
    EXPECT_EQ(args["kernel"].str(), (*launches[i])["kernel"].str());
    EXPECT_EQ(args["grid"].integers(), (*launches[i])["grid"].integers());
    EXPECT_EQ(args["form"].str(), profile.kernels.at(readable(args["kernel"].str())).form);
    // A launch runs from its first worker's start to its last block's end.
    const auto& workers = worker_spans[static_cast<long long>(i)];
    ASSERT_FALSE(workers.empty());
    long long blocks = 0, first = workers[0].start, last = workers[0].end;
    for (const Span& w : workers) {
      blocks += (*w.event)["args"]["blocks"].integer();
      first = std::min(first, w.start);
      last = std::max(last, w.end);
      EXPECT_GE((*w.event)["tid"].integer(), 1);
    }
    EXPECT_EQ(blocks, args["blocks"].integer());
    EXPECT_EQ(first, launch_spans[i].start);
    EXPECT_EQ(last, launch_spans[i].end);
    kernel_ns[readable(args["kernel"].str())] += launch_spans[i].end - launch_spans[i].start;
    timeline_kernel_ns += launch_spans[i].end - launch_spans[i].start;
  }
  ASSERT_EQ(copy_spans.size(), copies.size());
  for (std::size_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ((*copy_spans[i].event)["args"]["bytes"].integer(), (*copies[i])["bytes"].integer());
    EXPECT_EQ((*copy_spans[i].event)["args"]["direction"].str(), direction(*copies[i]));
  }
  // The profile's kernel times are the timeline's launch spans, summed.
  for (const auto& [kernel, k] : profile.kernels) {
    const auto [total, slack] = parse_duration(k.total);
    EXPECT_NEAR(total, static_cast<double>(kernel_ns[kernel]), slack + 1) << kernel;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProfileAndTimeline,
    ::testing::Values(
        // A failed copy and a failed launch are calls, but neither a copy nor a launch.
        Case{"halvik_regions", "halvik", {"64", "64", "0", "15", "0", "15", "0.5", "3"},
             {{"CUDART_FAIL", "cudaMemcpy:2,cudaLaunch:3"}}, "region loops"},
        Case{"halvik_fibers", "halvik", {"64", "64", "0", "15", "0", "15", "0.5", "2"},
             {{"CUDART_BARRIERS", "fibers"}, {"CUDART_PROFILE", "1"}}, "fibers"},
        Case{"test_thread_loops", "test", {}, {}, "thread loops"},
        Case{"tessak_thread_loops", "tessak", {"graph.txt"}, {}, "thread loops"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A profile or timeline file that cannot be written is reported once, and
// the program runs on as it would without it.
TEST(ProfileAndTimeline, UnwritableFilesAreReportedAndTheProgramGoesOn) {
  for (const char* variable : {"CUDART_PROFILE", "CUDART_TIMELINE"}) {
    TempDir dir;
    const auto result = test_helpers::run_program(test_helpers::program_path("halvik"),
                                                  {"32", "32", "0", "15", "0", "15", "0.5", "1"}, dir.path(),
                                                  {{variable, (dir / "no-such-folder" / "out").string()}});
    EXPECT_EQ(result.exit_status, 0) << variable;
    EXPECT_EQ(split_lines(result.out).size(), 3u) << variable;
    ASSERT_EQ(split_lines(result.err).size(), 1u) << variable << ": " << result.err;
    EXPECT_NE(result.err.find(variable == std::string("CUDART_PROFILE") ? "profile" : "timeline"), std::string::npos);
    EXPECT_NE(result.err.find("no-such-folder"), std::string::npos);
  }
}

TEST(ProfileAndTimeline, ZeroOrEmptyMeansOff) {
  for (const char* value : {"0", ""}) {
    TempDir dir;
    const auto result = test_helpers::run_program(test_helpers::program_path("halvik"),
                                                  {"32", "32", "0", "15", "0", "15", "0.5", "1"}, dir.path(),
                                                  {{"CUDART_PROFILE", value}});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "") << "CUDART_PROFILE='" << value << "'";
  }
}

}  // namespace
