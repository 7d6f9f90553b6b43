#pragma once
// CRC-32C (Castagnoli): reflected polynomial 0x82F63B78, initial value and final XOR 0xFFFFFFFF.
// Check value over "123456789" is 0xE3069283. It guards frame payloads (the checksum extension
// entry); CPUs with SSE4.2 compute it with their crc32 instruction.
#include <cstdint>
#include <span>

namespace ostrel::qssf {

uint32_t crc32c(std::span<const uint8_t> bytes) noexcept;
// The CRC-32C of a message whose first part had CRC-32C `crc`, after `more` is appended to it:
// crc32c(a + b) == crc32c_extend(crc32c(a), b), and crc32c(b) == crc32c_extend(0, b).
uint32_t crc32c_extend(uint32_t crc, std::span<const uint8_t> more) noexcept;
// The table-driven version alone, on every CPU.
uint32_t crc32c_extend_by_table(uint32_t crc, std::span<const uint8_t> more) noexcept;

}  // namespace ostrel::qssf
