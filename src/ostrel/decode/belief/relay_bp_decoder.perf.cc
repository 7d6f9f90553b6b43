// Where Relay-BP's time goes on a model and its shots (in process CPU time, one thread): the
// matrix's size, fired detectors per shot, legs and iterations per shot, the first leg's
// convergence, and CPU µs per shot and per iteration.
//
//   cmake --build build --target relay_bp_perf
//   build/relay_bp_perf model.dem shots.01 [key=value ...]
//
// Keys: pre_iter, num_iter, legs, solutions, gamma0, gamma_min, gamma_max, ms_scaling_factor, seed,
// serial,
// neighbourhood and complete (0 or 1).
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ostrel/decode/belief/relay_bp_decoder.h"
#include "ostrel/dem/dem_parser.h"

namespace {

using namespace ostrel;
using namespace ostrel::decode::belief;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

int complain(const std::string& why) {
  std::fprintf(stderr, "relay_bp_perf: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return complain("usage: model.dem shots.01 [key=value ...]");
  std::ifstream dem_in(argv[1]);
  const std::string text((std::istreambuf_iterator<char>(dem_in)), std::istreambuf_iterator<char>());
  auto parsed = dem::parse_dem(text);
  if (!parsed.ok()) return complain(parsed.error().message());
  RelayBpOptions o;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    if (eq == std::string::npos) return complain("not key=value: " + arg);
    const std::string key = arg.substr(0, eq);
    const double v = std::strtod(arg.c_str() + eq + 1, nullptr);
    if (key == "pre_iter") o.pre_iter = static_cast<uint32_t>(v);
    else if (key == "num_iter") o.num_iter = static_cast<uint32_t>(v);
    else if (key == "legs") o.legs = static_cast<uint32_t>(v);
    else if (key == "solutions") o.solutions = static_cast<uint32_t>(v);
    else if (key == "gamma0") o.gamma0 = v;
    else if (key == "gamma_min") o.gamma_min = v;
    else if (key == "gamma_max") o.gamma_max = v;
    else if (key == "seed") o.seed = static_cast<uint64_t>(v);
    else if (key == "serial") o.schedule = v != 0 ? BpSchedule::kSerial : BpSchedule::kParallel;
    else if (key == "neighbourhood") o.neighbourhood = v != 0;
    else if (key == "complete") o.complete_lone_rows = v != 0;
    else if (key == "ms_scaling_factor") o.ms_scaling_factor = v;
    else return complain("unknown key: " + key);
  }
  auto made = RelayBpDecoder::create(*parsed, o);
  if (!made.ok()) return complain(made.error());
  RelayBpDecoder decoder = std::move(made).value();
  const CheckMatrix& h = decoder.matrix();
  std::vector<std::vector<uint32_t>> shots;
  {
    std::ifstream in(argv[2]);
    for (std::string line; std::getline(in, line);) {
      std::vector<uint32_t> fired;
      for (uint32_t d = 0; d < line.size(); ++d)
        if (line[d] == '1') fired.push_back(d);
      shots.push_back(std::move(fired));
    }
  }
  uint32_t longest_row = 0, longest_column = 0;
  for (uint32_t r = 0; r < h.row_count; ++r) longest_row = std::max(longest_row, h.row_start[r + 1] - h.row_start[r]);
  for (uint32_t c = 0; c < h.column_count; ++c)
    longest_column = std::max(longest_column, h.column_start[c + 1] - h.column_start[c]);
  std::printf("matrix: %u rows, %u columns, %zu entries (rows up to %u, columns up to %u)\n", h.row_count,
              h.column_count, h.entry_count(), longest_row, longest_column);
  uint64_t fired = 0, legs = 0, iterations = 0, first_converged = 0, solved = 0, whole = 0, completed = 0;
  std::vector<uint64_t> per_shot;
  std::vector<uint64_t> predictions;
  double whole_seconds = 0;
  const double t0 = cpu_seconds();
  for (const auto& s : shots) {
    const double shot_start = cpu_seconds();
    predictions.push_back(decoder.decode(s));
    if (decoder.ran_on_whole()) whole_seconds += cpu_seconds() - shot_start;
    fired += s.size();
    legs += decoder.legs_run();
    iterations += decoder.iterations_run();
    per_shot.push_back(decoder.iterations_run());
    first_converged += decoder.first_leg_converged();
    solved += decoder.solutions_found() > 0;
    whole += decoder.ran_on_whole();
    completed += decoder.solutions_completed() > 0;
  }
  const double t = cpu_seconds() - t0;
  const double n = static_cast<double>(shots.size());
  std::sort(per_shot.begin(), per_shot.end());
  std::printf("%zu shots: %.1f fired, %.2f legs, %.1f iterations (median %llu, 99th %llu) a shot; first leg "
              "converged %.1f %%, solved %.1f %%\n",
              shots.size(), static_cast<double>(fired) / n, static_cast<double>(legs) / n,
              static_cast<double>(iterations) / n, static_cast<unsigned long long>(per_shot[per_shot.size() / 2]),
              static_cast<unsigned long long>(per_shot[per_shot.size() * 99 / 100]),
              100.0 * static_cast<double>(first_converged) / n, 100.0 * static_cast<double>(solved) / n);
  std::printf("ran on the whole matrix: %.1f %% of shots, %.1f %% of the time; a solution completed by lone "
              "columns: %.1f %%\n",
              100.0 * static_cast<double>(whole) / n, 100.0 * whole_seconds / t, 100.0 * static_cast<double>(completed) / n);
  std::printf("%.1f µs a shot, %.2f µs an iteration (%.2f ns an entry)\n", 1e6 * t / n,
              1e6 * t / static_cast<double>(iterations),
              1e9 * t / static_cast<double>(iterations) / static_cast<double>(h.entry_count()));
  if (const char* out = std::getenv("RELAY_BP_PERF_PREDICTIONS")) {
    std::ofstream file(out);
    for (const uint64_t p : predictions) file << p << '\n';
  }
  return 0;
}
