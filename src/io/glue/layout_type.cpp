// bitloom_io.Layout, bitloom_io.Field and bitloom_io.Columns: the Python side
// of compiled layouts.
#include <array>
#include <memory>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "io/glue/layout_object.hpp"
#include "io/glue/numpy_api.hpp"
#include "io/glue/parts.hpp"
#include "packet/recipe_item.hpp"

namespace bitloom::io {

namespace {

PyObject* layout_type = nullptr;
PyTypeObject* field_type = nullptr;
PyObject* columns_type = nullptr;

constexpr const char* layout_doc =
    "Layout(recipe, *, exact=False)\n--\n\n"
    "A recipe compiled once: reads and writes packets as bitloom.unpack_parameters\n"
    "and bitloom.pack_parameters do with that recipe, one at a time or in batches.\n\n"
    "Every item is read, checked and resolved when the layout is built; later\n"
    "changes to the recipe do not reach it. What is wrong with the recipe in both\n"
    "directions (a missing key, a wrong type, a bad byte order, an encoding\n"
    "neither direction knows) is refused here with the error the bitloom\n"
    "functions give; what depends on the direction or on the data is raised by\n"
    "the methods, as those functions raise it.\n\n"
    "exact=False reads every field through its byte window, exactly as\n"
    "unpack_parameters does. exact=True reads each field from its own bits at its\n"
    "exact position (then byte order, mirroring and decoding as usual), which\n"
    "makes unpack the inverse of pack for every numeric field of 1 to 64 bits at\n"
    "any position, except little-endian fields whose bits is not a multiple of 8\n"
    "(packing itself drops bits there), and for text fields whose bits is a\n"
    "multiple of 8.\n\n"
    "Beyond the bitloom functions, a layout knows the encoding \"binary\" (raw\n"
    "bytes at any bit position, bits a multiple of 8, read at its exact bits in\n"
    "both modes) and, for binary and text fields, a width taken from an earlier\n"
    "integer field of the same packet:\n"
    "    \"bits\": {\"field\": \"PKT_LEN\", \"slope\": 8, \"intercept\": -328}\n"
    "(width in bits = value * slope + intercept). Fields after such a field are\n"
    "placed per packet; a width that comes out negative, or runs past the packet,\n"
    "fails that packet.";

// --- helpers -------------------------------------------------------------------

PyObject* copy_deep(PyObject* obj) {
    static PyObject* deepcopy = nullptr;
    if (deepcopy == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("copy"));
        if (!module) return nullptr;
        deepcopy = PyObject_GetAttrString(module.get(), "deepcopy");
        if (deepcopy == nullptr) return nullptr;
    }
    return PyObject_CallOneArg(deepcopy, obj);
}

// A deep copy of recipe data, as copy.deepcopy gives it for the shapes
// recipes have: exact dicts, lists and tuples copied, exact str, int, float,
// bool, bytes and None shared (they cannot change), anything else through
// copy.deepcopy. Containers are copied shallowly first and the copies
// walked, so that Python code run by a fallback copy or a key's hash cannot
// change what is being walked. Building a layout of many fields spends most
// of its time here with copy.deepcopy.
Ref copy_data(PyObject* obj, int depth) {
    PyTypeObject* type = Py_TYPE(obj);
    if (obj == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyBool_Type || type == &PyBytes_Type) {
        return Ref::borrow(obj);
    }
    constexpr int deepest = 32;  // deeper data goes to copy.deepcopy, which guards its recursion
    if (depth > deepest) return Ref::steal(copy_deep(obj));
    if (type == &PyDict_Type) {
        Ref copy = Ref::steal(PyDict_Copy(obj));
        if (!copy) return {};
        Ref keys = Ref::steal(PyDict_Keys(copy.get()));
        if (!keys) return {};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            if (Py_TYPE(key) != &PyUnicode_Type)
                return Ref::steal(copy_deep(obj));  // keys of other kinds: as deepcopy does
            PyObject* value = nullptr;
            if (PyDict_GetItemRef(copy.get(), key, &value) <= 0) return {};
            Ref held = Ref::steal(value);
            Ref copied = copy_data(value, depth + 1);
            if (!copied || PyDict_SetItem(copy.get(), key, copied.get()) < 0) return {};
        }
        return copy;
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        Ref items = Ref::steal(PySequence_List(obj));
        if (!items) return {};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref copied = copy_data(PyList_GET_ITEM(items.get(), i), depth + 1);
            if (!copied) return {};
            PyList_SetItem(items.get(), i, copied.release());
        }
        if (type == &PyList_Type) return items;
        return Ref::steal(PyList_AsTuple(items.get()));
    }
    return Ref::steal(copy_deep(obj));
}

