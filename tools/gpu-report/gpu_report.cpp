// gpu-report: turns a run's trace (CUDART_TRACE) and, if given, its timeline
// (CUDART_TIMELINE) into one self-contained HTML page: the profile, the
// timeline as a chart and the CTA tracker's footprints.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "page.h"
#include "run.h"

namespace {

namespace fs = std::filesystem;

const char kUsage[] =
    "usage: gpu-report TRACE [--timeline FILE] [-o PAGE] [--title TEXT]\n"
    "\n"
    "Writes one HTML page (no network needed to view it) about the program run\n"
    "that wrote TRACE (CUDART_TRACE=<file>): its profile, the timeline as a chart\n"
    "when --timeline names the run's CUDART_TIMELINE file, and for every launch\n"
    "made with CTA tracker registrations a chart of their footprints.\n"
    "\n"
    "  --timeline FILE  the same run's timeline\n"
    "  -o PAGE          where the page goes (default: TRACE with the extension .html)\n"
    "  --title TEXT     the page's heading (default: TRACE's file name)\n";

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "gpu-report: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'gpu-report --help'.\n");
  std::exit(1);
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "gpu-report: %s\n", message.c_str());
  std::exit(1);
}

bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> trace, timeline, output, title;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::optional<std::string>& slot) {
      if (i + 1 >= argc) usage_error(arg + " needs a value");
      if (slot) usage_error(arg + " given twice");
      slot = argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--timeline") value(timeline);
    else if (arg == "-o") value(output);
    else if (arg == "--title") value(title);
    else if (arg.size() > 1 && arg[0] == '-') usage_error("unknown option '" + arg + "'");
    else if (trace) usage_error("one trace at a time (also given: '" + arg + "')");
    else trace = arg;
  }
  if (!trace) usage_error("no trace given");
  if (!output) output = fs::path(*trace).replace_extension(".html").string();
  if (same_file(*output, *trace) || (timeline && same_file(*output, *timeline)))
    usage_error("the page would overwrite its input '" + *output + "': name another with -o");
  if (!title) title = fs::path(*trace).filename().string();

  std::string page;
  try {
    page = gpu_report::render_page(gpu_report::read_run(*trace, timeline), *title);
  } catch (const gpu_report::ReportError& e) {
    fail(e.what());
  }
  // Written beside the page and renamed over it: a failed write never leaves half a page.
  const std::string partial = *output + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) fail("cannot write '" + *output + "': " + std::strerror(errno));
    out << page;
    out.close();
    if (!out) {
      std::remove(partial.c_str());
      fail("cannot write '" + *output + "'");
    }
  }
  std::error_code ec;
  fs::rename(partial, *output, ec);
  if (ec) {
    std::remove(partial.c_str());
    fail("cannot write '" + *output + "': " + ec.message());
  }
  std::printf("%s\n", output->c_str());
  return 0;
}
