#include "ostrel/decode/round_order.h"

namespace ostrel::decode {

std::optional<std::string> round_refusal(uint32_t round, size_t events, size_t columns, bool in_shot,
                                         uint32_t next_round) {
  if (events != columns)
    return "round " + std::to_string(round) + " holds " + std::to_string(events) +
           " ancillas but the detector layout has " + std::to_string(columns);
  if (round == 0) return std::nullopt;
  if (!in_shot) return "round " + std::to_string(round) + " arrives outside a shot (a shot starts at round 0)";
  if (round != next_round)
    return "round " + std::to_string(round) + " does not follow round " + std::to_string(next_round - 1) +
           " (expected round " + std::to_string(next_round) + ")";
  return std::nullopt;
}

}  // namespace ostrel::decode