Ref start_object(const FieldSpec& f) {
    if (!f.start) return Ref::borrow(Py_None);
    return Ref::steal(PyLong_FromUnsignedLong(*f.start));
}

Ref bits_object(const BoundLayout& layout, const FieldSpec& f) {
    if (f.dynamic) return Ref::steal(PyDict_Copy(layout.of(f).dynamic_spec.get()));
    return Ref::steal(PyLong_FromUnsignedLong(f.bits));
}

PyObject* make_fields(const BoundLayout& layout) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout.native.fields.size())));
    if (!tuple) return nullptr;
    for (const FieldSpec& f : layout.native.fields) {
        Ref item = Ref::steal(PyStructSequence_New(field_type));
        if (!item) return nullptr;
        PyObject* values[] = {
            PyLong_FromSize_t(f.index),
            Py_NewRef(layout.of(f).name.get()),
            Py_NewRef(layout.of(f).encoding.get()),
            start_object(f).release(),
            bits_object(layout, f).release(),
            PyUnicode_FromString(f.little ? "little" : "big"),
            Py_NewRef(f.reverse ? Py_True : Py_False),
        };
        bool ok = true;
        for (Py_ssize_t k = 0; k < 7; ++k) {
            if (values[k] == nullptr) ok = false;
            PyStructSequence_SetItem(item.get(), k, values[k]);
        }
        if (!ok) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(f.index), item.release());
    }
    return tuple.release();
}

// The recipe item's name, when it has a readable one, for notes on
// construction errors.
std::string item_label(PyObject* item, std::size_t index) {
    std::string label = "recipe item " + std::to_string(index);
    if (PyDict_Check(item)) {
        PyObject* name = nullptr;
        if (PyDict_GetItemStringRef(item, "name", &name) > 0) {
            if (PyUnicode_Check(name)) {
                const char* utf8 = PyUnicode_AsUTF8(name);
                if (utf8 != nullptr) label += std::string(" '") + utf8 + "'";
            }
            Py_DECREF(name);
        }
        PyErr_Clear();
    }
    return label;
}

}  // namespace

