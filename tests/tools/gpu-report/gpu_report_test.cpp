// gpu-report end to end: programs run with their trace and timeline, the tool
// writes the page, and headless Chromium opens it: every chart must be laid
// out with the rects the run calls for. Each run's screenshot is kept in the
// build folder (tests/gpu-report/). Without Chromium the browser checks skip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "json.h"
#include "program_runner.h"

namespace {

namespace fs = std::filesystem;
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
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class GpuReport : public ::testing::TestWithParam<Case> {};

TEST_P(GpuReport, PageHoldsEveryChartAndChromiumRendersThem) {
  const Case& c = GetParam();
  TempDir dir;
  std::map<std::string, std::string> env{{"CUDART_TRACE", (dir / "run.trace").string()}, {"CUDART_WORKERS", "2"}};
  if (c.timeline) env["CUDART_TIMELINE"] = (dir / "run.timeline").string();
  const fs::path program = c.program == std::string("probe") ? fs::path(RUNTIME_PROBE)
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
  for (const Json& line : trace) {
    if (!line.has("call") || line["status"].integer() != 0) continue;
    if (line["call"].str() == "cudaLaunch") {
      ++launches, ++kernels[line["kernel"].str()];
      if (line["tracker"]["registrations"].integer() > 0) tracked = &line["tracker"];
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
    ::testing::Values(Case{"test", "test", {}, true, 1},
                      Case{"tracker_overlap", "probe", {"overlap"}, true, 1},
                      Case{"halvik", "halvik", {"64", "64", "0", "15", "0", "15", "0.5", "3"}, true, 0},
                      Case{"tracker_without_timeline", "probe", {"out-of-bounds"}, false, 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

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
