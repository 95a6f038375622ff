// gpu-report end to end: programs run with their trace and timeline, the tool
// writes the page, and headless Chromium opens it: every chart must be laid
// out with the rects the run calls for. Each run's screenshot is kept in the
// build folder (tests/gpu-report/). Without Chromium the browser checks skip.
// `test` runs as its checked build with CUDART_FOOTPRINT=1 where the build
// makes checked programs, so its page shows measured accesses too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;

#ifdef CHECKED_PROGRAMS
constexpr bool kCheckedPrograms = true;
#else
constexpr bool kCheckedPrograms = false;
#endif
using test_helpers::Json;
using test_helpers::ProgramResult;
using test_helpers::read_file;
using test_helpers::run_program;
using test_helpers::TempDir;
using test_helpers::write_file;

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// The attribute `name` of the first element that has it.
std::string attribute(const std::string& html, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(html, m, std::regex(" " + name + "=\"([^\"]*)\""))) return "";
  return m[1];
}

// A footprint chart's bar as the page draws it.
struct Bar {
  int row;
  double x, y, width, height;
  bool operator<(const Bar& o) const { return std::tie(row, x, width) < std::tie(o.row, o.x, o.width); }
};

// The rects of class `cls` (exactly), in page order.
std::vector<Bar> bars(const std::string& html, const std::string& cls) {
  static const std::regex rect("<rect class=\"([^\"]*)\"(?: data-row=\"(\\d+)\")? x=\"([-0-9.]+)\" y=\"([-0-9.]+)\" "
                               "width=\"([-0-9.]+)\" height=\"([-0-9.]+)\"");
  std::vector<Bar> out;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), rect); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    if (m[1] != cls) continue;
    out.push_back({m[2].matched ? std::stoi(m[2]) : -1, std::stod(m[3]), std::stod(m[4]), std::stod(m[5]),
                   std::stod(m[6])});
  }
  return out;
}

