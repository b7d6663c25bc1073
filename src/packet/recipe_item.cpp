#include "recipe_item.hpp"

#include <algorithm>
#include <cstring>

namespace bitloom {

const RecipeKeys& recipe_keys() {
    // Built on first use while holding the interpreter lock; interned strings
    // are immortal, so the pointers stay valid for the life of the process.
    static RecipeKeys keys{};
    static bool ready = false;
    if (!ready) {
        const char* names[] = {"name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"};
        PyObject** slots[] = {&keys.name,         &keys.encoding,    &keys.bits, &keys.byte_order,
                              &keys.reverse_bits, &keys.offset_bits, &keys.value};
        for (std::size_t i = 0; i < std::size(names); ++i) {
            if (*slots[i] == nullptr) {
                *slots[i] = PyUnicode_InternFromString(names[i]);
                if (*slots[i] == nullptr) panic("could not create the recipe key strings");
            }
        }
        for (unsigned shift = 3; shift < 32 && keys.shift == 0; ++shift) {
            std::array<PyObject*, RecipeKeys::address_slots> by_address{};
            bool distinct = true;
            for (std::size_t i = 0; i < std::size(slots) && distinct; ++i) {
                PyObject*& slot =
                    by_address[(reinterpret_cast<std::uintptr_t>(*slots[i]) >> shift) % RecipeKeys::address_slots];
                distinct = slot == nullptr;
                slot = *slots[i];
            }
            if (!distinct) continue;
            keys.shift = shift;
            keys.by_address = by_address;
            for (std::size_t i = 0; i < std::size(slots); ++i) {
                keys.field_at[(reinterpret_cast<std::uintptr_t>(*slots[i]) >> shift) % RecipeKeys::address_slots] =
                    static_cast<std::uint8_t>(i);
            }
        }
        ready = true;
    }
    return keys;
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
        // Take every item up front: later callbacks into Python (an item's
        // __index__, say) may mutate the list, but our copy stays intact.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        out.reserve(static_cast<std::size_t>(n));
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) out.push_back_owned(Py_NewRef(items[i]));
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

Result<void> require_dict(PyObject* item) {
    if (BITLOOM_LIKELY(PyDict_Check(item))) return {};
    raise_cast_error(item, "dict");
    return python_error();
}

std::string_view field_name(Field field) noexcept {
    constexpr std::string_view names[field_count] = {"name",         "encoding",    "bits", "byte_order",
                                                     "reverse_bits", "offset_bits", "value"};
    return names[static_cast<std::size_t>(field)];
}

namespace {

PyObject* key_object(const RecipeKeys& keys, Field field) noexcept {
    switch (field) {
        case Field::name: return keys.name;
        case Field::encoding: return keys.encoding;
        case Field::bits: return keys.bits;
        case Field::byte_order: return keys.byte_order;
        case Field::reverse_bits: return keys.reverse_bits;
        case Field::offset_bits: return keys.offset_bits;
        case Field::value: return keys.value;
    }
    return keys.value;
}

// Which recipe field an exact str key names, or -1. The key's length picks
// the candidate; the usual (interned) key is then the very same object.
int classify_key(const RecipeKeys& keys, PyObject* key) noexcept {
    Field candidate;
    switch (PyUnicode_GET_LENGTH(key)) {
        case 4:
            if (key == keys.name) return static_cast<int>(Field::name);
            if (key == keys.bits) return static_cast<int>(Field::bits);
            if (!PyUnicode_IS_COMPACT_ASCII(key)) return -1;
            if (std::memcmp(PyUnicode_DATA(key), "name", 4) == 0) return static_cast<int>(Field::name);
            if (std::memcmp(PyUnicode_DATA(key), "bits", 4) == 0) return static_cast<int>(Field::bits);
            return -1;
        case 5: candidate = Field::value; break;
        case 8: candidate = Field::encoding; break;
        case 10: candidate = Field::byte_order; break;
        case 11: candidate = Field::offset_bits; break;
        case 12: candidate = Field::reverse_bits; break;
        default: return -1;
    }
    if (key == key_object(keys, candidate)) return static_cast<int>(candidate);
    if (!PyUnicode_IS_COMPACT_ASCII(key)) return -1;
    const std::string_view wanted = field_name(candidate);
    return std::memcmp(PyUnicode_DATA(key), wanted.data(), wanted.size()) == 0 ? static_cast<int>(candidate) : -1;
}

}  // namespace

ItemFields::ItemFields(PyObject* item) : item_(item) {
    const RecipeKeys& keys = recipe_keys();
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    snapshot_.valid = true;
    while (PyDict_Next(item, &pos, &key, &value)) {
        const std::size_t slot = (reinterpret_cast<std::uintptr_t>(key) >> keys.shift) % RecipeKeys::address_slots;
        if (BITLOOM_LIKELY(keys.by_address[slot] == key)) {
            snapshot_.values[static_cast<std::size_t>(keys.field_at[slot])] = value;
            continue;
        }
        if (!PyUnicode_CheckExact(key)) {
            // A key of another type may compare equal to a field name in
            // ways of its own; leave every lookup to the dict.
            drop_snapshot();
            return;
        }
        const int field = classify_key(keys, key);
        if (field >= 0) snapshot_.values[static_cast<std::size_t>(field)] = value;
    }
}

void ItemFields::drop_snapshot() noexcept { snapshot_ = {}; }

Result<Ref> ItemFields::lookup(Field field) {
    if (snapshot_.valid) return Ref::borrow(snapshot_.values[static_cast<std::size_t>(field)]);
    return lookup_field(item_, key_object(recipe_keys(), field));
}

bool ItemFields::convert_u32_field(PyObject* obj, std::uint32_t& out) {
    // Only an int converts without running Python code.
    if (!PyLong_Check(obj)) {
        drop_snapshot();
        ran_python_code_ = true;
    }
    return convert_u32(obj, out);
}

bool ItemFields::convert_bool_field(PyObject* obj, bool& out) {
    // True and False convert as they are; any other object that converts is
    // a numpy-like boolean whose truth slot may be Python code.
    if (obj != Py_True && obj != Py_False) {
        drop_snapshot();
        ran_python_code_ = true;
    }
    return convert_bool(obj, out);
}

namespace {

// An exact str whose UTF-8 form is its own storage.
inline bool usual_text(PyObject* obj, TextView& out) noexcept {
    if (obj == nullptr || !PyUnicode_CheckExact(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
    out = TextView{obj, std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)))};
    return true;
}

// A small exact int that fits 32 bits.
inline bool usual_u32(PyObject* obj, std::uint32_t& out) noexcept {
    if (!PyLong_CheckExact(obj) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) return false;
    const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    if (v < 0 || v > 0xFFFFFFFF) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

bool ItemFields::read_usual(ItemView& view) const noexcept {
    if (!snapshot_.valid) return false;
    const auto& v = snapshot_.values;
    auto at = [&](Field f) { return v[static_cast<std::size_t>(f)]; };
    PyObject* bits = at(Field::bits);
    PyObject* reverse_bits = at(Field::reverse_bits);
    PyObject* offset_bits = at(Field::offset_bits);
    if (!usual_text(at(Field::name), view.name) || !usual_text(at(Field::encoding), view.encoding) || bits == nullptr ||
        !usual_u32(bits, view.bits) || !usual_text(at(Field::byte_order), view.byte_order) ||
        (reverse_bits != Py_True && reverse_bits != Py_False)) {
        return false;
    }
    view.reverse_bits = reverse_bits == Py_True;
    view.offset_bits.reset();
    if (offset_bits != nullptr) {
        std::uint32_t offset;
        if (!usual_u32(offset_bits, offset)) return false;
        view.offset_bits = offset;
    }
    view.value = at(Field::value);
    return true;
}

bool ItemFields::read_usual_size(std::uint32_t& bits, std::optional<std::uint32_t>& offset_bits) const noexcept {
    if (!snapshot_.valid) return false;
    PyObject* bits_obj = snapshot_.values[static_cast<std::size_t>(Field::bits)];
    PyObject* offset_obj = snapshot_.values[static_cast<std::size_t>(Field::offset_bits)];
    if (bits_obj == nullptr || !usual_u32(bits_obj, bits)) return false;
    offset_bits.reset();
    if (offset_obj != nullptr) {
        std::uint32_t offset;
        if (!usual_u32(offset_obj, offset)) return false;
        offset_bits = offset;
    }
    return true;
}

Result<void> ItemFields::read_in_order(ItemView& view, HeldFields& held) {
    auto name = required_text(Field::name);
    if (!name) return std::unexpected(std::move(name.error()));
    held.name = std::move(*name);
    auto encoding = required_text(Field::encoding);
    if (!encoding) return std::unexpected(std::move(encoding.error()));
    held.encoding = std::move(*encoding);
    auto bits = required_u32(Field::bits);
    if (!bits) return std::unexpected(std::move(bits.error()));
    auto byte_order = required_text(Field::byte_order);
    if (!byte_order) return std::unexpected(std::move(byte_order.error()));
    held.byte_order = std::move(*byte_order);
    auto reverse_bits = required_bool(Field::reverse_bits);
    if (!reverse_bits) return std::unexpected(std::move(reverse_bits.error()));
    auto offset = optional_u32(Field::offset_bits);
    if (!offset) return std::unexpected(std::move(offset.error()));
    view.name = held.name.view();
    view.encoding = held.encoding.view();
    view.byte_order = held.byte_order.view();
    view.bits = *bits;
    view.reverse_bits = *reverse_bits;
    view.offset_bits = *offset;
    view.value = nullptr;
    return {};
}

Result<TextField> ItemFields::required_text(Field field) {
    auto found = lookup(field);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return missing_field(field_name(field));
    std::string_view utf8;
    if (!convert_str(found->get(), utf8)) return python_error();
    return TextField{std::move(*found), utf8};
}

Result<std::uint32_t> ItemFields::required_u32(Field field) {
    auto found = lookup(field);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return missing_field(field_name(field));
    std::uint32_t v;
    if (!convert_u32_field(found->get(), v)) return python_error();
    return v;
}

Result<bool> ItemFields::required_bool(Field field) {
    auto found = lookup(field);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return missing_field(field_name(field));
    bool v;
    if (!convert_bool_field(found->get(), v)) return python_error();
    return v;
}

Result<std::optional<std::uint32_t>> ItemFields::optional_u32(Field field) {
    auto found = lookup(field);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return std::optional<std::uint32_t>{};
    std::uint32_t v;
    if (!convert_u32_field(found->get(), v)) return python_error();
    return std::optional<std::uint32_t>{v};
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
