// The page's way into the header patch: this project's own header code, compiled to
// WebAssembly. The page writes an image's first bytes into the block (zeros past a short
// image's end, as the console program has them), calls patch_block and reads the block back.
#include "cartridge_header.hpp"

#include <array>
#include <cstdint>

namespace {

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): the page's one shared buffer
std::array<std::uint8_t, halvek::header_block_size> block{};

}  // namespace

extern "C" {

__attribute__((export_name("header_block"))) std::uint8_t* header_block()
{
    return block.data();
}

// Patches the block in place and returns the complement check it now holds.
__attribute__((export_name("patch_block"))) unsigned patch_block()
{
    halvek::patch_header(block);
    return block[halvek::complement_offset];
}
}
