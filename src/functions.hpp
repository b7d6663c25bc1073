// The published functions: their method records, in registration order
// (which is also the order of __all__).
#pragma once

#include <cstdint>
#include <span>

#include "common/numbers.hpp"
#include "packet/recipe_item.hpp"
#include "python.hpp"

namespace bitloom {

[[nodiscard]] std::span<PyMethodDef> published_functions() noexcept;

// The bodies of the packet functions (packet.cpp), run on converted arguments.
PyObject* pack_parameters(RecipeItems& recipe);
PyObject* unpack_parameters(ByteSpan packet, std::uint32_t offset_bits, RecipeItems& recipe);

}  // namespace bitloom
