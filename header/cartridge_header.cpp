#include "cartridge_header.hpp"

#include <algorithm>

namespace halvek {

std::uint8_t header_complement(std::span<const std::uint8_t, header_block_size> block) noexcept
{
    constexpr unsigned check_bias = 0x19;
    unsigned sum = check_bias;
    for (const std::uint8_t byte : block.subspan<checked_area_begin, complement_offset - checked_area_begin>()) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(0U - sum);
}

void patch_header(std::span<std::uint8_t, header_block_size> block) noexcept
{
    std::ranges::copy(sram_marker, block.begin() + reserved_area_offset);
    std::fill(block.begin() + complement_offset, block.begin() + patched_area_end, std::uint8_t{0});
    block[complement_offset] = header_complement(block);
}

}  // namespace halvek
