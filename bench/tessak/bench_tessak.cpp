// bench_tessak: how long tessak takes to load and to search large graphs, and
// how long a plain single-threaded queue-based search takes on the same graph.
//
//   bench_tessak [--repeat N] [--keep DIR]
//
// Graphs: uniform random, 1,000,000 nodes with out-degree 1..11 (about 6
// million edges), and a 1000 x 1000 grid searched from a corner (1999 levels).
// Load time is the wall time of a tessak run whose first device allocation is
// made to fail (CUDART_FAIL=cudaMalloc:1), so it ends right after "Read File";
// search time is what tessak prints as its processing time (the launches and
// their synchronisation). Each figure is the best of N runs (default 3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "graph.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Run {
  int status;
  double wall_s;
  std::string out;
};

Run run_tessak(const fs::path& dir, const std::string& env) {
  const std::string command = "cd '" + dir.string() + "' && " + env + " '" TESSAK_BIN
                              "' graph.txt > out.txt 2> err.txt";
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double wall = seconds_since(start);
  return {status, wall, read_text(dir / "out.txt")};
}

std::vector<int> read_result(const fs::path& path) {
  std::vector<int> costs;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) costs.push_back(std::stoi(line.substr(line.find(':') + 1)));
  return costs;
}

bool bench(const std::string& name, const graphgen::Graph& graph, const fs::path& dir, int repeat) {
  fs::create_directories(dir);
  auto start = Clock::now();
  const std::string text = graphgen::format_graph(graph);
  std::ofstream(dir / "graph.txt", std::ios::binary) << text;
  std::printf("%s: %d nodes, %d edges, %.1f MB file (written in %.2f s)\n", name.c_str(),
              graph.node_count(), graph.edge_list_size(), text.size() / 1e6, seconds_since(start));

  double load = 1e30, total = 1e30, search_ms = 1e30;
  int launches = -1;
  for (int i = 0; i < repeat; i++) {
    const Run loaded = run_tessak(dir, "CUDART_FAIL=cudaMalloc:1");
    if (loaded.out.find("Read File\n") == std::string::npos) {
      std::fprintf(stderr, "%s: tessak did not load the graph:\n%s", name.c_str(), loaded.out.c_str());
      return false;
    }
    load = std::min(load, loaded.wall_s);

    const Run full = run_tessak(dir, "");
    std::smatch m;
    if (full.status != 0 ||
        !std::regex_search(full.out, m, std::regex(R"(Kernel Executed (\d+) times\nProcessing time: ([0-9.]+))"))) {
      std::fprintf(stderr, "%s: tessak failed:\n%s", name.c_str(), full.out.c_str());
      return false;
    }
    launches = std::stoi(m[1]);
    search_ms = std::min(search_ms, std::stod(m[2]));
    total = std::min(total, full.wall_s);
  }

  std::vector<int> hops;
  double reference = 1e30;
  for (int i = 0; i < repeat; i++) {
    start = Clock::now();
    hops = graphgen::bfs_hops(graph);
    reference = std::min(reference, seconds_since(start));
  }
  const bool same = read_result(dir / "result.txt") == hops;
  const int levels = *std::max_element(hops.begin(), hops.end()) + 1;
  const long reached = std::count_if(hops.begin(), hops.end(), [](int h) { return h >= 0; });

  std::printf("  reached %ld nodes in %d levels; tessak made %d launches; hop counts %s\n", reached,
              levels, launches, same ? "match the queue search" : "DIFFER FROM THE QUEUE SEARCH");
  std::printf("  tessak load (process start to \"Read File\"): %8.1f ms\n", load * 1e3);
  std::printf("  tessak search (printed processing time):     %8.1f ms  (%.3f ms per launch)\n",
              search_ms, search_ms / launches);
  std::printf("  tessak whole run:                            %8.1f ms\n", total * 1e3);
  std::printf("  queue-based search, one thread:              %8.1f ms\n", reference * 1e3);
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 3;
  fs::path keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
    else if (arg == "--keep") keep = argv[i + 1];
  }
  const fs::path dir = keep.empty() ? fs::temp_directory_path() / ("bench_tessak." + std::to_string(getpid()))
                                    : keep;
  bool ok = bench("uniform", graphgen::make_uniform(1000000, 1, 11, 1), dir / "uniform", repeat);
  ok = bench("grid", graphgen::make_grid(1000, 1000, 1), dir / "grid", repeat) && ok;
  if (keep.empty()) fs::remove_all(dir);
  return ok ? 0 : 1;
}