void add_note(const std::string& note) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    Ref result = Ref::steal(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

PyObject* raise_field_error(const Layout& layout, const FieldError& error, const std::string& prefix) {
    raise_wrapped_packet_error(error.error);
    const FieldSpec* f = error.field < layout.fields.size() ? &layout.fields[error.field] : nullptr;
    if (!prefix.empty()) {
        // Rebuild the message with the prefix in front.
        PyObject* exc = PyErr_GetRaisedException();
        Ref text = Ref::steal(PyObject_Str(exc));
        Py_DECREF(exc);
        if (!text) return nullptr;
        std::string message = prefix;
        if (f != nullptr) message += describe_field(layout, *f) + ": ";
        message += PyUnicode_AsUTF8(text.get());
        PyErr_SetString(PyExc_ValueError, message.c_str());
    }
    if (f != nullptr) add_note("in layout field " + describe_field(layout, *f));
    return nullptr;
}

PyObject* columns_class() { return columns_type; }

const BoundLayout* layout_of(PyObject* self) {
    const BoundLayout* layout = reinterpret_cast<LayoutObject*>(self)->layout;
    if (layout == nullptr) PyErr_SetString(PyExc_ValueError, "the Layout is not initialised");
    return layout;
}

namespace {

struct FullLayoutObject {
    LayoutObject base;
    PyObject* fields;  // tuple of Field, made on first use (null until then)
};

// Built in __init__, so that a subclass's __init__ may take arguments of its
// own and pass the recipe on; __new__ makes an empty object, which refuses
// every use until it is initialised. A layout is initialised once: threads
// may be reading packets with it while the interpreter lock is released.
PyObject* layout_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int layout_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* done = call_boundary([&]() -> PyObject* {
        auto* obj = reinterpret_cast<FullLayoutObject*>(self);
        if (obj->base.layout != nullptr) {
            PyErr_SetString(PyExc_TypeError, "a Layout is initialised only once");
            return nullptr;
        }
        static constexpr Signature sig{"Layout", "", {"recipe", "exact"}, 2, 1, 1};
        std::array<PyObject*, 2> slots{};
        if (!match_tuple_arguments(sig, args, kwargs, slots.data())) return nullptr;
        PyObject* recipe = slots[0];
        const int exact = slots[1] == nullptr ? 0 : PyObject_IsTrue(slots[1]);
        if (exact < 0) return nullptr;
        RecipeItems items;
        if (!convert_argument<RecipeItems, convert_sequence>(recipe, "recipe", items)) return nullptr;
        auto compiled = compile_layout(items.view(), exact != 0);
        if (!compiled) {
            std::string label;
            if (compiled.error().error.kind == ErrorKind::python_pending) {
                // Reading the item's name below must not disturb the error.
                Ref pending = take_pending_exception();
                if (compiled.error().field < items.view().size()) {
                    label = item_label(items.view()[compiled.error().field], compiled.error().field);
                }
                PyErr_SetRaisedException(pending.release());
            } else if (compiled.error().field < items.view().size()) {
                label = item_label(items.view()[compiled.error().field], compiled.error().field);
            }
            raise_wrapped_packet_error(compiled.error().error);
            if (!label.empty()) add_note("in " + label);
            return nullptr;
        }
        std::unique_ptr<BoundLayout> layout(*compiled);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.view().size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < items.view().size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items.view()[i]));
        }
        layout->recipe = copy_data(list.get(), 0);
        if (!layout->recipe) return nullptr;
        obj->base.layout = layout.release();
        return Py_None;
    });
    return done == nullptr ? -1 : 0;
}

// NOLINTNEXTLINE(readability-function-cognitive-complexity): a flat list of visits
int layout_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* obj = reinterpret_cast<FullLayoutObject*>(self);
    Py_VISIT(obj->fields);
    if (const BoundLayout* layout = obj->base.layout) {
        Py_VISIT(layout->recipe.get());
        for (const FieldObjects& f : layout->objects) {
            Py_VISIT(f.value.get());
            Py_VISIT(f.dynamic_spec.get());
        }
    }
    return 0;
}

int layout_clear(PyObject* self) {
    auto* obj = reinterpret_cast<FullLayoutObject*>(self);
    Py_CLEAR(obj->fields);
    delete std::exchange(obj->base.layout, nullptr);
    return 0;
}

void layout_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    layout_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* layout_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        static constexpr Signature sig{"unpack", "", {"packet", "offset_bits"}, 2, 1};
        // The usual call, unpack(packet), reads its one argument directly.
        std::array<PyObject*, 2> slots{nargs >= 1 ? args[0] : nullptr, nullptr};
        if (kwnames != nullptr || nargs != 1) {
            if (!match_arguments_slow(sig, args, nargs, kwnames, slots.data())) return nullptr;
        }
        const BoundLayout* layout = layout_of(self);
        if (layout == nullptr) return nullptr;
        std::uint32_t offset = 0;
        if (slots[1] != nullptr && !convert_argument<std::uint32_t, convert_u32>(slots[1], "offset_bits", offset)) {
            return nullptr;
        }
        PyObject* packet = slots[0];
        if (PyBytes_Check(packet)) {
            std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(packet)),
                                                static_cast<std::size_t>(PyBytes_GET_SIZE(packet)));
            auto result = unpack_packet(*layout, bytes, offset);
            return result ? result->release() : raise_field_error(layout->native, result.error());
        }
        BufferView view;
        if (!view.acquire(packet, PyBUF_SIMPLE)) {
            PyErr_Clear();
            raise_cast_error(packet, "bytes");
            rewrap_argument_error("packet");
            return nullptr;
        }
        auto result = unpack_packet(*layout, view.bytes(), offset);
        return result ? result->release() : raise_field_error(layout->native, result.error());
    });
}

