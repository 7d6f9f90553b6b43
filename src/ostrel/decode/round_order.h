#pragma once
// The order rounds of a shot must arrive in, as every window decoder checks it: round 0 starts a
// shot (abandoning one in progress), any other round must be the next of the shot in progress.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel::decode {

// Whether the round may be taken now: the common case, checked without building a message.
inline bool round_in_order(uint32_t round, size_t events, size_t columns, bool in_shot, uint32_t next_round) {
  return events == columns && (round == 0 || (in_shot && round == next_round));
}

// Why a round of `events` events cannot be taken now (the text the decoders fail with), or nothing.
std::optional<std::string> round_refusal(uint32_t round, size_t events, size_t columns, bool in_shot,
                                         uint32_t next_round);

}  // namespace ostrel::decode
