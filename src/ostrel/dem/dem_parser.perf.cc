// Times parse_dem on DEM files. Not part of any build target; compile against the core library:
//   g++ -std=c++20 -O2 -Isrc src/ostrel/dem/dem_parser.perf.cc build/libostrel_core.a -o /tmp/dem_perf
//   /tmp/dem_perf model.dem [more.dem ...]
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "ostrel/dem/dem_parser.h"
#include "ostrel/dem/spacetime_graph.h"

int main(int argc, char** argv) {
  using clock = std::chrono::steady_clock;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string text = buf.str();
    double best_parse = 1e30, best_graph = 1e30;
    size_t errors = 0, edges = 0;
    for (int rep = 0; rep < 30; ++rep) {
      const auto t0 = clock::now();
      auto model = ostrel::dem::parse_dem(text);
      const auto t1 = clock::now();
      if (!model.ok()) {
        std::printf("%s: %s\n", argv[i], model.error().message().c_str());
        return 1;
      }
      auto graph = ostrel::dem::build_spacetime_graph(model.value());
      const auto t2 = clock::now();
      errors = model->error_count();
      edges = graph.ok() ? graph.value()->edges.size() : 0;
      best_parse = std::min(best_parse, std::chrono::duration<double, std::milli>(t1 - t0).count());
      best_graph = std::min(best_graph, std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::printf("%s: %zu bytes, %zu errors, %zu edges: parse %.3f ms, graph %.3f ms\n", argv[i],
                text.size(), errors, edges, best_parse, best_graph);
  }
}
