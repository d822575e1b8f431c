#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace halvek {

inline constexpr std::size_t header_block_size = 512;

// Offsets into the header block, the same as offsets into the image file.
inline constexpr std::size_t checked_area_begin = 0xA0;  // game title, first byte the check covers
inline constexpr std::size_t reserved_area_offset = 0xB5;
inline constexpr std::size_t complement_offset = 0xBD;
inline constexpr std::size_t second_reserved_offset = 0xBE;
inline constexpr std::size_t patched_area_end = 0xC0;  // one past the last byte the patch touches

// Written byte by byte from the reserved area upward; it is a byte string, not a number,
// so its layout must not depend on the machine's byte order.
inline constexpr std::array<std::uint8_t, 7> sram_marker{0x00, 0x00, 0x00, 0x9C, 0x01, 0x10, 0x00};

// The cartridge header's complement check over 0xA0..0xBC: the byte that makes
// 0xA0..0xBD plus 0x19 sum to zero modulo 256.
[[nodiscard]] std::uint8_t header_complement(std::span<const std::uint8_t, header_block_size> block) noexcept;

// Writes the SRAM marker, clears 0xBD..0xBF and stores the recomputed complement at 0xBD.
void patch_header(std::span<std::uint8_t, header_block_size> block) noexcept;

}  // namespace halvek
