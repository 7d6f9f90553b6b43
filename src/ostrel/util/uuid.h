#pragma once
// Random (version 4, RFC 4122 variant) UUIDs from the operating system's random bytes.
#include <array>
#include <cstdint>

#include "ostrel/util/os_error.h"
#include "ostrel/util/result.h"

namespace ostrel {

using Uuid = std::array<uint8_t, 16>;

Result<Uuid, OsError> random_uuid_v4();

// Stamps the version (4) and variant (10xx) bits onto 16 random bytes.
Uuid make_uuid_v4(Uuid random_bytes);

}  // namespace ostrel
