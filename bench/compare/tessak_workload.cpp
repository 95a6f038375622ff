// tessak: loading and searching three graphs, against level loops, the Boost
// Graph Library's search and a plain reader (tessak_baseline).
#include "workload.h"

#include <regex>

namespace bench::compare {

struct GraphCase {
  std::string name;               ///< as shown in the table
  std::string file;               ///< cached under <work>/graphs
  std::vector<std::string> args;  ///< graphgen's arguments
  double search_target;           ///< 0: none
};

fs::path graph_file(const Context& ctx, const GraphCase& g) {
  const fs::path dir = ctx.opt.work / "graphs";
  fs::create_directories(dir);
  const fs::path file = dir / g.file;
  if (fs::exists(file)) return file;
  progress("tessak: generating " + g.file);
  const fs::path partial = dir / (g.file + ".partial");
  std::vector<std::string> args = {(ctx.opt.bin / "graphgen").string()};
  args.insert(args.end(), g.args.begin(), g.args.end());
  args.insert(args.end(), {"-o", partial.string()});
  must_run(RunRequest{args, dir, {}}, "graphgen");
  fs::rename(partial, file);
  return file;
}

void bench_tessak_graph(Context& ctx, const GraphCase& g) {
  const fs::path file = fs::absolute(graph_file(ctx, g));
  const fs::path dir = ctx.opt.work / ("tessak-" + g.name);
  reset_dir(dir);
  for (const char* sub : {"program", "levels", "boost", "load"}) fs::create_directories(dir / sub);
  const std::vector<std::string> args = {file.string()};
  const std::string label = "tessak " + g.name;

  progress(label + ": checking the program's results");
  const RunResult checked = must_run(
      program(ctx, "tessak", args, dir / "program", {{"CUDART_TRACE", (dir / "trace.json").string()}}),
      "tessak");
  const std::string program_result = file_digest(dir / "program" / "result.txt");
  const std::vector<Copy> copies = trace_copies(dir / "trace.json");
  const RunResult load = must_run(baseline(ctx, "tessak_baseline", {"load", file.string()}, dir / "load"),
                                  "tessak_baseline load");
  const RunResult levels = must_run(
      baseline(ctx, "tessak_baseline", {"levels", file.string()}, dir / "levels"), "tessak_baseline levels");
  const RunResult boost = must_run(baseline(ctx, "tessak_baseline", {"boost", file.string()}, dir / "boost"),
                                   "tessak_baseline boost");
  const std::string launches = report_value(levels, "launches", "tessak_baseline levels");
  const bool search_exact = program_result == file_digest(dir / "levels" / "result.txt");
  const bool boost_exact = program_result == file_digest(dir / "boost" / "result.txt");
  const bool same_launches =
      output_text(checked).find("Kernel Executed " + launches + " times\n") != std::string::npos;
  // The program's first two copies to the device are its node and edge arrays.
  std::vector<std::string> uploads;
  for (const Copy& c : copies)
    if (c.kind == 1) uploads.push_back(c.digest);
  const bool load_exact = uploads.size() >= 2 &&
                          uploads[0] == report_value(load, "node_digest", "tessak_baseline load") &&
                          uploads[1] == report_value(load, "edge_digest", "tessak_baseline load");
  const double nodes = std::stod(report_value(load, "nodes", "tessak_baseline load"));
  const double edges = std::stod(report_value(load, "edges", "tessak_baseline load"));

  Row search{"`tessak` " + g.name + ": search", "level loops", {}, {}, g.search_target};
  Row bgl{"`tessak` " + g.name + ": search", "BGL `breadth_first_search`"};
  Row loading{"`tessak` " + g.name + ": loading", "read + `strtol`", {}, {}, 1.5};
  search.check_ok = search_exact && same_launches;
  search.check = search_exact ? "exact: result.txt, " + launches + " launches" +
                                    (same_launches ? "" : " (MISMATCH: launch count)")
                              : "MISMATCH: result.txt";
  bgl.check_ok = boost_exact;
  bgl.check = boost_exact ? "exact: result.txt" : "MISMATCH: result.txt";
  loading.check_ok = load_exact;
  loading.check = load_exact ? "exact: node and edge arrays (trace digests)" : "MISMATCH: node or edge array";

  std::vector<long> rss;
  WholeRuns whole;
  interleave(ctx.sizes.runs, label,
             {
                 [&] {
                   const RunResult r = must_run(program(ctx, "tessak", args, dir / "program"), "tessak");
                   loading.program_ms.push_back(between_lines(r, "Reading File", "Read File", "tessak"));
                   std::smatch m;
                   const std::string out = output_text(r);
                   if (!std::regex_search(out, m, std::regex(R"(Processing time: ([0-9.]+) \(ms\))")))
                     throw Failure("tessak did not print its processing time");
                   const double ms = std::stod(m[1]);
                   search.program_ms.push_back(ms);
                   bgl.program_ms.push_back(ms);
                   if (file_digest(dir / "program" / "result.txt") != program_result)
                     throw Failure("tessak wrote a different result.txt in a timed run");
                   rss.push_back(r.peak_rss_kib);
                   whole.add(r);
                 },
                 [&] {
                   loading.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "tessak_baseline", {"load", file.string()}, dir / "load"),
                                "tessak_baseline load"),
                       "load"));
                 },
                 [&] {
                   search.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "tessak_baseline", {"levels", file.string()}, dir / "levels"),
                                "tessak_baseline levels"),
                       "levels"));
                 },
                 [&] {
                   bgl.baseline_ms.push_back(report_ms(
                       must_run(baseline(ctx, "tessak_baseline", {"boost", file.string()}, dir / "boost"),
                                "tessak_baseline boost"),
                       "boost"));
                 },
             });
  search.peak_rss_kib = max_of(rss);
  // Node (8 bytes), mask, visited (1 each) and cost (4) per node, 4 bytes per
  // edge, on the host and again on the device, plus the progress flag.
  search.data_bytes = 2 * (nodes * 14 + edges * 4) + 1;
  ctx.rows.push_back(search);
  ctx.rows.push_back(bgl);
  ctx.rows.push_back(loading);
  ctx.notes.push_back("`tessak` " + g.name + ": " + fixed(nodes, 0) + " nodes, " + fixed(edges, 0) +
                      " edges, " + fixed(static_cast<double>(fs::file_size(file)) / 1e6, 1) + " MB file, " +
                      launches + " launches; " + whole.text());
}

void bench_tessak(Context& ctx) {
  const Sizes& s = ctx.sizes;
  const std::string n = std::to_string(s.uniform_nodes);
  const std::string w = std::to_string(s.grid_width), h = std::to_string(s.grid_height);
  const std::string scale = std::to_string(s.rmat_scale);
  const std::vector<GraphCase> graphs = {
      {"uniform " + n + " nodes", "uniform-" + n + ".txt", {"uniform", n}, 1.0},
      {"grid " + w + "x" + h, "grid-" + w + "x" + h + ".txt", {"grid", w, h}, 1.5},
      {"R-MAT 2^" + scale, "rmat-" + scale + ".txt", {"rmat", scale}, 0},
  };
  for (const GraphCase& g : graphs) {
    try {
      bench_tessak_graph(ctx, g);
    } catch (const Failure& e) {
      ctx.failures.push_back(std::string("tessak ") + g.name + ": " + e.what());
      ctx.rows.push_back(Row{"`tessak` " + g.name, "", {}, {}, 0, std::string("FAILED: ") + e.what(), false});
    }
  }
}

}  // namespace bench::compare