PyObject* layout_pack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&]() -> PyObject* {
        static constexpr Signature sig{"pack", "", {"values"}, 1, 0};
        std::array<PyObject*, 1> slots{};
        PyObject* values = nullptr;
        if (kwnames == nullptr && nargs <= 1) {
            values = nargs == 1 ? args[0] : nullptr;
        } else {
            if (!match_arguments_slow(sig, args, nargs, kwnames, slots.data())) return nullptr;
            values = slots[0];
        }
        if (values == Py_None) values = nullptr;
        if (values != nullptr && !PyMapping_Check(values)) {
            raise_cast_error(values, "Mapping");
            rewrap_argument_error("values");
            return nullptr;
        }
        const BoundLayout* layout = layout_of(self);
        if (layout == nullptr) return nullptr;
        auto result = pack_packet(*layout, values);
        return result ? result->release() : raise_field_error(layout->native, result.error());
    });
}

// Made on first use: a layout of many fields is often built only to read
// packets, and its Field objects would be most of what building it costs.
PyObject* layout_get_fields(PyObject* self, void*) {
    auto* obj = reinterpret_cast<FullLayoutObject*>(self);
    const BoundLayout* layout = layout_of(self);
    if (layout == nullptr) return nullptr;
    if (obj->fields == nullptr) {
        obj->fields = make_fields(*layout);
        if (obj->fields == nullptr) return nullptr;
    }
    return Py_NewRef(obj->fields);
}

PyObject* layout_get_exact(PyObject* self, void*) {
    const BoundLayout* layout = layout_of(self);
    if (layout == nullptr) return nullptr;
    return PyBool_FromLong(layout->native.exact);
}

PyObject* layout_get_recipe(PyObject* self, void*) {
    const BoundLayout* layout = layout_of(self);
    if (layout == nullptr) return nullptr;
    return copy_deep(layout->recipe.get());
}

