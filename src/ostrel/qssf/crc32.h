#pragma once
// CRC-32/ISO-HDLC (the CRC of zlib and PNG): reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF. Check value over "123456789" is 0xCBF43926.
#include <cstdint>
#include <span>

namespace ostrel::qssf {

// Folds 16 bytes at a time with the CPU's carry-less multiply where it has one, else by table.
uint32_t crc32(std::span<const uint8_t> bytes) noexcept;
// The table-driven version alone, on every CPU.
uint32_t crc32_by_table(std::span<const uint8_t> bytes) noexcept;

}  // namespace ostrel::qssf
