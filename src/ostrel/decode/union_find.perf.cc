// Times (in CPU time) UnionFindDecoder::decode on fixtures written by bench/union_find_fixtures.py (see there
// for the build line): a graph as the builder derives it from a stim DEM, and sampled shots, each
// decoded as one whole window. Prints nanoseconds per decode and the logical error rate.
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ostrel/decode/union_find.h"

namespace {

struct Fixture {
  std::string name;
  std::shared_ptr<ostrel::dem::SpacetimeGraph> graph = std::make_shared<ostrel::dem::SpacetimeGraph>();
  std::vector<std::vector<uint8_t>> shots;
  std::vector<uint64_t> truths;
};

bool load(const char* path, Fixture& fixture) {
  std::ifstream in(path);
  uint64_t nodes = 0, edges = 0, shots = 0, detectors = 0;
  if (!(in >> fixture.name >> nodes >> fixture.graph->boundary_node >> edges)) return false;
  fixture.graph->nodes.resize(nodes);
  fixture.graph->edges.resize(edges);
  for (auto& edge : fixture.graph->edges) {
    size_t count = 0;
    in >> edge.u >> edge.v >> count;
    edge.observables.resize(count);
    for (auto& k : edge.observables) {
      unsigned value = 0;
      in >> value;
      k = static_cast<uint8_t>(value);
    }
  }
  in >> shots >> detectors;
  fixture.shots.resize(shots);
  fixture.truths.resize(shots);
  for (uint64_t s = 0; s < shots; ++s) {
    std::string bits;
    in >> bits >> fixture.truths[s];
    fixture.shots[s].resize(bits.size());
    for (size_t i = 0; i < bits.size(); ++i) fixture.shots[s][i] = bits[i] == '1';
  }
  return static_cast<bool>(in);
}

}  // namespace

int main(int argc, char** argv) {
  for (int a = 1; a < argc; ++a) {
    Fixture fixture;
    if (!load(argv[a], fixture)) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 1;
    }
    auto created = ostrel::decode::UnionFindDecoder::create(fixture.graph);
    if (!created.ok()) {
      std::fprintf(stderr, "%s\n", created.error().message().c_str());
      return 1;
    }
    auto decoder = std::move(created).value();
    uint64_t wrong = 0;
    for (size_t s = 0; s < fixture.shots.size(); ++s) wrong += decoder.decode(fixture.shots[s]) != fixture.truths[s];
    constexpr int kRepeats = 5;
    uint64_t sink = 0;
    // CPU time of this process: the machine may be shared, so wall time would count waiting.
    const std::clock_t start = std::clock();
    for (int r = 0; r < kRepeats; ++r) {
      for (const auto& shot : fixture.shots) sink += decoder.decode(shot);
    }
    const double elapsed_ns = 1e9 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    std::printf("%-32s %9.1f ns/decode  (N=%zu E=%zu, logical error rate %.4f, checksum %llu)\n",
                fixture.name.c_str(), elapsed_ns / (kRepeats * fixture.shots.size()),
                fixture.graph->nodes.size(), fixture.graph->edges.size(),
                static_cast<double>(wrong) / fixture.shots.size(), static_cast<unsigned long long>(sink % 1000));
  }
}