PyObject* layout_repr(PyObject* self) {
    return call_boundary([&]() -> PyObject* {
        const BoundLayout* bound = layout_of(self);
        if (bound == nullptr) return nullptr;
        const Layout* layout = &bound->native;
        const char* type_name = _PyType_Name(Py_TYPE(self));
        std::string text = std::string(type_name) + "(exact=" + (layout->exact ? "True" : "False") + ", fields=[";
        for (const FieldSpec& f : layout->fields) {
            if (f.index > 0) text += ", ";
            text += f.name_utf8 + ": " + f.encoding_utf8 + " @";
            text += f.start ? std::to_string(*f.start) : std::string("?");
            text += "+";
            if (f.dynamic) {
                text += layout->fields[f.dynamic->field].name_utf8 + "*" + std::to_string(f.dynamic->slope) +
                        (f.dynamic->intercept < 0 ? "" : "+") + std::to_string(f.dynamic->intercept);
            } else {
                text += std::to_string(f.bits);
            }
            text += f.little ? " little" : " big";
            if (f.reverse) text += " mirrored";
        }
        text += "])";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* rebuild_layout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature sig{"_rebuild_layout", "", {"cls", "recipe", "exact"}, 3, 3};
    std::array<PyObject*, 3> slots{};
    PyObject* const* a = match_arguments(sig, args, nargs, kwnames, slots);
    if (a == nullptr) return nullptr;
    const int exact = PyObject_IsTrue(a[2]);
    if (exact < 0) return nullptr;
    PyObject* cls = a[0];
    Ref positional = Ref::steal(PyTuple_Pack(1, a[1]));
    Ref keywords = Ref::steal(Py_BuildValue("{s:O}", "exact", exact ? Py_True : Py_False));
    if (!positional || !keywords) return nullptr;
    return PyObject_Call(cls, positional.get(), keywords.get());
}

PyObject* layout_reduce(PyObject* self, PyObject*) {
    const BoundLayout* layout = layout_of(self);
    if (layout == nullptr) return nullptr;
    static PyObject* rebuild = nullptr;
    if (rebuild == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("bitloom_io._native"));
        if (!module) return nullptr;
        rebuild = PyObject_GetAttrString(module.get(), "_rebuild_layout");
        if (rebuild == nullptr) return nullptr;
    }
    Ref state;
    PyObject* dict = nullptr;
    if (PyObject_GetOptionalAttrString(self, "__dict__", &dict) < 0) return nullptr;
    state = Ref::steal(dict);
    return Py_BuildValue("O(OOO)O", rebuild, Py_TYPE(self), layout->recipe.get(),
                         layout->native.exact ? Py_True : Py_False, state ? state.get() : Py_None);
}

// Drawing is plain Python over `fields` (bitloom_io.diagram); it is reached
// from the type itself so that every Layout has it, however it was made and
// whatever of the package has been imported.
PyObject* layout_diagram(PyObject* self, PyObject* args, PyObject* kwargs) {
    static PyObject* render = nullptr;
    if (render == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("bitloom_io.diagram"));
        if (!module) return nullptr;
        render = PyObject_GetAttrString(module.get(), "render");
        if (render == nullptr) return nullptr;
    }
    Ref fields = Ref::steal(PyObject_GetAttrString(self, "fields"));
    if (!fields) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    Ref call = Ref::steal(PyTuple_New(count + 1));
    if (!call) return nullptr;
    PyTuple_SET_ITEM(call.get(), 0, fields.release());
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(call.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    return PyObject_Call(render, call.get(), kwargs);
}

PyMethodDef layout_methods[] = {
    {"unpack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_unpack)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, packet, offset_bits=0, /)\n--\n\n"
     "The packet's fields as a dict, as bitloom.unpack_parameters(packet, offset_bits,\n"
     "recipe) returns them (exact=False), or each read at its exact bits (exact=True).\n"
     "packet is any bytes-like object."},
    {"pack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_pack)), METH_FASTCALL | METH_KEYWORDS,
     "pack($self, values=None, /)\n--\n\n"
     "The packet as bytes, as bitloom.pack_parameters(recipe) builds it, with each\n"
     "item's value replaced by values[name] where values has that name. A name of\n"
     "values that no field has is an error."},
    {"unpack_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_unpack_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "unpack_many($self, buffer, /, *, stride=None, offsets=None, lengths=None, errors='raise',\n"
     "            threads=None)\n--\n\n"
     "Decodes many packets into columns: a Columns dict of one numpy array per field\n"
     "name. buffer is any buffer-protocol object (not copied) or a list of bytes\n"
     "packets. Packets are at multiples of stride, or at the byte offsets given\n"
     "(lengths default to stride, or up to the next offset or the buffer's end).\n"
     "errors='raise' raises ValueError for the first failing packet;\n"
     "errors='mask' returns numpy masked arrays with failing packets masked.\n"
     "threads: how many threads a large batch is spread over (None: get_threads());\n"
     "the result is the same for any."},
    {"pack_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_pack_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "pack_many($self, columns, /)\n--\n\n"
     "Packs one packet per row of columns (a mapping of field name to array-like,\n"
     "all of one length; fields without a column pack their recipe value) and\n"
     "returns the packets end to end as bytes."},
    {"diagram", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout_diagram)),
     METH_VARARGS | METH_KEYWORDS,
     "diagram($self, bits_per_row=32)\n--\n\n"
     "The layout as a bit diagram: a ruler of bit numbers, bits_per_row bits per row,\n"
     "each field a box holding its name."},
    {"__reduce__", layout_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef layout_getset[] = {
    {"fields", layout_get_fields, nullptr, "The fields as a tuple of Field, in recipe order.", nullptr},
    {"exact", layout_get_exact, nullptr, "Whether fields are read at their exact bits.", nullptr},
    {"recipe", layout_get_recipe, nullptr, "A deep copy of the recipe the layout was built from.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot layout_slots[] = {
    {Py_tp_doc, const_cast<char*>(layout_doc)},
    {Py_tp_new, reinterpret_cast<void*>(layout_new)},
    {Py_tp_init, reinterpret_cast<void*>(layout_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(layout_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(layout_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(layout_repr)},
    {Py_tp_methods, layout_methods},
    {Py_tp_getset, layout_getset},
    {0, nullptr},
};

PyType_Spec layout_spec = {
    "bitloom_io.Layout",
    sizeof(FullLayoutObject),
    0,
    // Weak references: caches keyed by layout (the encoder's) let go of a
    // layout when its user does.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
    layout_slots,
};

PyStructSequence_Field field_fields[] = {
    {"index", "position of the item in the recipe"},
    {"name", "the item's name"},
    {"encoding", "the encoding as the recipe names it"},
    {"start_bit", "first bit, counted from the start of reading; None when it depends on a dynamic width"},
    {"bits", "width in bits, or the dynamic width's dict"},
    {"byte_order", "'big' or 'little'"},
    {"reverse_bits", "whether the field's bits are mirrored"},
    {nullptr, nullptr},
};

PyStructSequence_Desc field_desc = {
    "bitloom_io.Field",
    "One field of a Layout: index, name, encoding, start_bit, bits, byte_order, reverse_bits.",
    field_fields,
    7,
};

PyMethodDef module_functions[] = {
    {"_rebuild_layout", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rebuild_layout)),
     METH_FASTCALL | METH_KEYWORDS, "Rebuilds a pickled Layout."},
    {"set_threads", set_threads, METH_O,
     "set_threads(n, /)\n--\n\n"
     "How many threads Layout.unpack_many (and so decode) uses when its call does not\n"
     "say: a positive int, or None for the number of CPUs this process may use\n"
     "(os.process_cpu_count()). 1 keeps every batch on the calling thread."},
    {"_interleave_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interleave_rows_py)), METH_FASTCALL,
     "_interleave_rows(columns, out, starts, /)\n--\n\n"
     "Value i of columns[j] to out[starts[i] + j]: columns of one value per row become\n"
     "the rows' values one after another."},
    {"_gather_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gather_values_py)), METH_FASTCALL,
     "_gather_values(buffer, starts, count, stride, swap, out, places, /)\n--\n\n"
     "Each row's count values of out's item size, from byte starts[i] of buffer and\n"
     "every stride bytes after, to out[places[i]:places[i] + count]; bytes reversed\n"
     "when swap."},
    {"get_threads", get_threads, METH_NOARGS,
     "get_threads()\n--\n\n"
     "How many threads a batch uses when its call does not say (see set_threads)."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_columns_class() {
    Ref name = Ref::steal(PyUnicode_FromString("Columns"));
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyDict_Type)));
    Ref ns = Ref::steal(Py_BuildValue("{s:s,s:s,s:s,s:i,s:O}", "__module__", "bitloom_io", "__qualname__", "Columns",
                                      "__doc__",
                                      "Columns decoded by Layout.unpack_many: a dict of field name to numpy array,\n"
                                      "with `failures` (how many packets failed) and `failed` (a numpy bool array,\n"
                                      "True for each failed packet).",
                                      "failures", 0, "failed", Py_None));
    if (!name || !bases || !ns) return nullptr;
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), ns.get(),
                                        nullptr);
}

}  // namespace

bool add_layout_part(PyObject* module) {
    if (layout_type == nullptr) {
        layout_type = PyType_FromModuleAndSpec(module, &layout_spec, nullptr);
        if (layout_type == nullptr) return false;
    }
    if (field_type == nullptr) {
        field_type = PyStructSequence_NewType(&field_desc);
        if (field_type == nullptr) return false;
    }
    if (columns_type == nullptr) {
        columns_type = make_columns_class();
        if (columns_type == nullptr) return false;
    }
    if (PyModule_AddObjectRef(module, "Layout", layout_type) < 0 ||
        PyModule_AddObjectRef(module, "Field", reinterpret_cast<PyObject*>(field_type)) < 0 ||
        PyModule_AddObjectRef(module, "Columns", columns_type) < 0) {
        return false;
    }
    return PyModule_AddFunctions(module, module_functions) == 0;
}

}  // namespace bitloom::io
