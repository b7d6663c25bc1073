// The bodies of pack_parameters and unpack_parameters: one call into the
// packet routine, and the wrapping of every error the routine reports as
// ValueError "<type>: <message>", with a note naming the recipe item.
#include "functions.hpp"
#include "packet/build_packet.hpp"
#include "packet/process_recipe.hpp"
#include "packet/recipe_item.hpp"

namespace bitloom {

namespace {

// The packet error as ValueError "<type>: <message>", carrying the note that
// names the item. A note that cannot be added is left out.
PyObject* raise_packet_error(const PacketError& error) {
    raise_wrapped_packet_error(error.error);
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return nullptr;
    static PyObject* add_note = PyUnicode_InternFromString("add_note");
    Ref note = Ref::steal(PyUnicode_FromStringAndSize(error.note.data(), static_cast<Py_ssize_t>(error.note.size())));
    Ref added =
        add_note != nullptr && note ? Ref::steal(PyObject_CallMethodOneArg(raised, add_note, note.get())) : Ref();
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    return nullptr;
}

}  // namespace

PyObject* pack_parameters(RecipeItems& recipe) {
    auto packet = build_packet(recipe);
    return packet ? packet->release() : raise_packet_error(packet.error());
}

PyObject* unpack_parameters(ByteSpan packet, std::uint32_t offset_bits, RecipeItems& recipe) {
    auto result = process_recipe(packet, offset_bits, recipe);
    return result ? result->release() : raise_packet_error(result.error());
}

}  // namespace bitloom
