#include "page.h"

#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "footprint.h"

namespace gpu_report {

namespace {

constexpr double kLabelWidth = 150, kPlotWidth = 1000, kTrackHeight = 20, kTrackGap = 4, kAxisHeight = 26;
constexpr double kFootprintLeft = 80, kFootprintWidth = 900, kFootprintRowsHeight = 300,
                 kFootprintMeasuredRowsHeight = 400;
// Footprint colours: what the registrations name, and what was touched.
constexpr const char* kDeclaredColor = "#4e79a7";
constexpr const char* kDeclaredOutsideColor = "#f28e2b";
constexpr const char* kDeclaredOverlapColor = "rgba(214, 39, 40, 0.35)";
constexpr const char* kMeasuredColor = "#59a14f";
constexpr const char* kMeasuredOutsideColor = "#e7298a";
constexpr const char* kMeasuredOverlapColor = "#6a3d9a";
constexpr std::size_t kMaxUnmergedStreamSpans = 3000;

const char* const kKernelColors[] = {"#e15759", "#f28e2b", "#59a14f", "#b07aa1", "#edc948",
                                     "#76b7b2", "#ff9da7", "#9c755f", "#d37295", "#86bcb6"};

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
  char buf[256];
  va_list args;
  va_start(args, f);
  std::vsnprintf(buf, sizeof buf, f, args);
  va_end(args);
  return buf;
}

std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string readable(const std::string& mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status),
                                              &std::free);
  return status == 0 && text ? std::string(text.get()) : mangled;
}

// As the runtime's profile shows times: "812ns", "1.250us", "48.123ms", "2.500s".
std::string duration(std::int64_t ns) {
  const double v = static_cast<double>(ns);
  if (ns < 1000) return format("%lldns", static_cast<long long>(ns));
  if (ns < 1000000) return format("%.3fus", v / 1e3);
  if (ns < 1000000000) return format("%.3fms", v / 1e6);
  return format("%.3fs", v / 1e9);
}

// As the runtime's profile shows a bandwidth: "5.447GB/s", "256.000MB/s", "12.500KB/s".
std::string bandwidth_text(std::uint64_t bytes, std::int64_t ns) {
  if (ns <= 0) return "-";
  const double gb = static_cast<double>(bytes) / static_cast<double>(ns);
  if (gb >= 1) return format("%.3fGB/s", gb);
  if (gb >= 1e-3) return format("%.3fMB/s", gb * 1e3);
  return format("%.3fKB/s", gb * 1e6);
}

// A tick label: as few decimals as the step needs.
std::string tick_label(double ns, double step) {
  const char* unit = "ns";
  double div = 1;
  if (step >= 1e9) unit = "s", div = 1e9;
  else if (step >= 1e6) unit = "ms", div = 1e6;
  else if (step >= 1e3) unit = "us", div = 1e3;
  const int decimals = step / div >= 1 ? 0 : step / div >= 0.1 ? 1 : 2;
  return format("%.*f%s", decimals, ns / div, unit);
}

