#pragma once
// Relay-BP (Müller et al., arXiv:2506.01779): min-sum with memory, run in legs. The first leg has
// one memory strength gamma0 for every variable; each relay leg after it draws a strength per
// variable uniformly from [gamma_min, gamma_max] (negative ones included, as the paper finds
// indispensable) and starts from where the leg before it ended, its final marginals as memory.
// Every leg whose hard decision meets the syndrome is a solution; after `solutions` of them, or
// `legs` relay legs, the least-weight solution (sum ln((1 - p) / p) of the priors) is the answer.
// No post-processing: the cost is bounded by pre_iter + legs * num_iter iterations.
//
// The strengths of leg r for variable j come from a hash of (seed, r, j): a decode depends only on
// its syndrome and the options, whatever the order of shots or the copy of the decoder (and j is
// the whole model's column, so a neighbourhood draws what the whole would).
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ostrel/decode/belief/belief_propagation.h"
#include "ostrel/decode/belief/neighbourhood.h"
#include "ostrel/dem/dem_model.h"
#include "ostrel/util/result.h"

namespace ostrel::decode::belief {

struct RelayBpOptions {
  double gamma0 = 0.1;         // the first leg's memory strength
  uint32_t pre_iter = 80;      // iterations of the first leg
  uint32_t num_iter = 60;      // iterations of each relay leg
  uint32_t legs = 300;         // relay legs after the first, at most
  double gamma_min = -0.24;    // relay legs' strengths are drawn from [gamma_min, gamma_max]
  double gamma_max = 0.66;
  uint32_t solutions = 5;      // stop once this many legs have met the syndrome
  double ms_scaling_factor = 1.0;
  uint64_t seed = 0;
  // The paper's legs are parallel (as hardware runs them); serial ones meet the syndrome in
  // about half the iterations on a processor.
  BpSchedule schedule = BpSchedule::kParallel;
  // Legs run on the neighbourhood of the fired detectors (Neighbourhood: the errors that flip one
  // of them), whose cost follows the syndrome, and on the whole model only when no leg there met
  // the syndrome. There two relay legs in a row without a solution end the relay (fewer than
  // `solutions` may be kept). An approximation; off by default.
  bool neighbourhood = false;
  // A leg that leaves unmet only rows each flipped alone by some error (the open end of a
  // window, where every detector has its measurement error cut to itself) is completed by those
  // errors, the likeliest of each row's, into a solution. BP tends to oscillate there between
  // that error and ones shared with the row's neighbours, and a leg ending so is otherwise lost.
  bool complete_lone_rows = true;
};

std::optional<std::string> refuse_options(const RelayBpOptions& options);

class RelayBpDecoder {
 public:
  static Result<RelayBpDecoder, std::string> create(const dem::DetectorErrorModel& dem, const RelayBpOptions& options);

  uint64_t decode(std::span<const uint32_t> fired);
  // The last answer's columns (the last leg's hard decision when no leg met the syndrome).
  std::span<const uint32_t> correction() const { return correction_; }
  double correction_weight() const { return weight_; }
  // Solutions found by the last decode, and the legs it ran (the first included).
  uint32_t solutions_found() const { return found_; }
  // Of them, the ones completed by lone columns (complete_lone_rows).
  uint32_t solutions_completed() const { return completed_; }
  uint32_t legs_run() const { return legs_run_; }
  // BP iterations the last decode ran, over all its legs.
  uint64_t iterations_run() const { return iterations_run_; }
  bool first_leg_converged() const { return first_converged_; }
  // Whether the last decode ran on the whole model (always, without the neighbourhood option).
  bool ran_on_whole() const { return whole_run_; }
  const CheckMatrix& matrix() const { return bp_.matrix(); }

 private:
  // BP on a neighbourhood; a copy binds its BP to its own neighbourhood.
  struct Local {
    Neighbourhood region;
    BeliefPropagation bp;
    std::vector<double> prior_llrs;  // per neighbourhood column, from the whole's
    Local(std::shared_ptr<const CheckMatrix> whole, const BpOptions& options);
    Local(const Local& other);
    Local& operator=(const Local& other);
  };

  RelayBpDecoder(BeliefPropagation bp, const RelayBpOptions& options);
  // The legs on `bp`, whose column j is the whole's column `whole_column(j)` (identity when null).
  void run_legs(BeliefPropagation& bp, const Neighbourhood* region);
  void draw_strengths(uint32_t leg, uint32_t columns, const Neighbourhood* region);
  // A leg's answer, met or completed (lone_ holds the completing columns), as a solution.
  void consider(const BeliefPropagation& bp, const Neighbourhood* region);
  void take(const BeliefPropagation& bp, const Neighbourhood* region);
  // Whether a leg's end is a solution: it met the syndrome, or lone_ now holds the columns that
  // complete it.
  bool solved(bool converged, const BeliefPropagation& bp, const Neighbourhood* region);

  BeliefPropagation bp_;
  std::optional<Local> local_;
  RelayBpOptions options_;
  std::vector<float> gamma_;  // this leg's strengths, per column
  std::vector<uint32_t> lone_column_;  // per whole row: its likeliest column of no other row, or kNoColumn
  std::vector<uint32_t> lone_;         // the columns completing the leg being considered (whole's)
  std::vector<uint32_t> correction_;
  uint64_t observables_ = 0;
  double weight_ = 0;
  uint32_t found_ = 0;
  uint32_t completed_ = 0;
  uint32_t legs_run_ = 0;
  uint64_t iterations_run_ = 0;
  bool first_converged_ = false;
  bool whole_run_ = false;
};

}  // namespace ostrel::decode::belief
