// The packing half: recipe items in, packet bytes out.
#pragma once

#include <span>

#include "packet/read_item.hpp"
#include "python.hpp"

namespace bitloom {

// Sizes the packet in a first pass, then writes every item's value at bit
// granularity into one zero-filled buffer. Returns the new bytes object.
[[nodiscard]] PacketResult<Ref> build_packet(RecipeItems& recipe);

}  // namespace bitloom
