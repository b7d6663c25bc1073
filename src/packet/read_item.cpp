#include "packet/read_item.hpp"

#include <cstring>

namespace bitloom {

namespace {

// The field a key of `length` characters can only be, if any (name and
// bits share length 4 and are told apart by the caller).
std::optional<Field> field_of_length(Py_ssize_t length) noexcept {
    switch (length) {
        case 5: return Field::value;
        case 8: return Field::encoding;
        case 10: return Field::byte_order;
        case 11: return Field::offset_bits;
        case 12: return Field::reverse_bits;
        default: return std::nullopt;
    }
}

bool ascii_key_is(PyObject* key, Field field) noexcept {
    const std::string_view wanted = field_name(field);
    return PyUnicode_IS_COMPACT_ASCII(key) && std::memcmp(PyUnicode_DATA(key), wanted.data(), wanted.size()) == 0;
}

}  // namespace

// The key's length picks the candidate; the usual (interned) key is then the
// very same object.
std::optional<Field> classify_key(const RecipeKeys& keys, PyObject* key) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    if (length == 4) {
        if (key == keys.key(Field::name) || ascii_key_is(key, Field::name)) return Field::name;
        if (key == keys.key(Field::bits) || ascii_key_is(key, Field::bits)) return Field::bits;
        return std::nullopt;
    }
    const auto candidate = field_of_length(length);
    if (!candidate) return std::nullopt;
    if (key == keys.key(*candidate) || ascii_key_is(key, *candidate)) return candidate;
    return std::nullopt;
}

void RecipeReader::note_conversion(PyObject* obj) noexcept {
    if (!converts_without_python_code(obj)) python_may_run();
}

bool RecipeReader::convert_u32(PyObject* obj, std::uint32_t& out) {
    note_conversion(obj);
    return bitloom::convert_u32(obj, out);
}
bool RecipeReader::convert_bool(PyObject* obj, bool& out) {
    note_conversion(obj);
    return bitloom::convert_bool(obj, out);
}
bool RecipeReader::convert_u64(PyObject* obj, std::uint64_t& out) {
    note_conversion(obj);
    return bitloom::convert_u64(obj, out);
}
bool RecipeReader::convert_i64(PyObject* obj, std::int64_t& out) {
    note_conversion(obj);
    return bitloom::convert_i64(obj, out);
}
bool RecipeReader::convert_double(PyObject* obj, double& out) {
    note_conversion(obj);
    return bitloom::convert_double(obj, out);
}
bool RecipeReader::convert_text(PyObject* obj, std::string_view& out) {
    note_conversion(obj);
    return bitloom::convert_str(obj, out);
}

Result<Ref> RecipeReader::lookup(PyObject* item, const Snapshot& snapshot, Field field) {
    if (current(snapshot)) return Ref::borrow(snapshot.values[static_cast<std::size_t>(field)]);
    // The dict may have keys whose comparison is Python code.
    python_may_run();
    return lookup_field(item, recipe_keys().key(field));
}

Result<Ref> RecipeReader::required(PyObject* item, const Snapshot& snapshot, Field field) {
    auto found = lookup(item, snapshot, field);
    if (found && !*found) return missing_field(field_name(field));
    return found;
}

Result<TextView> RecipeReader::required_text(PyObject* item, const Snapshot& snapshot, Field field, TextField& held) {
    auto found = required(item, snapshot, field);
    if (!found) return std::unexpected(std::move(found.error()));
    std::string_view utf8;
    if (!convert_text(found->get(), utf8)) return python_error();
    held = TextField{std::move(*found), utf8};
    return held.view();
}

Result<std::uint32_t> RecipeReader::required_u32(PyObject* item, const Snapshot& snapshot, Field field) {
    auto found = required(item, snapshot, field);
    if (!found) return std::unexpected(std::move(found.error()));
    std::uint32_t v;
    if (!convert_u32(found->get(), v)) return python_error();
    return v;
}

Result<bool> RecipeReader::required_bool(PyObject* item, const Snapshot& snapshot, Field field) {
    auto found = required(item, snapshot, field);
    if (!found) return std::unexpected(std::move(found.error()));
    bool v;
    if (!convert_bool(found->get(), v)) return python_error();
    return v;
}

