#include "packet/recipe_item.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace bitloom {

const RecipeKeys& build_recipe_keys() {
    // Built on first use while holding the interpreter lock; interned strings
    // are immortal, so the pointers stay valid for the life of the process.
    static RecipeKeys keys{};
    for (std::size_t i = 0; i < field_count; ++i) {
        if (keys.objects[i] == nullptr) {
            const std::string_view name = field_name(static_cast<Field>(i));
            keys.objects[i] = PyUnicode_InternFromString(std::string(name).c_str());
            if (keys.objects[i] == nullptr) panic("could not create the recipe key strings");
        }
    }
    recipe_keys_built = &keys;
    return keys;
}

void InternedNames::add(PyObject* name, Codec codec, bool packs) noexcept {
    std::size_t slot = slot_of(name);
    while (entries_[slot].name != nullptr && entries_[slot].name != name) slot = (slot + 1) % slot_count;
    entries_[slot] = Entry{name, codec, packs};
}

const InternedNames& build_interned_names() {
    // Built on first use while holding the interpreter lock; the strings are
    // interned and never released, so their addresses stay theirs.
    static InternedNames names;
    static bool ready = false;
    if (!ready) {
        auto intern = [](std::string_view text) {
            PyObject* s = PyUnicode_InternFromString(std::string(text).c_str());
            if (s == nullptr) panic("could not create the interned encoding names");
            return s;
        };
        for (const auto& row : shared_codec_names) names.add(intern(row.name), row.value, true);
        for (const auto& row : unpack_only_codec_names) names.add(intern(row.name), row.value, false);
        names.big_ = intern("big");
        names.little_ = intern("little");
        ready = true;
    }
    interned_names_built = &names;
    return names;
}

namespace {

// collections.abc.Sequence, imported on first need and kept for the process.
PyObject* abstract_sequence_class() {
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        Ref name = Ref::steal(PyUnicode_FromString("collections.abc"));
        Ref module = name ? Ref::steal(PyImport_Import(name.get())) : Ref();
        PyObject* found = module ? PyObject_GetAttrString(module.get(), "Sequence") : nullptr;
        if (found == nullptr) {
            PyErr_Clear();
            panic("could not look up collections.abc.Sequence");
        }
        cls = found;
    }
    return cls;
}

}  // namespace

bool convert_sequence(PyObject* obj, RecipeItems& out) {
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Read in place until Python code may run; owned from then on, so
        // that later callbacks into Python (an item's __index__, say) that
        // mutate the list leave our copy intact.
        out.borrow(obj);
        return true;
    }
    if (!PySequence_Check(obj)) {
        Ref cls = Ref::borrow(abstract_sequence_class());
        Ref cls_name = Ref::steal(PyObject_GetAttrString(cls.get(), "__name__"));
        const char* target = "Sequence";
        if (cls_name && PyUnicode_Check(cls_name.get())) {
            const char* utf8 = PyUnicode_AsUTF8(cls_name.get());
            if (utf8 != nullptr) target = utf8;
        }
        PyErr_Clear();
        raise_cast_error(obj, target);
        return false;
    }
    // The length is only a capacity hint: a sequence that cannot tell it is
    // still read to its end.
    const Py_ssize_t hint = PyObject_LengthHint(obj, 0);
    if (hint < 0) PyErr_Clear();
    // Any object may claim any length, so the hint only sizes a bounded
    // first reservation; the vector grows past it as items arrive.
    constexpr Py_ssize_t max_reserved = 1 << 16;
    out.reserve(static_cast<std::size_t>(std::clamp<Py_ssize_t>(hint, 0, max_reserved)));
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (PyObject* item = PyIter_Next(iterator.get())) out.push_back_owned(item);
    return !PyErr_Occurred();
}

std::unexpected<Error> missing_field(std::string_view key) {
    return fail(ErrorKind::key_error, Message() << "Recipe missing required field: '" << key << "'");
}

Result<void> refuse_non_dict(PyObject* item) {
    raise_cast_error(item, "dict");
    return python_error();
}

std::string_view field_name(Field field) noexcept {
    constexpr std::string_view names[field_count] = {"name",         "encoding",    "bits", "byte_order",
                                                     "reverse_bits", "offset_bits", "value"};
    return names[static_cast<std::size_t>(field)];
}

Result<void> lowercase_name(const TextView& text, NameKey& out) {
    if (BITLOOM_LIKELY(PyUnicode_IS_ASCII(text.object))) {
        lowered_ascii_key(text.utf8, out);
        return {};
    }
    // Full Unicode lowercasing, as str.lower does it (the Kelvin sign becomes
    // 'k'; U+0130 becomes two code points). Called unbound on str so that a
    // subclass cannot substitute its own lower().
    static PyObject* lower_name = nullptr;
    if (lower_name == nullptr) {
        lower_name = PyUnicode_InternFromString("lower");
        if (lower_name == nullptr) return python_error();
    }
    Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), lower_name));
    if (!method) return python_error();
    Ref result = Ref::steal(PyObject_CallOneArg(method.get(), text.object));
    if (!result) return python_error();
    if (!PyUnicode_IS_ASCII(result.get())) {
        out = NameKey{{}, NameKey::unmatchable};
        return {};
    }
    lowered_ascii_key(std::string_view(static_cast<const char*>(PyUnicode_DATA(result.get())),
                                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(result.get()))),
                      out);
    return {};
}

Result<ByteOrder> parse_new_byte_order(const TextView& byte_order, NameMemo<ByteOrder>& memo) {
    NameKey lowered;
    if (auto ok = lowercase_name(byte_order, lowered); !ok) return std::unexpected(std::move(ok.error()));
    if (lowered == name_key("big") || lowered == name_key("little")) {
        const ByteOrder order = lowered == name_key("big") ? ByteOrder::big : ByteOrder::little;
        memo.remember(byte_order.object, order);
        return order;
    }
    return value_error(Message() << "Invalid byte_order '" << byte_order.utf8 << "': must be 'big' or 'little'");
}

}  // namespace bitloom
