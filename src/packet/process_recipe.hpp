// The unpacking half: a packet and a recipe in, a dict of decoded values out.
#pragma once

#include <cstdint>
#include <span>

#include "packet/read_item.hpp"
#include "python.hpp"

namespace bitloom {

// Reads one field per item, starting at bit `offset_bits`, and returns the
// new dict mapping each item's name to its decoded value.
[[nodiscard]] PacketResult<Ref> process_recipe(std::span<const std::uint8_t> packet, std::uint32_t offset_bits,
                                               RecipeItems& recipe);

}  // namespace bitloom