std::string with_commas(std::uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Bytes in binary units, as the runtime's profile shows them.
std::string binary_size(std::uint64_t bytes) {
  const double b = static_cast<double>(bytes);
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  if (bytes < 1024 * 1024) return format("%.2f KiB", b / 1024);
  if (bytes < 1024ULL * 1024 * 1024) return format("%.2f MiB", b / (1024 * 1024));
  return format("%.2f GiB", b / (1024.0 * 1024 * 1024));
}

// "1 launch", "2 launches".
std::string counted(std::uint64_t n, const char* one, const char* many) {
  return with_commas(n) + " " + (n == 1 ? one : many);
}

// Host calls by what they do: copies, waits, launches, the rest.
std::string call_color(const std::string& call) {
  if (call == "cudaMemcpy") return "#6f8fae";
  if (call == "cudaThreadSynchronize") return "#555555";
  if (call == "cudaLaunch" || call == "cudaConfigureCall" || call == "cudaSetupArgument") return "#b5b5b5";
  return "#8c8c8c";
}

std::string dims(const unsigned d[3]) { return format("%ux%ux%u", d[0], d[1], d[2]); }

std::string percent(std::int64_t part, std::int64_t whole) {
  return whole > 0 ? format("%.2f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole)) : "-";
}

// A step of 1, 2 or 5 times a power of ten giving about `ticks` ticks over `span`.
double nice_step(double span, int ticks) {
  const double raw = std::max(span / ticks, 1e-9);
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (raw <= m * magnitude) return m * magnitude;
  return 10 * magnitude;
}

std::string copy_color(const std::string& direction) {
  if (direction == "host to device") return "#4e79a7";
  if (direction == "device to host") return "#2c5d8a";
  if (direction == "device to device") return "#7aa6d6";
  return "#a0b4c8";
}

struct KernelRow {
  std::string kernel;
  std::uint64_t launches = 0, timed = 0;
  std::int64_t total = 0, min = 0, max = 0;
  std::map<std::string, std::uint64_t> configs, forms;
};

template <typename Map>
std::string most_frequent(const Map& counts) {
  auto best = counts.begin();
  for (auto it = counts.begin(); it != counts.end(); ++it)
    if (it->second > best->second) best = it;
  return best == counts.end() ? "-" : best->first;
}

class Page {
 public:
  Page(const Run& run, const std::string& title) : run_(run), title_(title) {
    for (const Launch& l : run.launches)
      if (!colors_.count(l.kernel)) {
        const std::size_t n = colors_.size();
        colors_[l.kernel] = kKernelColors[n % (sizeof kKernelColors / sizeof *kKernelColors)];
        order_.push_back(l.kernel);
      }
  }

  std::string render() {
    out_ += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
            escape("gpu-report: " + title_) + "</title>\n<style>\n" + style() + "</style>\n</head>\n<body>\n";
    out_ += "<h1>What the device did: " + escape(title_) + "</h1>\n";
    summary();
    profile();
    timeline();
    footprint_section();
    out_ += "<script>\n" + script() + "</script>\n</body>\n</html>\n";
    return std::move(out_);
  }

 private:
  static std::string style() {
    return "body { font-family: sans-serif; margin: 24px; color: #222; background: #fff; }\n"
           "h1 { font-size: 22px; } h2 { font-size: 18px; margin-top: 32px; } h3 { font-size: 15px; }\n"
           "table { border-collapse: collapse; font-size: 13px; margin-bottom: 12px; }\n"
           "th, td { padding: 3px 10px; border-bottom: 1px solid #ddd; text-align: right; white-space: nowrap; }\n"
           "th { background: #f2f2f2; } td.name, th.name { text-align: left; }\n"
           "td.name { font-family: monospace; white-space: normal; max-width: 560px; }\n"
           ".swatch { display: inline-block; width: 10px; height: 10px; margin-right: 6px; }\n"
           ".note { color: #555; font-size: 13px; } .warnings { color: #a33; font-size: 13px; }\n"
           "svg.chart { display: block; font-size: 11px; background: #fcfcfc; border: 1px solid #e4e4e4; }\n"
           "svg text { fill: #333; } .axis line { stroke: #bbb; } .track-label { font-size: 12px; }\n"
           ".legend { font-size: 12px; margin: 6px 0 4px; } .legend span { margin-right: 14px; }\n"
           "figure { margin: 16px 0 28px; } figcaption { font-size: 13px; margin-top: 6px; max-width: 1000px; }\n";
  }

  static std::string script() {
    // Records what the browser laid out: each chart's size and its rects.
    return "(function () {\n"
           "  var charts = [];\n"
           "  document.querySelectorAll('svg.chart').forEach(function (svg) {\n"
           "    var box = svg.getBoundingClientRect();\n"
           "    var drawn = 0;\n"
           "    svg.querySelectorAll('rect').forEach(function (r) {\n"
           "      var b = r.getBoundingClientRect();\n"
           "      if (b.width > 0 && b.height > 0) drawn++;\n"
           "    });\n"
           "    charts.push({id: svg.id, width: Math.round(box.width), height: Math.round(box.height),\n"
           "                 rects: svg.querySelectorAll('rect').length, drawn: drawn});\n"
           "  });\n"
           "  document.body.setAttribute('data-rendered', JSON.stringify(charts));\n"
           "})();\n";
  }

  void summary() {
    std::uint64_t bytes = 0;
    for (const Copy& c : run_.copies) bytes += c.bytes;
    out_ += "<p class=\"summary\">" + counted(run_.launches.size(), "launch", "launches") + " of " +
            counted(colors_.size(), "kernel", "kernels") + ", " + counted(run_.copies.size(), "copy", "copies") + " (" +
            counted(bytes, "byte", "bytes") + ")";
    if (run_.has_timeline) out_ += ", " + duration(run_.timeline_end) + " from start to exit";
    if (!run_.device.empty()) out_ += ", on the " + escape(run_.device);
    out_ += ".<br><span class=\"note\">Trace: " + escape(run_.trace_path);
    if (run_.has_timeline) out_ += "; timeline: " + escape(run_.timeline_path);
    out_ += "</span></p>\n";
    if (!run_.warnings.empty()) {
      out_ += "<ul class=\"warnings\">\n";
      for (const std::string& w : run_.warnings) out_ += "<li>" + escape(w) + "</li>\n";
      out_ += "</ul>\n";
    }
  }

  void profile() {
    out_ += "<section id=\"profile\">\n<h2>Profile</h2>\n";
    if (!run_.has_timeline)
      out_ += "<p class=\"note\">Counts from the trace; times need the run's timeline (CUDART_TIMELINE, "
              "--timeline).</p>\n";
    std::map<std::string, KernelRow> kernels;
    for (const Launch& l : run_.launches) {
      KernelRow& k = kernels[l.kernel];
      k.kernel = l.kernel;
      ++k.launches;
      ++k.configs[dims(l.grid) + " " + dims(l.block)];
      if (!l.form.empty()) ++k.forms[l.form];
      if (!l.timed) continue;
      const std::int64_t t = l.end - l.start;
      k.min = k.timed ? std::min(k.min, t) : t;
      k.max = k.timed ? std::max(k.max, t) : t;
      k.total += t;
      ++k.timed;
    }
    struct CopyRow {
      std::uint64_t count = 0, bytes = 0, timed = 0;
      std::int64_t total = 0;
    };
    std::map<std::string, CopyRow> copies;
    for (const Copy& c : run_.copies) {
      CopyRow& r = copies[c.direction];
      ++r.count;
      r.bytes += c.bytes;
      if (c.timed) r.total += c.end - c.start, ++r.timed;
    }
    std::int64_t busy = 0;
    for (const auto& [name, k] : kernels) busy += k.total;
    for (const auto& [d, c] : copies) busy += c.total;

    out_ += "<h3>Kernels</h3>\n";
    if (kernels.empty()) {
      out_ += "<p class=\"note\">No launches.</p>\n";
    } else {
      std::vector<const KernelRow*> rows;
      for (const auto& [name, k] : kernels) rows.push_back(&k);
      std::stable_sort(rows.begin(), rows.end(), [](auto* a, auto* b) { return a->total > b->total; });
      out_ += "<table class=\"profile-kernels\">\n<tr><th>Time(%)</th><th>Total</th><th>Launches</th><th>Avg</th>"
              "<th>Min</th><th>Max</th><th>Grid</th><th>Block</th><th class=\"name\">Form</th>"
              "<th class=\"name\">Kernel</th></tr>\n";
      for (const KernelRow* k : rows) {
        const bool timed = k->timed > 0;
        const std::string config = most_frequent(k->configs);
        const std::size_t cut = config.find(' ');
        out_ += "<tr class=\"kernel-row\"><td>" + (timed ? percent(k->total, busy) : "-") + "</td><td>" +
                (timed ? duration(k->total) : "-") + "</td><td>" + std::to_string(k->launches) + "</td><td>" +
                (timed ? duration(k->total / static_cast<std::int64_t>(k->timed)) : "-") + "</td><td>" +
                (timed ? duration(k->min) : "-") + "</td><td>" + (timed ? duration(k->max) : "-") + "</td><td>" +
                config.substr(0, cut) + "</td><td>" + config.substr(cut + 1) + "</td><td class=\"name\">" +
                escape(most_frequent(k->forms)) + "</td><td class=\"name\"><span class=\"swatch\" style=\"background:" +
                colors_.at(k->kernel) + "\"></span>" + escape(readable(k->kernel)) + "</td></tr>\n";
      }
      out_ += "</table>\n";
    }

    out_ += "<h3>Copies</h3>\n";
    if (copies.empty()) {
      out_ += "<p class=\"note\">No copies.</p>\n";
    } else {
      out_ += "<table class=\"profile-copies\">\n<tr><th>Time(%)</th><th>Total</th><th>Count</th><th>Bytes</th>"
              "<th>Bandwidth</th><th class=\"name\">Direction</th></tr>\n";
      for (const char* d : {"host to device", "device to host", "device to device", "host to host"}) {
        const auto it = copies.find(d);
        if (it == copies.end()) continue;
        const CopyRow& c = it->second;
        const bool timed = c.timed > 0;
        const std::string bandwidth = timed ? bandwidth_text(c.bytes, c.total) : "-";
        out_ += "<tr class=\"copy-row\"><td>" + (timed ? percent(c.total, busy) : "-") + "</td><td>" +
                (timed ? duration(c.total) : "-") + "</td><td>" + std::to_string(c.count) + "</td><td>" +
                with_commas(c.bytes) + "</td><td>" + bandwidth + "</td><td class=\"name\">" + d + "</td></tr>\n";
      }
      out_ += "</table>\n";
    }

    out_ += "<h3>Device memory</h3>\n<p class=\"memory\">Peak " + with_commas(run_.peak_memory) + " bytes (" +
            binary_size(run_.peak_memory) + ") allocated at once.</p>\n";

    out_ += "<h3>API calls</h3>\n";
    std::vector<std::pair<std::string, CallCount>> calls(run_.calls.begin(), run_.calls.end());
    std::stable_sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.second.total > b.second.total; });
    std::int64_t call_total = 0;
    for (const auto& [name, c] : calls) call_total += c.total;
    out_ += "<table class=\"profile-calls\">\n<tr><th>Time(%)</th><th>Total</th><th>Calls</th><th>Avg</th>"
            "<th class=\"name\">Call</th></tr>\n";
    for (const auto& [name, c] : calls) {
      const bool timed = c.timed && c.count > 0;
      out_ += "<tr class=\"call-row\"><td>" + (timed ? percent(c.total, call_total) : "-") + "</td><td>" +
              (timed ? duration(c.total) : "-") + "</td><td>" + std::to_string(c.count) + "</td><td>" +
              (timed ? duration(c.total / static_cast<std::int64_t>(c.count)) : "-") + "</td><td class=\"name\">" +
              escape(name) + "</td></tr>\n";
    }
    out_ += "</table>\n</section>\n";
  }

  // One rect of the timeline, possibly standing for several spans; it takes
  // the colour of the longest of them.
  struct Box {
    double x0, x1;
    std::string key, color, cls;
    std::size_t count = 1;
    std::int64_t ns = 0;
    std::string title;
    std::int64_t launch = -1;
    std::int64_t longest = 0;
  };

  Box box_for(const Span& s, double x0, double x1) const {
    Box b{x0, x1, s.name, call_color(s.name), "span call", 1, s.end - s.start, "", s.launch, s.end - s.start};
    std::string what = s.name;
    if (s.category == "launch" || s.category == "blocks") {
      const bool known = s.launch >= 0 && static_cast<std::size_t>(s.launch) < run_.launches.size();
      const Launch* l = known ? &run_.launches[static_cast<std::size_t>(s.launch)] : nullptr;
      b.key = l ? l->kernel : s.name;
      b.color = l && colors_.count(l->kernel) ? colors_.at(l->kernel) : "#999";
      b.cls = s.category == "launch" ? "span launch" : "span blocks";
      what = "launch " + std::to_string(s.launch) + ": " + s.name;
      if (l && s.category == "launch")
        what += ", grid " + dims(l->grid) + ", block " + dims(l->block) + (l->form.empty() ? "" : ", " + l->form);
    } else if (s.category == "copy") {
      b.color = copy_color(s.name.substr(std::min<std::size_t>(5, s.name.size())));
      b.cls = "span copy";
    }
    if (!s.detail.empty() && s.category != "launch") what += " (" + s.detail + ")";
    b.title = what + ": " + duration(s.end - s.start);
    return b;
  }

  void timeline() {
    out_ += "<section id=\"timeline-section\">\n<h2>Timeline</h2>\n";
    if (!run_.has_timeline) {
      out_ += "<p class=\"note\">No timeline given: run the program with CUDART_TIMELINE=&lt;file&gt; and pass the "
              "file with --timeline.</p>\n</section>\n";
      return;
    }
    // Legend: kernels, then copies and host calls.
    out_ += "<div class=\"legend\">";
    for (const std::string& k : order_)
      out_ += "<span><span class=\"swatch\" style=\"background:" + colors_.at(k) + "\"></span>" +
              escape(readable_short(k)) + "</span>";
    out_ += "<span><span class=\"swatch\" style=\"background:#4e79a7\"></span>copy</span>"
            "<span><span class=\"swatch\" style=\"background:#6f8fae\"></span>cudaMemcpy</span>"
            "<span><span class=\"swatch\" style=\"background:#b5b5b5\"></span>launch calls</span>"
            "<span><span class=\"swatch\" style=\"background:#555555\"></span>cudaThreadSynchronize</span>"
            "<span><span class=\"swatch\" style=\"background:#8c8c8c\"></span>other calls</span></div>\n";

    const double end = static_cast<double>(std::max<std::int64_t>(run_.timeline_end, 1));
    const double height = kAxisHeight + run_.tracks.size() * (kTrackHeight + kTrackGap) + 8;
    const double width = kLabelWidth + kPlotWidth + 20;
    out_ += format("<svg id=\"timeline\" class=\"chart timeline-chart\" width=\"%.0f\" height=\"%.0f\" "
                   "viewBox=\"0 0 %.0f %.0f\" role=\"img\" data-tracks=\"%zu\">\n",
                   width, height, width, height, run_.tracks.size());
    out_ += "<title>Timeline: host calls, launches, worker spans and copies</title>\n";
    const double step = nice_step(end, 8);
    out_ += "<g class=\"axis\">\n";
    for (double t = 0; t <= end + step * 1e-9; t += step) {
      const double x = kLabelWidth + t / end * kPlotWidth;
      out_ += format("<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.0f\"/>", x, kAxisHeight - 6, x, height - 4);
      out_ += format("<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">", x, kAxisHeight - 10) +
              tick_label(t, step) + "</text>\n";
    }
    out_ += "</g>\n";
    double y = kAxisHeight;
    for (const Track& track : run_.tracks) {
      std::string label = track.name;
      if (track.process == 1 && label.rfind("host", 0) != 0) label = "host: " + label;
      out_ += format("<g class=\"track\" data-name=\"%s\" data-spans=\"%zu\">", escape(track.name).c_str(),
                     track.spans.size());
      out_ += format("<text class=\"track-label\" x=\"6\" y=\"%.1f\">", y + kTrackHeight * 0.7) + escape(label) +
              "</text>\n";
      const bool stream = track.process == 2 && track.thread == 0;
      const bool merge = !stream || track.spans.size() > kMaxUnmergedStreamSpans;
      std::vector<Box> boxes;
      for (const Span& s : track.spans) {
        const double x0 = kLabelWidth + static_cast<double>(s.start) / end * kPlotWidth;
        const double x1 = std::max(kLabelWidth + static_cast<double>(s.end) / end * kPlotWidth, x0 + 0.5);
        Box b = box_for(s, x0, x1);
        if (merge && !boxes.empty()) {
          Box& last = boxes.back();
          const bool tiny = x1 - x0 < 1.0 || last.x1 - last.x0 < 1.0;
          if (x0 <= last.x1 + 0.5 && (tiny || last.key == b.key)) {
            last.x1 = std::max(last.x1, x1);
            if (b.longest > last.longest) {
              last.longest = b.longest;
              last.key = b.key;
              last.color = b.color;
            }
            ++last.count;
            last.ns += b.ns;
            continue;
          }
        }
        boxes.push_back(std::move(b));
      }
      for (const Box& b : boxes) {
        out_ += format("<rect class=\"%s%s\" x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.0f\" fill=\"%s\"",
                       b.cls.c_str(), b.count > 1 ? " merged" : "", b.x0, y, b.x1 - b.x0, kTrackHeight, b.color.c_str());
        if (b.count > 1) out_ += format(" data-count=\"%zu\"", b.count);
        else if (b.launch >= 0) out_ += format(" data-launch=\"%lld\"", static_cast<long long>(b.launch));
        out_ += "><title>" +
                escape(b.count > 1 ? std::to_string(b.count) + " spans, " + duration(b.ns) + " in all" : b.title) +
                "</title></rect>\n";
      }
      out_ += "</g>\n";
      y += kTrackHeight + kTrackGap;
    }
    out_ += "</svg>\n</section>\n";
  }

  // The readable name without its parameter list ("halvik_cuda_1"), as the
  // timeline names launches.
  static std::string readable_short(const std::string& mangled) {
    const std::string r = readable(mangled);
    static const std::string kAnonymous = "(anonymous namespace)";
    int depth = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
      if (r[i] == '<') ++depth;
      else if (r[i] == '>' && depth > 0) --depth;
      else if (r[i] == '(' && depth == 0) {
        if (r.compare(i, kAnonymous.size(), kAnonymous) == 0) i += kAnonymous.size() - 1;
        else if (i > 0) return r.substr(0, i);
      }
    }
    return r;
  }

  void footprint_section() {
    out_ += "<section id=\"footprints\">\n<h2>Tracker footprints</h2>\n";
    const Footprints f = footprints(run_, kFootprintWidth);
    if (f.charts.empty() && f.notes.empty()) {
      out_ += "<p class=\"note\">No launch of this run had tracker registrations in force.</p>\n</section>\n";
      return;
    }
    const bool measured = std::any_of(f.charts.begin(), f.charts.end(),
                                      [](const FootprintChart& c) { return c.measured_launches > 0; });
    out_ += "<p class=\"note\">Each row is a run of CTAs (linear index, x fastest) and the bars the buffer's elements "
            "their registrations name; red columns mark elements named by two or more CTAs, orange bars ranges "
            "outside the buffer.";
    if (measured)
      out_ += " Over the declared bars of each row lie the bytes those CTAs touched, as a checked build measured "
              "them: green within the CTA's own ranges, pink outside them. The purple strip under a chart marks "
              "bytes that two or more CTAs of one launch touched.";
    out_ += "</p>\n";
    if (!measured)
      out_ += "<p class=\"note fp-not-measured\">Accesses were not measured: run a checked build "
              "(<code>build/bin/checked/</code>) with <code>CUDART_FOOTPRINT=1</code> to draw them beside the declared "
              "ranges.</p>\n";
    out_ += "<div class=\"legend\">";
    auto swatch = [&](const char* color, const char* what) {
      out_ += std::string("<span><span class=\"swatch\" style=\"background:") + color + "\"></span>" + what + "</span>";
    };
    swatch(kDeclaredColor, "declared range");
    swatch(kDeclaredOutsideColor, "declared outside the buffer");
    swatch(kDeclaredOverlapColor, "named by 2+ CTAs");
    if (measured) {
      swatch(kMeasuredColor, "touched within the declared ranges");
      swatch(kMeasuredOutsideColor, "touched outside the declared ranges");
      swatch(kMeasuredOverlapColor, "touched by 2+ CTAs");
    }
    out_ += "</div>\n";
    for (const std::string& note : f.notes) out_ += "<p class=\"note\">" + escape(note) + "</p>\n";
    for (std::size_t i = 0; i < f.charts.size(); ++i) footprint_chart(i, f.charts[i]);
    out_ += "</section>\n";
  }

  // What was measured of a chart's launches, for its caption.
  static std::string measured_text(const FootprintChart& c) {
    if (c.measured_launches == 0)
      return " <span class=\"fp-not-measured\">Accesses not measured: run a checked build with "
             "<code>CUDART_FOOTPRINT=1</code> to draw them.</span>";
    const MeasuredCounts& m = c.measured;
    std::string text = " <span class=\"fp-measured-counts\">Measured";
    if (c.launches.size() > 1) text += " over " + counted(c.measured_launches, "launch", "launches");
    text += ": " + counted(m.inside, "element", "elements") + " touched within the CTAs' ranges, " +
            with_commas(m.outside) + " outside them (by " + counted(m.ctas_outside, "CTA", "CTAs") + "), " +
            with_commas(m.unaccessed) + " named but not touched; " + with_commas(m.shared_read_bytes) +
            " bytes read by two or more CTAs, " + with_commas(m.write_conflict_bytes) + " in write conflicts; " +
            with_commas(c.touched_bytes) + " bytes touched, " + with_commas(c.written_bytes) + " written.</span>";
    if (!c.measured_gaps.empty()) {
      text += " <span class=\"fp-partial warnings\">The measured picture is partial: ";
      for (std::size_t i = 0; i < c.measured_gaps.size(); ++i) text += (i ? "; " : "") + escape(c.measured_gaps[i]);
      text += ".</span>";
    }
    return text;
  }

  void footprint_chart(std::size_t index, const FootprintChart& c) {
    const Launch& first = run_.launches[c.launches.front()];
    std::string launches = "launch " + std::to_string(c.launches.front());
    if (c.launches.size() > 1) launches = std::to_string(c.launches.size()) + " launches from " + launches;
    std::string caption = escape(launches) + " of <code>" + escape(readable_short(first.kernel)) + "</code>, grid " +
                          dims(first.grid) + " (" + counted(c.ctas, "CTA", "CTAs") + "); " +
                          counted(c.registrations, "registration", "registrations") + " on allocation " +
                          std::to_string(c.alloc) + " (" +
                          with_commas(c.alloc_bytes) + " bytes" +
                          (c.unit > 1 ? ", " + std::to_string(c.unit) + "-byte elements" : "") + ").";
    out_ += "<figure>\n";
    if (!c.drawn) {
      out_ += "<figcaption>" + caption + " Not drawn: " + escape(c.not_drawn) + "." + measured_text(c) +
              "</figcaption>\n</figure>\n";
      return;
    }
    // With measurements, each row shows the declared bar with the measured
    // one over its middle, and a second strip takes the measured overlaps.
    const bool measured = c.measured_launches > 0;
    const double rows_budget = measured ? kFootprintMeasuredRowsHeight : kFootprintRowsHeight;
    const double row_height = std::clamp(rows_budget / static_cast<double>(c.rows), 1.0, 18.0);
    const double rows_height = row_height * static_cast<double>(c.rows);
    const double top = 10, strip = 12, axis = 30;
    const double strips = measured ? 2 * strip : strip;
    const double height = top + rows_height + strips + axis;
    const double width = kFootprintLeft + kFootprintWidth + 20;
    out_ += format("<svg id=\"footprint-%zu\" class=\"chart footprint-chart\" width=\"%.0f\" height=\"%.0f\" "
                   "viewBox=\"0 0 %.0f %.0f\" role=\"img\" data-ctas=\"%llu\" data-rows=\"%llu\" "
                   "data-covered-bytes=\"%llu\" data-overlap-bytes=\"%s\" data-measured-launches=\"%zu\"",
                   index, width, height, width, height, static_cast<unsigned long long>(c.ctas),
                   static_cast<unsigned long long>(c.rows), static_cast<unsigned long long>(c.covered_bytes),
                   c.overlaps_known ? std::to_string(c.overlap_bytes).c_str() : "unknown", c.measured_launches);
    if (measured)
      out_ += format(" data-measured-outside=\"%llu\" data-measured-overlap-bytes=\"%llu\" "
                     "data-measured-partial=\"%s\"",
                     static_cast<unsigned long long>(c.measured.outside),
                     static_cast<unsigned long long>(c.measured_overlap_bytes),
                     c.measured_gaps.empty() ? "false" : "true");
    out_ += ">\n<title>Footprint: CTAs against buffer elements</title>\n";
    // Axes: CTA rows down the side, elements along the bottom.
    const double span = c.domain_hi - c.domain_lo;
    const double unit = static_cast<double>(c.unit);
    const double step = nice_step(span / unit, 8) * unit;
    out_ += "<g class=\"axis\">\n";
    for (double v = std::ceil(c.domain_lo / step) * step; v <= c.domain_hi; v += step) {
      const double x = kFootprintLeft + (v - c.domain_lo) / span * kFootprintWidth;
      out_ += format("<line x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.1f\"/>", x, top, x,
                     top + rows_height + strips + 4);
      out_ += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.0f</text>\n", x,
                     top + rows_height + strips + 16, v / unit);
    }
    out_ += format("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
                   kFootprintLeft + kFootprintWidth / 2, height - 2, c.unit > 1 ? "element" : "byte");
    const std::uint64_t row_step = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(nice_step(static_cast<double>(c.rows), 6)));
    for (std::uint64_t r = 0; r < c.rows; r += row_step)
      out_ += format("<text x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">CTA %llu</text>\n", kFootprintLeft - 6,
                     top + (static_cast<double>(r) + 0.5) * row_height + 4,
                     static_cast<unsigned long long>(r * c.ctas_per_row));
    if (measured)
      for (const char* label : {"named 2+", "touched 2+"}) {
        const double y = top + rows_height + (label[0] == 'n' ? 0 : strip) + strip - 3;
        out_ += format("<text class=\"fp-strip-label\" x=\"%.0f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n",
                       kFootprintLeft - 6, y, label);
      }
    out_ += "</g>\n";
    for (double bound : {0.0, static_cast<double>(c.alloc_bytes)}) {
      if (bound <= c.domain_lo || bound >= c.domain_hi) continue;
      const double x = kFootprintLeft + (bound - c.domain_lo) / span * kFootprintWidth;
      out_ += format("<line class=\"fp-bound\" x1=\"%.1f\" y1=\"%.0f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#555\" "
                     "stroke-dasharray=\"4 3\"/>\n", x, top, x, top + rows_height);
    }
    for (const FootprintChart::Bar& b : c.bars)
      out_ += format("<rect class=\"%s\" data-row=\"%llu\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
                     "fill=\"%s\"/>\n",
                     b.outside ? "fp-outside" : "fp-range", static_cast<unsigned long long>(b.row),
                     kFootprintLeft + b.x0, top + static_cast<double>(b.row) * row_height, b.x1 - b.x0, row_height,
                     b.outside ? kDeclaredOutsideColor : kDeclaredColor);
    for (const auto& [x0, x1] : c.overlaps)
      out_ += format("<rect class=\"fp-overlap\" x=\"%.2f\" y=\"%.0f\" width=\"%.2f\" height=\"%.1f\" "
                     "fill=\"%s\"><title>named by two or more CTAs</title></rect>\n",
                     kFootprintLeft + x0, top, x1 - x0, rows_height + strip, kDeclaredOverlapColor);
    // Measured bars over the middle 60% of their row.
    for (const FootprintChart::Bar& b : c.measured_bars)
      out_ += format("<rect class=\"%s\" data-row=\"%llu\" x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" "
                     "fill=\"%s\"/>\n",
                     b.outside ? "fp-measured-outside" : "fp-measured", static_cast<unsigned long long>(b.row),
                     kFootprintLeft + b.x0, top + (static_cast<double>(b.row) + 0.2) * row_height, b.x1 - b.x0,
                     0.6 * row_height, b.outside ? kMeasuredOutsideColor : kMeasuredColor);
    for (const auto& [x0, x1] : c.measured_overlaps)
      out_ += format("<rect class=\"fp-measured-overlap\" x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" "
                     "fill=\"%s\"><title>touched by two or more CTAs of a launch</title></rect>\n",
                     kFootprintLeft + x0, top + rows_height + strip, x1 - x0, strip, kMeasuredOverlapColor);
    out_ += "</svg>\n";

    caption += " Rows of " + counted(c.ctas_per_row, "CTA", "CTAs") + ". Named " + with_commas(c.named_bytes) +
               " bytes, " + with_commas(c.covered_bytes) + " distinct, " +
               (c.overlaps_known ? with_commas(c.overlap_bytes) : std::string("(not measured)")) +
               " named by two or more CTAs; " + counted(c.outside_ranges, "range", "ranges") + " outside the buffer, " +
               with_commas(c.empty_ranges) + " empty.";
    caption += measured_text(c);
    if (first.summary) {
      const TrackerSummary& s = *first.summary;
      caption += " <span class=\"note\">The runtime's summary of the launch: " + with_commas(s.registrations) +
                 " registrations, " + with_commas(s.bytes) + " bytes named, " + with_commas(s.covered_bytes) +
                 " distinct, " + with_commas(s.overlap_bytes) + " overlapping, " + with_commas(s.out_of_bounds) +
                 " out of bounds, " + with_commas(s.empty) + " empty" + (s.complete ? "" : " (not resolved)") +
                 ".</span>";
    }
    out_ += "<figcaption>" + caption + "</figcaption>\n</figure>\n";
  }

  const Run& run_;
  const std::string title_;
  std::map<std::string, std::string> colors_;  ///< kernel -> color
  std::vector<std::string> order_;             ///< kernels in order of first launch
  std::string out_;
};

}  // namespace

std::string render_page(const Run& run, const std::string& title) { return Page(run, title).render(); }

}  // namespace gpu_report