std::string unescape(std::string text) {
  for (const auto& [from, to] : {std::pair{"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
      text.replace(at, std::string(from).size(), to);
  }
  return text;
}

std::optional<fs::path> find_chromium() {
  if (const char* named = std::getenv("CHROMIUM"); named && *named) return fs::path(named);
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  for (std::size_t begin = 0; begin <= dirs.size();) {
    const std::size_t end = std::min(dirs.find(':', begin), dirs.size());
    for (const char* name : {"chromium", "chromium-browser"}) {
      const fs::path candidate = fs::path(dirs.substr(begin, end - begin)) / name;
      if (!candidate.parent_path().empty() && fs::exists(candidate)) return candidate;
    }
    begin = end + 1;
  }
  return std::nullopt;
}

// Headless Chromium with a fresh profile and nothing that reaches the network.
ProgramResult chromium(const fs::path& browser, const TempDir& dir, std::vector<std::string> action) {
  std::vector<std::string> args{"120", browser.string(), "--headless", "--no-sandbox", "--disable-gpu",
                                "--disable-quic", "--no-first-run", "--disable-background-networking",
                                "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                                "--user-data-dir=" + (dir / "chromium-profile").string()};
  args.insert(args.end(), action.begin(), action.end());
  return run_program("/usr/bin/timeout", args, dir.path());
}

struct Case {
  const char* name;
  const char* program;  ///< a program in bin/, or "probe" for the runtime probe
  std::vector<std::string> args;
  bool timeline;
  std::size_t footprints;  ///< footprint charts expected
  /// Run its checked build with CUDART_FOOTPRINT=1 (where the build has one):
  /// a program whose CTAs touch exactly what they declare.
  bool measured = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GpuReport : public ::testing::TestWithParam<Case> {};

TEST_P(GpuReport, PageHoldsEveryChartAndChromiumRendersThem) {
  const Case& c = GetParam();
  TempDir dir;
  std::map<std::string, std::string> env{{"CUDART_TRACE", (dir / "run.trace").string()}, {"CUDART_WORKERS", "2"}};
  if (c.timeline) env["CUDART_TIMELINE"] = (dir / "run.timeline").string();
  const bool measured = c.measured && kCheckedPrograms;
  if (measured) env["CUDART_FOOTPRINT"] = "1";
  const fs::path program = c.program == std::string("probe") ? fs::path(RUNTIME_PROBE)
                           : measured ? test_helpers::program_path(std::string("checked/") + c.program)
                                      : test_helpers::program_path(c.program);
  ASSERT_EQ(run_program(program, c.args, dir.path(), env).exit_status, 0);

  std::vector<std::string> args{"run.trace", "-o", "page.html"};
  if (c.timeline) args.insert(args.end(), {"--timeline", "run.timeline"});
  const ProgramResult report = run_program(test_helpers::program_path("gpu-report"), args, dir.path());
  ASSERT_EQ(report.exit_status, 0) << report.err;
  EXPECT_EQ(report.out, "page.html\n");
  EXPECT_EQ(report.err, "");
  const std::string page = read_file(dir / "page.html");

  // Self-contained: nothing to fetch.
  for (const char* fetch : {"http:", "https:", "<link", " src=", "url(", "@import"})
    EXPECT_EQ(page.find(fetch), std::string::npos) << fetch;

  // Against the trace: one launch rect per launch, one copy rect per copy,
  // a kernel row per kernel, a footprint chart per buffer with registrations.
  const auto trace = test_helpers::read_trace((dir / "run.trace").string());
  std::size_t launches = 0, copies = 0;
  std::map<std::string, int> kernels;
  const Json* tracked = nullptr;
  const Json* measurement = nullptr;
  for (const Json& line : trace) {
    if (!line.has("call") || line["status"].integer() != 0) continue;
    if (line["call"].str() == "cudaLaunch") {
      ++launches, ++kernels[line["kernel"].str()];
      if (line["tracker"]["registrations"].integer() > 0) tracked = &line["tracker"];
      if (line.has("measured")) measurement = &line["measured"];
    }
    if (line["call"].str() == "cudaMemcpy") ++copies;
  }
  EXPECT_EQ(count_of(page, "<tr class=\"kernel-row\">"), kernels.size());
  EXPECT_EQ(count_of(page, "<svg id=\"timeline\""), c.timeline ? 1u : 0u);
  EXPECT_EQ(count_of(page, "<rect class=\"span launch\""), c.timeline ? launches : 0u);
  EXPECT_EQ(count_of(page, "<rect class=\"span copy\""), c.timeline ? copies : 0u);
  if (c.timeline) EXPECT_GE(std::stoi(attribute(page, "data-tracks")), 3) << "host thread, stream, a worker";
  EXPECT_EQ(count_of(page, "<svg id=\"footprint-"), c.footprints);
  if (c.footprints > 0) {
    ASSERT_NE(tracked, nullptr);
    // The chart resolves the registrations again; its sums are the runtime's.
    EXPECT_EQ(attribute(page, "data-ctas"), std::to_string((*tracked)["ctas"].integer()));
    EXPECT_EQ(attribute(page, "data-covered-bytes"), std::to_string((*tracked)["covered_bytes"].integer()));
    EXPECT_EQ(attribute(page, "data-overlap-bytes"), std::to_string((*tracked)["overlap_bytes"].integer()));
    EXPECT_GT(count_of(page, "<rect class=\"fp-range\""), 0u);
    EXPECT_EQ(count_of(page, "<rect class=\"fp-overlap\"") > 0, (*tracked)["overlap_bytes"].integer() > 0);
  }
  ASSERT_EQ(measurement != nullptr, measured);
  if (c.footprints > 0 && !measured) {
    EXPECT_EQ(attribute(page, "data-measured-launches"), "0");
    EXPECT_EQ(count_of(page, "Accesses were not measured: run a checked build"), 1u);
    EXPECT_EQ(count_of(page, "<rect class=\"fp-measured"), 0u);
  }
  if (measured) {
    // Every CTA touched exactly its declared bytes: the measured bars lie
    // on the declared ones, row by row, within their band, and nothing is
    // marked as touched outside the declaration or by two CTAs.
    const Json& buffer = (*measurement)["buffers"][0];
    ASSERT_GT(buffer["registrations"].integer(), 0);
    EXPECT_EQ(attribute(page, "data-measured-launches"), "1");
    EXPECT_EQ(attribute(page, "data-measured-outside"), "0");
    EXPECT_EQ(attribute(page, "data-measured-overlap-bytes"), "0");
    EXPECT_EQ(attribute(page, "data-measured-partial"), "false");
    std::vector<Bar> declared = bars(page, "fp-range"), touched = bars(page, "fp-measured");
    ASSERT_FALSE(touched.empty());
    std::sort(declared.begin(), declared.end());
    std::sort(touched.begin(), touched.end());
    ASSERT_EQ(touched.size(), declared.size());
    for (std::size_t i = 0; i < touched.size(); ++i) {
      EXPECT_EQ(touched[i].row, declared[i].row);
      EXPECT_DOUBLE_EQ(touched[i].x, declared[i].x) << "row " << touched[i].row;
      EXPECT_DOUBLE_EQ(touched[i].width, declared[i].width) << "row " << touched[i].row;
      EXPECT_GT(touched[i].y, declared[i].y);
      EXPECT_LT(touched[i].y + touched[i].height, declared[i].y + declared[i].height);
    }
    EXPECT_EQ(count_of(page, "<rect class=\"fp-measured-outside\""), 0u);
    EXPECT_EQ(count_of(page, "<rect class=\"fp-measured-overlap\""), 0u);
    EXPECT_EQ(count_of(page, "1,048,576 elements touched within the CTAs' ranges, 0 outside them"), 1u);
    EXPECT_EQ(page.find("not measured"), std::string::npos);
    EXPECT_EQ(page.find("measured picture is partial"), std::string::npos);
  }

  // In the browser: every chart laid out, every rect with a size.
  const auto browser = find_chromium();
  if (!browser) GTEST_SKIP() << "chromium is not installed (scripts/install-build-deps installs it): the page was "
                                "not opened in a browser";
  const std::string url = "file://" + (dir / "page.html").string();
  const ProgramResult dom = chromium(*browser, dir, {"--dump-dom", url});
  ASSERT_EQ(dom.exit_status, 0) << dom.err;
  const std::string rendered = unescape(attribute(dom.out, "data-rendered"));
  ASSERT_FALSE(rendered.empty()) << "the page's script did not run";
  const Json charts = Json::parse(rendered);
  ASSERT_EQ(charts.size(), (c.timeline ? 1 : 0) + c.footprints);
  for (const Json& chart : charts.array()) {
    EXPECT_GT(chart["width"].integer(), 0) << chart["id"].str();
    EXPECT_GT(chart["height"].integer(), 0) << chart["id"].str();
    EXPECT_GT(chart["rects"].integer(), 0) << chart["id"].str();
    EXPECT_EQ(chart["drawn"].integer(), chart["rects"].integer()) << chart["id"].str();
  }

  const fs::path kept = fs::path(REPORT_SCREENSHOTS) / (std::string(c.name) + ".png");
  fs::create_directories(kept.parent_path());
  fs::copy_file(dir / "page.html", kept.parent_path() / (std::string(c.name) + ".html"),
                fs::copy_options::overwrite_existing);
  const ProgramResult shot =
      chromium(*browser, dir, {"--window-size=1280,1800", "--screenshot=" + kept.string(), url});
  ASSERT_EQ(shot.exit_status, 0) << shot.err;
  EXPECT_EQ(read_file(kept).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, GpuReport,
    ::testing::Values(Case{"test", "test", {}, true, 1, true},
                      Case{"tracker_overlap", "probe", {"overlap"}, true, 1},
                      Case{"halvik", "halvik", {"64", "64", "0", "15", "0", "15", "0.5", "3"}, true, 0},
                      Case{"tracker_without_timeline", "probe", {"out-of-bounds"}, false, 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A hand-made trace: four CTAs, each naming its 16 bytes of a 64-byte
// buffer; CTA 2 touches only the first half of its own, CTA 3 also touches
// bytes 8..12 of CTA 0's.
std::string measured_trace(const std::string& buffer_extra, int launches = 1, bool measured_each = true) {
  std::string trace = "{\"call\": \"cudaMalloc\", \"bytes\": 64, \"alloc\": 0, \"status\": 0}\n"
                      "{\"call\": \"cudaSetCTATracker\", \"devBase\": {\"alloc\": 0, \"offset\": 0}, "
                      "\"elementSize\": 4, \"start\": [4, 0, 0, 0], \"end\": [4, 0, 0, 4], \"status\": 0}\n";
  for (int i = 0; i < launches; ++i) {
    trace += "{\"call\": \"cudaLaunch\", \"kernel\": \"_Z4tilePf\", \"grid\": [4, 1, 1], \"block\": [4, 1, 1], "
             "\"status\": 0";
    if (i == 0 || measured_each)
      trace += ", \"measured\": {\"inside\": 14, \"outside\": 1, \"unaccessed\": 2, \"ctas_outside\": 1, "
               "\"shared_read_bytes\": 4, \"write_conflict_bytes\": 0, \"buffers\": [{\"alloc\": 0, "
               "\"registrations\": 1, \"element_size\": 4, \"touched_bytes\": 60, \"written_bytes\": 0, "
               "\"inside\": 14, \"outside\": 1, \"unaccessed\": 2, \"ctas_outside\": 1, \"shared_read_bytes\": 4, "
               "\"write_conflict_bytes\": 0, \"ranges\": [[0, 0, 16], [1, 16, 32], [2, 32, 40], [3, 8, 12], "
               "[3, 48, 64]]" + buffer_extra + "}]}";
    trace += "}\n";
  }
  return trace + "{\"event\": \"exit\", \"pending_registrations\": 0}\n";
}

std::string page_of(const TempDir& dir, const std::string& trace) {
  write_file(dir / "run.trace", trace);
  const ProgramResult r = run_program(test_helpers::program_path("gpu-report"), {"run.trace"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return read_file(dir / "run.html");
}

TEST(GpuReport, MeasuredAccessesLieOnTheirCtasRowsWithOutsideAndSharedBytesMarked) {
  TempDir dir;
  const std::string page = page_of(dir, measured_trace(""));
  // One CTA a row; 900 pixels from x = 80 over the 64 bytes.
  const auto x = [](double byte) { return 80 + byte * 900 / 64; };
  const std::vector<Bar> declared = bars(page, "fp-range");
  ASSERT_EQ(declared.size(), 4u);
  struct Expected {
    const char* cls;
    int row;
    double first, end;
  };
  const Expected expected[] = {{"fp-measured", 0, 0, 16},          {"fp-measured", 1, 16, 32},
                               {"fp-measured", 2, 32, 40},         {"fp-measured", 3, 48, 64},
                               {"fp-measured-outside", 3, 8, 12}};
  std::map<std::string, std::size_t> seen;
  for (const Expected& e : expected) {
    const std::vector<Bar> drawn = bars(page, e.cls);
    ASSERT_LT(seen[e.cls], drawn.size()) << e.cls << " row " << e.row;
    const Bar& b = drawn[seen[e.cls]++];
    EXPECT_EQ(b.row, e.row) << e.cls;
    EXPECT_NEAR(b.x, x(e.first), 0.01) << e.cls << " row " << e.row;
    EXPECT_NEAR(b.x + b.width, x(e.end), 0.01) << e.cls << " row " << e.row;
    const Bar& band = declared[static_cast<std::size_t>(e.row)];
    ASSERT_EQ(band.row, e.row);
    EXPECT_GT(b.y, band.y) << "within the row's declared band";
    EXPECT_LT(b.y + b.height, band.y + band.height);
  }
  for (const auto& [cls, n] : seen) EXPECT_EQ(bars(page, cls).size(), n) << cls;
  const std::vector<Bar> shared = bars(page, "fp-measured-overlap");
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_NEAR(shared[0].x, x(8), 0.01);
  EXPECT_NEAR(shared[0].x + shared[0].width, x(12), 0.01);
  EXPECT_EQ(attribute(page, "data-measured-outside"), "1");
  EXPECT_EQ(attribute(page, "data-measured-overlap-bytes"), "4");
  EXPECT_EQ(attribute(page, "data-measured-partial"), "false");
  EXPECT_NE(page.find("14 elements touched within the CTAs' ranges, 1 outside them (by 1 CTA), 2 named but not "
                      "touched; 4 bytes read by two or more CTAs, 0 in write conflicts; 60 bytes touched, 0 written."),
            std::string::npos);
  EXPECT_EQ(page.find("measured picture is partial"), std::string::npos);
}

// What keeps the measured bars from showing every access is said beside
// the chart.
TEST(GpuReport, PartialMeasurementsAreSaidToBe) {
  struct Partial {
    std::string trace, says;
  };
  const Partial cases[] = {
      {measured_trace(", \"ranges_complete\": false"), "the runtime listed only the first ranges of the launch"},
      {measured_trace("", 2, false), "only 1 of the 2 launches were measured"},
  };
  for (const Partial& p : cases) {
    TempDir dir;
    const std::string page = page_of(dir, p.trace);
    EXPECT_EQ(attribute(page, "data-measured-partial"), "true") << p.says;
    EXPECT_NE(page.find("The measured picture is partial: " + p.says + "."), std::string::npos) << p.says;
    EXPECT_EQ(bars(page, "fp-measured-outside").size(), 1u) << p.says;
  }
}

struct Misuse {
  const char* name;
  std::vector<std::string> args;
  const char* trace;     ///< run.trace's text; null: no such file
  const char* timeline;  ///< run.timeline's text; null: no such file
  const char* message;   ///< part of the one line on standard error
};

void PrintTo(const Misuse& m, std::ostream* os) { *os << m.name; }

class GpuReportMisuse : public ::testing::TestWithParam<Misuse> {};

TEST_P(GpuReportMisuse, NamesTheProblemAndWritesNoPage) {
  const Misuse& m = GetParam();
  TempDir dir;
  if (m.trace) write_file(dir / "run.trace", m.trace);
  if (m.timeline) write_file(dir / "run.timeline", m.timeline);
  const ProgramResult r = run_program(test_helpers::program_path("gpu-report"), m.args, dir.path());
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("gpu-report: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(m.message), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "run.html"));
  EXPECT_FALSE(fs::exists(dir / "page.html"));
  if (m.trace) EXPECT_EQ(read_file(dir / "run.trace"), m.trace) << "the input is untouched";
}

const char kTrace[] = "{\"call\": \"cudaMalloc\", \"bytes\": 64, \"alloc\": 0, \"status\": 0}\n"
                      "{\"event\": \"exit\", \"pending_registrations\": 0}\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, GpuReportMisuse,
    ::testing::Values(
        Misuse{"no_trace", {}, nullptr, nullptr, "no trace given"},
        Misuse{"unknown_option", {"run.trace", "--bogus"}, kTrace, nullptr, "unknown option '--bogus'"},
        Misuse{"two_traces", {"run.trace", "other.trace"}, kTrace, nullptr, "one trace at a time"},
        Misuse{"missing_trace", {"run.trace"}, nullptr, nullptr, "cannot open trace 'run.trace'"},
        Misuse{"malformed_line", {"run.trace"}, "{\"call\": \"cudaMalloc\", \"status\": 0}\n{\"call\": \n", nullptr,
               "run.trace:2: malformed JSON"},
        Misuse{"not_a_trace", {"run.trace"}, "{\"name\": \"x\"}\n", nullptr, "not a trace"},
        Misuse{"empty_trace", {"run.trace"}, "", nullptr, "the trace is empty"},
        Misuse{"missing_timeline", {"run.trace", "--timeline", "run.timeline"}, kTrace, nullptr,
               "cannot open timeline 'run.timeline'"},
        Misuse{"malformed_timeline", {"run.trace", "--timeline", "run.timeline"}, kTrace, "{\"traceEvents\": 1}",
               "not a timeline"},
        Misuse{"page_over_trace", {"run.trace", "-o", "run.trace"}, kTrace, nullptr, "would overwrite its input"}),
    [](const ::testing::TestParamInfo<Misuse>& info) { return std::string(info.param.name); });

// A run that crashed leaves a timeline without its end and a trace without
// its exit line: the page is still made, and says so.
TEST(GpuReport, RunCutShortStillMakesAPageThatSaysSo) {
  TempDir dir;
  ASSERT_EQ(run_program(test_helpers::program_path("halvik"), {"32", "32", "0", "15", "0", "15", "0.5", "2"},
                        dir.path(),
                        {{"CUDART_TRACE", (dir / "run.trace").string()},
                         {"CUDART_TIMELINE", (dir / "run.timeline").string()}})
                .exit_status,
            0);
  std::string timeline = read_file(dir / "run.timeline"), trace = read_file(dir / "run.trace");
  const std::size_t launch = timeline.find("\"cat\": \"launch\"");
  ASSERT_NE(launch, std::string::npos);
  write_file(dir / "run.timeline", timeline.substr(0, launch));  // cut inside the first launch's event
  write_file(dir / "run.trace", trace.substr(0, trace.rfind("{\"event\"")));
  const ProgramResult r = run_program(test_helpers::program_path("gpu-report"),
                                      {"run.trace", "--timeline", "run.timeline"}, dir.path());
  ASSERT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.out, "run.html\n");
  const std::string page = read_file(dir / "run.html");
  EXPECT_NE(page.find("the timeline ends early"), std::string::npos);
  EXPECT_NE(page.find("the trace has no exit line"), std::string::npos);
  EXPECT_NE(page.find("<svg id=\"timeline\""), std::string::npos);
  EXPECT_EQ(count_of(page, "<rect class=\"span launch\""), 0u) << "the cut came before the first launch ended";
}

}  // namespace
