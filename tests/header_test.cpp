#include "cartridge_header.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using block = std::array<std::uint8_t, halvek::header_block_size>;

constexpr std::size_t patched_begin = 0xB5;
constexpr std::size_t software_version = 0xBC;
constexpr std::size_t patched_end = 0xC0;

// The block as the patch must leave it: marker, complement and cleared bytes in place, the
// software version and everything else as it was.
block patched(block bytes, std::uint8_t complement)
{
    const std::array<std::uint8_t, 7> marker{0x00, 0x00, 0x00, 0x9C, 0x01, 0x10, 0x00};
    std::copy(marker.begin(), marker.end(), bytes.begin() + patched_begin);
    bytes.at(0xBD) = complement;
    bytes.at(0xBE) = 0x00;
    bytes.at(0xBF) = 0x00;
    return bytes;
}

struct patch_case {
    std::string label;
    block before;
    std::uint8_t complement;
    friend void PrintTo(const patch_case& given, std::ostream* out) { *out << given.label; }
};

block filled(std::uint8_t value)
{
    block bytes{};
    bytes.fill(value);
    return bytes;
}

block with(block bytes, std::size_t offset, std::uint8_t value)
{
    bytes.at(offset) = value;
    return bytes;
}

block with_old_reserved_bytes()
{
    block bytes{};
    for (std::size_t offset = patched_begin; offset < patched_end; ++offset) {
        if (offset != software_version) {
            bytes.at(offset) = static_cast<std::uint8_t>(0x5A + offset);
        }
    }
    return bytes;
}

std::vector<patch_case> patch_cases()
{
    return {
        {"all_zero", filled(0x00), 0x3A},
        {"software_version_one", with(filled(0x00), 0xBC, 0x01), 0x39},
        {"all_ff", filled(0xFF), 0x50},
        {"old_reserved_bytes_ignored", with_old_reserved_bytes(), 0x3A},
        {"title_byte_counts", with(filled(0x00), 0xA0, 0x41), static_cast<std::uint8_t>(0x3A - 0x41)},
        {"fixed_value_counts", with(filled(0x00), 0xB2, 0x96), static_cast<std::uint8_t>(0x3A - 0x96)},
    };
}

class patch_header_cases : public testing::TestWithParam<patch_case> {};

TEST_P(patch_header_cases, writes_marker_and_complement_and_leaves_the_rest)
{
    const patch_case& given = GetParam();
    block bytes = given.before;
    halvek::patch_header(bytes);
    EXPECT_EQ(bytes, patched(given.before, given.complement));
}

INSTANTIATE_TEST_SUITE_P(table, patch_header_cases, testing::ValuesIn(patch_cases()),
                         [](const testing::TestParamInfo<patch_case>& info) { return info.param.label; });

// Properties that must hold for any block, checked over many random ones.
TEST(patch_header_property, any_block_passes_the_check_and_patching_again_changes_nothing)
{
    std::mt19937 random(20261208);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        block before{};
        for (auto& value : before) {
            value = static_cast<std::uint8_t>(byte(random));
        }
        block once = before;
        halvek::patch_header(once);

        unsigned sum = 0x19;
        for (std::size_t offset = 0xA0; offset <= 0xBD; ++offset) {
            sum += once.at(offset);
        }
        ASSERT_EQ(sum % 256, 0U) << "round " << round;
        for (std::size_t offset = 0; offset < once.size(); ++offset) {
            if (offset < patched_begin || offset >= patched_end || offset == software_version) {
                ASSERT_EQ(once.at(offset), before.at(offset)) << "round " << round << " offset " << offset;
            }
        }
        block twice = once;
        halvek::patch_header(twice);
        ASSERT_EQ(twice, once) << "round " << round;
    }
}

}  // namespace
