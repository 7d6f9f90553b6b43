// Times (in process CPU time, one thread) a sliding window of any method fed round by round
// in-process against whole-shot decoding of the same shots by the same method, and writes both
// predictions for pairing. Fixtures come from bench/hypergraph_windows.py (a model's text, its
// shots as stim's "01" lines, optionally a layout table: one line of detector indices per round,
// -1 for none):
//
//   cmake --build build --target model_window_perf
//   build/model_window_perf METHOD model.dem shots.01 COMMIT BUFFER predictions.txt [layout.txt] [OPTIONS]
//
// Prints one line: shots, rounds, window µs per round, whole-shot µs per round, windows decoded.
// predictions.txt gets "window whole" masks, one shot per line.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel/dem/dem_parser.h"
#include "ostrel/driver/make_decoder.h"
#include "ostrel/driver/window_decoder.h"
#include "ostrel/driver/window_plan.h"

namespace {

using namespace ostrel;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::vector<std::vector<uint8_t>> read_shots(const char* path) {
  std::ifstream in(path);
  std::vector<std::vector<uint8_t>> shots;
  for (std::string line; std::getline(in, line);) {
    std::vector<uint8_t> s;
    for (char c : line)
      if (c == '0' || c == '1') s.push_back(c == '1');
    shots.push_back(std::move(s));
  }
  return shots;
}

int complain(const std::string& why) {
  std::fprintf(stderr, "model_window_perf: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) return complain("usage: METHOD model.dem shots.01 COMMIT BUFFER predictions.txt [layout.txt] [OPTIONS]");
  const auto spec = driver::method_for(argv[1]);
  if (!spec.ok()) return complain(spec.error().message);
  std::ifstream dem_in(argv[2]);
  const std::string text((std::istreambuf_iterator<char>(dem_in)), std::istreambuf_iterator<char>());
  const auto shots = read_shots(argv[3]);
  const auto commit = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
  const auto buffer = static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10));
  auto parsed = dem::parse_dem(text);
  if (!parsed.ok()) return complain(parsed.error().message());
  const dem::DetectorErrorModel& model = *parsed;
  driver::DecoderOptions options;
  if (argc > 8) {
    auto read = driver::DecoderOptions::parse(argv[8]);
    if (!read.ok()) return complain(read.error());
    options = std::move(read).value();
  }
  auto layout = [&]() -> Result<decode::DetectorLayout, std::string> {
    if (argc < 8 || std::string(argv[7]) == "-") return decode::DetectorLayout::from_coordinates(model);
    std::ifstream in(argv[7]);
    std::vector<int64_t> cells;
    uint64_t rows = 0, columns = 0;
    for (std::string line; std::getline(in, line);) {
      std::istringstream row(line);
      uint64_t n = 0;
      for (int64_t v; row >> v; ++n) cells.push_back(v);
      if (n == 0) continue;
      columns = n;
      ++rows;
    }
    return decode::DetectorLayout::from_table(model, rows, columns, cells);
  }();
  if (!layout.ok()) return complain(layout.error());
  auto plan = driver::plan_window(model, *layout, commit, buffer, **spec, options);
  if (!plan.ok()) return complain(plan.error().message);
  auto made = driver::WindowDecoder::create(std::move(plan).value());
  if (!made.ok()) return complain(made.error().message);
  driver::WindowDecoder window = std::move(made).value();
  auto whole = driver::make_decoder(model, argv[1], options);
  if (!whole.ok()) return complain(whole.error().message);

  const decode::DetectorLayout& lay = window.plan().layout();
  const uint32_t rows = lay.rows(), cols = lay.columns();
  std::vector<std::vector<uint8_t>> frames(shots.size(), std::vector<uint8_t>(size_t{rows} * cols, 0));
  std::vector<std::vector<uint32_t>> fired(shots.size());
  for (size_t s = 0; s < shots.size(); ++s) {
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < cols; ++c)
        if (const uint32_t d = lay.detector(r, c); d != decode::DetectorLayout::kNone && d < shots[s].size())
          frames[s][size_t{r} * cols + c] = shots[s][d];
    for (uint32_t d = 0; d < shots[s].size() && d < model.detector_count; ++d)
      if (shots[s][d]) fired[s].push_back(d);
  }
  std::vector<uint64_t> whole_pred(shots.size()), window_pred(shots.size());
  const auto now = driver::WindowDecoder::Clock::now();
  double t0 = cpu_seconds();
  for (size_t s = 0; s < shots.size(); ++s)
    for (uint32_t r = 0; r < rows; ++r) {
      auto pushed = window.push(r, std::span(frames[s]).subspan(size_t{r} * cols, cols), now);
      if (!pushed.ok()) return complain(pushed.error());
      if (pushed->shot_ended) window_pred[s] = pushed->frame;
    }
  const double t_window = cpu_seconds() - t0;
  t0 = cpu_seconds();
  for (size_t s = 0; s < shots.size(); ++s) {
    auto decoded = whole->decoder->decode(fired[s]);
    whole_pred[s] = decoded.ok() ? *decoded : 0;
  }
  const double t_whole = cpu_seconds() - t0;
  std::ofstream out(argv[6]);
  for (size_t s = 0; s < shots.size(); ++s) out << window_pred[s] << ' ' << whole_pred[s] << '\n';
  const double n_rounds = static_cast<double>(shots.size()) * rows;
  std::printf("%zu %u %.3f %.3f %llu\n", shots.size(), rows, 1e6 * t_window / n_rounds, 1e6 * t_whole / n_rounds,
              static_cast<unsigned long long>(window.windows_decoded()));
  return 0;
}
