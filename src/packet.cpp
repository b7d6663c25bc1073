// The Python side of pack_parameters and unpack_parameters: argument
// conversion, one call into the packet routine, and the wrapping of every
// error the routine reports as ValueError "<type>: <message>".
#include "boundary.hpp"
#include "functions.hpp"
#include "packet/build_packet.hpp"
#include "packet/process_recipe.hpp"
#include "packet/recipe_item.hpp"

namespace bitloom {

PyObject* py_pack_parameters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        const Signature& sig = packet_signature(true);
        std::array<PyObject*, 1> slots;
        PyObject* const* a = match_arguments(sig, args, nargs, kwnames, slots);
        if (a == nullptr) return nullptr;
        RecipeItems items;
        if (!convert_argument<RecipeItems, convert_sequence>(a[0], sig.params[0], items)) return nullptr;
        auto packet = build_packet(items.view());
        return packet ? packet->release() : raise_wrapped_packet_error(packet.error());
    });
}

PyObject* py_unpack_parameters(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        const Signature& sig = packet_signature(false);
        std::array<PyObject*, 3> slots;
        PyObject* const* a = match_arguments(sig, args, nargs, kwnames, slots);
        if (a == nullptr) return nullptr;
        std::span<const std::uint8_t> packet;
        std::uint32_t offset_bits;
        RecipeItems items;
        if (!convert_argument<std::span<const std::uint8_t>, convert_bytes>(a[0], sig.params[0], packet) ||
            !convert_argument<std::uint32_t, convert_u32>(a[1], sig.params[1], offset_bits) ||
            !convert_argument<RecipeItems, convert_sequence>(a[2], sig.params[2], items)) {
            return nullptr;
        }
        auto result = process_recipe(packet, offset_bits, items.view());
        return result ? result->release() : raise_wrapped_packet_error(result.error());
    });
}

}  // namespace bitloom
