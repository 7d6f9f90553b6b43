// Times (CPU time) graph decoders on a model and its shots, and counts the passes correlated
// decoding runs per shot. The files come from bench/correlated_fixtures.py (see there for the build
// line): model.dem (DEM text) and shots.txt (per line: the observable mask, then the fired detectors).
//
//     correlated-perf model.dem shots.txt [decoder ...]
//
// A decoder is a method's name, or a correlated variant spelt FIRST/BASE:PASSES with FIRST and
// BASE each `uf` (weighted Union-Find) or `m` (matching): `uf/m:2` takes its first pass with
// Union-Find and one more with matching. Passes accumulate their re-weighting. A suffix @N keeps
// passes past the second for shots of at least N fired detectors (uf/m:3@96); a suffix #N takes the
// first pass with BASE on shots of fewer than N (uf/m:3@96#24).
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel/decode/correlated/correlated_decoder.h"
#include "ostrel/decode/decode_method.h"
#include "ostrel/decode/matching/matching_decoder.h"
#include "ostrel/decode/weighted_union_find.h"
#include "ostrel/dem/dem_parser.h"

namespace {

struct Shot {
  uint64_t mask = 0;
  std::vector<uint32_t> fired;
};

std::unique_ptr<ostrel::decode::GraphDecoder> base(const std::string& name,
                                                  const std::shared_ptr<const ostrel::decode::DecodingGraph>& graph) {
  using namespace ostrel::decode;
  if (name == "uf") return std::make_unique<WeightedUnionFind>(graph);
  if (name == "m") return std::make_unique<matching::MatchingDecoder>(graph);
  return nullptr;
}

std::unique_ptr<ostrel::decode::GraphDecoder> make(const std::string& name,
                                                  const std::shared_ptr<const ostrel::decode::DecodingGraph>& graph) {
  using namespace ostrel::decode;
  for (const DecodeMethod m : {DecodeMethod::kWeightedUnionFind, DecodeMethod::kMatching,
                               DecodeMethod::kCorrelatedUnionFind, DecodeMethod::kCorrelatedMatching})
    if (decode_method_name(m) == name) return make_graph_decoder(m, graph);
  const size_t hash = name.find('#');
  const auto sparse = hash == std::string::npos ? 0u : static_cast<uint32_t>(std::stoul(name.substr(hash + 1)));
  const size_t slash = name.find('/'), colon = name.find(':'), at = name.find('@');
  if (slash == std::string::npos || colon == std::string::npos || colon < slash) return nullptr;
  auto first = base(name.substr(0, slash), graph);
  auto rest = base(name.substr(slash + 1, colon - slash - 1), graph);
  if (!first || !rest) return nullptr;
  const auto passes = static_cast<uint32_t>(std::stoul(name.substr(colon + 1, at == std::string::npos ? at : at - colon - 1)));
  const auto crowded = at == std::string::npos ? 0u : static_cast<uint32_t>(std::stoul(name.substr(at + 1, hash == std::string::npos ? hash : hash - at - 1)));
  const bool same = name.substr(0, slash) == name.substr(slash + 1, colon - slash - 1);
  return std::make_unique<CorrelatedDecoder>(std::move(rest), passes, true, same ? nullptr : std::move(first), crowded,
                                             sparse);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ostrel::decode;
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s model.dem shots.txt [method ...]\n", argv[0]);
    return 2;
  }
  std::ifstream model_file(argv[1]);
  std::stringstream text;
  text << model_file.rdbuf();
  auto model = ostrel::dem::parse_dem(text.str());
  if (!model.ok()) return 1;
  auto built = build_decoding_graph(model.value());
  if (!built.ok()) return 1;
  const std::shared_ptr<const DecodingGraph> graph = std::move(built).value();
  std::vector<Shot> shots;
  std::ifstream shot_file(argv[2]);
  for (std::string line; std::getline(shot_file, line);) {
    std::istringstream in(line);
    Shot s;
    in >> s.mask;
    for (uint32_t d; in >> d;) s.fired.push_back(d);
    shots.push_back(std::move(s));
  }
  std::vector<std::string> methods;
  for (int a = 3; a < argc; ++a) methods.emplace_back(argv[a]);
  if (methods.empty()) methods = {"matching", "correlated-matching"};
  for (const std::string& name : methods) {
    auto decoder = make(name, graph);
    if (!decoder) {
      std::fprintf(stderr, "unknown decoder %s\n", name.c_str());
      continue;
    }
    auto* correlated = dynamic_cast<CorrelatedDecoder*>(decoder.get());
    auto* plain = dynamic_cast<matching::MatchingDecoder*>(decoder.get());
    uint64_t paths = 0, searched = 0;
    std::map<uint32_t, uint64_t> passes;
    uint64_t failures = 0;
    const std::clock_t start = std::clock();
    for (int rep = 0; rep < 3; ++rep)
      for (const Shot& s : shots) {
        failures += decoder->decode(s.fired) != s.mask;
        if (correlated) ++passes[correlated->last_passes()];
        if (plain) {  // the correction's paths, and how many had to be searched for
          plain->correction();
          paths += plain->matched().size();
          searched += plain->searched_paths();
        }
      }
    const double us = 1e6 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC / (3.0 * static_cast<double>(shots.size()));
    std::printf("%-24s %8.2f us/shot  %llu failures of %zu", name.c_str(), us,
                static_cast<unsigned long long>(failures / 3), shots.size());
    for (const auto& [k, n] : passes) std::printf("  %u passes: %.3f", k, static_cast<double>(n) / (3.0 * static_cast<double>(shots.size())));
    if (paths) std::printf("  with correction; searched %.4f of %llu paths", static_cast<double>(searched) / static_cast<double>(paths), static_cast<unsigned long long>(paths));
    std::printf("\n");
  }
  return 0;
}
