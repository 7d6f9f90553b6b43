// Times MobiusDecoder::decode in CPU time on a model and shots written by Stim (detection events
// in the "01" format, one shot a line), and writes each shot's observable mask, one a line, for
// comparison with other decoders on the same shots, with the lifted matching's weight and the
// correction's (ln((1 - p) / p) units). The last argument picks the variant: one (one matching,
// the default), reprice (mobius's second matching) or correlated.
//   cmake --build build --target mobius_decoder_perf
//   build/mobius_decoder_perf model.dem shots.01 predictions.txt [one|reprice|correlated]
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel/decode/mobius/mobius_decoder.h"
#include "ostrel/dem/dem_parser.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s model.dem shots.01 predictions.txt [one|reprice|correlated]\n", argv[0]);
    return 2;
  }
  std::ifstream model_file(argv[1]);
  std::stringstream text;
  text << model_file.rdbuf();
  auto model = ostrel::dem::parse_dem(text.str());
  if (!model.ok()) return 1;
  ostrel::decode::mobius::MobiusOptions options;
  const std::string variant = argc > 4 ? argv[4] : "one";
  options.correlated = variant == "correlated";
  options.reprice_pieces = variant == "reprice";
  auto decoder = ostrel::decode::mobius::MobiusDecoder::create(model.value(), options);
  if (!decoder.ok()) {
    std::fprintf(stderr, "%s\n", decoder.error().c_str());
    return 1;
  }
  std::vector<std::vector<uint32_t>> shots;
  std::ifstream in(argv[2]);
  for (std::string line; std::getline(in, line);) {
    std::vector<uint32_t>& fired = shots.emplace_back();
    for (uint32_t i = 0; i < line.size(); ++i)
      if (line[i] == '1') fired.push_back(i);
  }
  std::vector<uint64_t> masks(shots.size());
  uint64_t unexplained = 0;
  const std::clock_t start = std::clock();
  for (size_t s = 0; s < shots.size(); ++s) {
    masks[s] = decoder->decode(shots[s]);
    unexplained += !decoder->explained();
  }
  const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
  std::ofstream out(argv[3]);
  for (size_t s = 0; s < shots.size(); ++s) {
    decoder->decode(shots[s]);
    double w = 0;
    for (uint32_t a : decoder->correction()) w += decoder->lifted().atom_weight[a];
    out << masks[s] << ' ' << decoder->matching_weight() << ' ' << w << '\n';
  }
  std::printf("%zu shots, %.3f us per shot (CPU), %llu unexplained\n", shots.size(), 1e6 * seconds / shots.size(),
              static_cast<unsigned long long>(unexplained));
  return 0;
}