Result<std::optional<std::uint32_t>> RecipeReader::optional_u32(PyObject* item, const Snapshot& snapshot, Field field) {
    auto found = lookup(item, snapshot, field);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return std::optional<std::uint32_t>{};
    std::uint32_t v;
    if (!convert_u32(found->get(), v)) return python_error();
    return std::optional<std::uint32_t>{v};
}

// Field by field, each lookup after a step that may have run Python code
// going to the dict itself; the strings are held by the reader.
Result<void> RecipeReader::read_in_order(PyObject* item, const Snapshot& snapshot, bool with_value, Item& out) {
    progress_ = ReadProgress::nothing;
    auto name = required_text(item, snapshot, Field::name, held_name_);
    if (!name) return std::unexpected(std::move(name.error()));
    out.name = *name;
    progress_ = ReadProgress::name;
    auto encoding = required_text(item, snapshot, Field::encoding, held_encoding_);
    if (!encoding) return std::unexpected(std::move(encoding.error()));
    out.encoding = *encoding;
    progress_ = ReadProgress::encoding;
    auto bits = required_u32(item, snapshot, Field::bits);
    if (!bits) return std::unexpected(std::move(bits.error()));
    out.bits = *bits;
    progress_ = ReadProgress::bits;
    auto byte_order = required_text(item, snapshot, Field::byte_order, held_byte_order_);
    if (!byte_order) return std::unexpected(std::move(byte_order.error()));
    out.byte_order = *byte_order;
    auto reverse_bits = required_bool(item, snapshot, Field::reverse_bits);
    if (!reverse_bits) return std::unexpected(std::move(reverse_bits.error()));
    out.reverse_bits = *reverse_bits;
    auto offset = optional_u32(item, snapshot, Field::offset_bits);
    if (!offset) return std::unexpected(std::move(offset.error()));
    out.has_offset = offset->has_value();
    out.offset_bits = offset->value_or(0);
    out.value = nullptr;
    if (with_value) {
        auto value = lookup(item, snapshot, Field::value);
        if (!value) return std::unexpected(std::move(value.error()));
        held_value_ = std::move(*value);
        out.value = held_value_.get();
    }
    return {};
}

Result<void> RecipeReader::read_size_in_order(PyObject* item, const Snapshot& snapshot, std::uint32_t& bits,
                                              std::optional<std::uint32_t>& offset_bits) {
    auto read_bits = required_u32(item, snapshot, Field::bits);
    if (!read_bits) return std::unexpected(std::move(read_bits.error()));
    auto read_offset = optional_u32(item, snapshot, Field::offset_bits);
    if (!read_offset) return std::unexpected(std::move(read_offset.error()));
    bits = *read_bits;
    offset_bits = *read_offset;
    return {};
}

void RecipeReader::hold(Item& item) {
    held_name_ = TextField{Ref::borrow(item.name.object), item.name.utf8};
    held_encoding_ = TextField{Ref::borrow(item.encoding.object), item.encoding.utf8};
    held_value_ = Ref::borrow(item.value);
}

namespace {

// A str of any type whose text is ASCII, read without calling anything
// that could fail (a Python exception may be pending).
bool ascii_text(PyObject* obj, TextView& out) noexcept {
    if (obj == nullptr || !PyUnicode_Check(obj) || !PyUnicode_IS_ASCII(obj)) return false;
    out = TextView{obj, std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)))};
    return true;
}

}  // namespace

ReadProgress RecipeReader::describe(const Snapshot& snapshot, Item& out) const noexcept {
    if (!current(snapshot)) return ReadProgress::nothing;
    auto at = [&](Field f) { return snapshot.values[static_cast<std::size_t>(f)]; };
    if (!ascii_text(at(Field::name), out.name)) return ReadProgress::nothing;
    if (!ascii_text(at(Field::encoding), out.encoding)) return ReadProgress::name;
    if (!usual::usual_u32(at(Field::bits), out.bits)) return ReadProgress::encoding;
    return ReadProgress::bits;
}

std::string item_note(std::size_t index, const Item& item, ReadProgress progress) {
    Message m;
    m << "in recipe item " << index;
    if (progress == ReadProgress::nothing) return m.str();
    m << " ('" << item.name.utf8 << '\'';
    if (progress >= ReadProgress::encoding) m << ", " << item.encoding.utf8;
    if (progress >= ReadProgress::bits) m << ", " << item.bits << " bits";
    m << ')';
    return m.str();
}

}  // namespace bitloom
