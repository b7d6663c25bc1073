// Layouts from recipes, and single packets between bytes and dicts of
// Python values: the recipe's items read into the native layout, the values
// made and read around the kernels' field reading and placement.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "args.hpp"
#include "codecs/codec_table.hpp"
#include "common/ascii_run.hpp"
#include "common/field_window.hpp"
#include "common/platform.hpp"
#include "io/glue/encode_value.hpp"
#include "io/glue/layout_object.hpp"
#include "io/kernels/bits.hpp"
#include "io/kernels/field_value.hpp"
#include "io/kernels/name_index.hpp"
#include "io/kernels/pack_kernel.hpp"
#include "packet/read_item.hpp"

namespace bitloom::io {

namespace {

constexpr std::size_t no_field = static_cast<std::size_t>(-1);

std::unexpected<FieldError> field_error(Error error, std::size_t field) {
    return std::unexpected(FieldError{std::move(error), field});
}

Ref plain_str(const TextField& text) {
    if (PyUnicode_CheckExact(text.object.get())) return Ref::borrow(text.object.get());
    Ref copy = Ref::steal(PyUnicode_FromStringAndSize(text.utf8.data(), static_cast<Py_ssize_t>(text.utf8.size())));
    if (!copy) panic("could not copy a recipe string");
    return copy;
}

std::unexpected<Error> bad_width(std::string_view message) { return value_error(std::string(message)); }

// The latest field of each name read so far, for dynamic widths to find
// the field they name without a walk over every earlier field. Made when
// the first dynamic width is read: most layouts have none.
struct LatestFields {
    NameIndex index;
    std::size_t capacity = 0;
    std::size_t indexed = 0;  // fields [0, indexed) are in the index

    std::uint32_t* find(std::string_view name, const std::vector<FieldSpec>& fields) {
        if (index.empty()) index = NameIndex(capacity);
        const auto name_of = [&](std::size_t field) -> std::string_view { return fields[field].name_utf8; };
        for (; indexed < fields.size(); ++indexed) {
            index.entry(fields[indexed].name_utf8, name_of) = static_cast<std::uint32_t>(indexed);
        }
        std::uint32_t& found = index.entry(name, name_of);
        return found == NameIndex::none ? nullptr : &found;
    }
};

// The dynamic width {"field": name, "slope": int, "intercept": int}; the
// field must be an earlier integer field. The dict's values are taken as
// strong references: looking a key up may run a key's __eq__, which may
// change the dict.
Result<DynamicWidth> read_dynamic_width(PyObject* width_form, const std::vector<FieldSpec>& earlier,
                                        LatestFields& latest, Ref& copy) {
    static constexpr const char* form =
        "a dynamic width is a dict {'field': <name of an earlier integer field>, 'slope': <int>, 'intercept': "
        "<int>}";
    Ref field_key = Ref::steal(PyUnicode_FromString("field"));
    Ref slope_key = Ref::steal(PyUnicode_FromString("slope"));
    Ref intercept_key = Ref::steal(PyUnicode_FromString("intercept"));
    if (!field_key || !slope_key || !intercept_key) return python_error();
    if (PyDict_Size(width_form) != 3) return bad_width(form);
    PyObject* found[3] = {};
    PyObject* keys[3] = {field_key.get(), slope_key.get(), intercept_key.get()};
    Ref held[3];
    for (std::size_t k = 0; k < 3; ++k) {
        if (PyDict_GetItemRef(width_form, keys[k], &found[k]) < 0) return python_error();
        held[k] = Ref::steal(found[k]);
        if (!held[k]) return bad_width(form);
    }
    PyObject* name = held[0].get();
    PyObject* slope = held[1].get();
    PyObject* intercept = held[2].get();
    if (!PyUnicode_Check(name) || !PyLong_Check(slope) || !PyLong_Check(intercept)) return bad_width(form);
    DynamicWidth d{};
    int overflow = 0;
    d.slope = PyLong_AsLongLongAndOverflow(slope, &overflow);
    if (overflow == 0) d.intercept = PyLong_AsLongLongAndOverflow(intercept, &overflow);
    if (overflow != 0) return bad_width("a dynamic width's slope and intercept must fit in 64 bits");
    if (PyErr_Occurred()) return python_error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) return python_error();
    const std::string_view wanted(utf8, static_cast<std::size_t>(size));
    // The latest earlier field of that name, as the unpacked dict would hold it.
    const std::uint32_t* source_field = latest.find(wanted, earlier);
    if (source_field == nullptr) {
        return value_error(Message() << "a dynamic width names the field '" << wanted
                                     << "', which is not an earlier field of the layout");
    }
    const FieldSpec& source = earlier[*source_field];
    if (source.value_class != ValueClass::unsigned_int && source.value_class != ValueClass::signed_int &&
        source.value_class != ValueClass::decimal) {
        return value_error(Message() << "a dynamic width names the field '" << wanted
                                     << "', which is not an integer field");
    }
    d.field = *source_field;
    copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_SetItem(copy.get(), field_key.get(), name) < 0 ||
        PyDict_SetItem(copy.get(), slope_key.get(), slope) < 0 ||
        PyDict_SetItem(copy.get(), intercept_key.get(), intercept) < 0) {
        return python_error();
    }
    return d;
}

// Reads one item in the packet decoder's order, resolving what both
// directions share.
Result<void> read_item(PyObject* item, const std::vector<FieldSpec>& earlier, LatestFields& latest, FieldSpec& f,
                       FieldObjects& objects) {
    if (auto ok = require_dict(item); !ok) return ok;
    ItemFields fields(item);
    auto name = fields.required_text(Field::name);
    if (!name) return std::unexpected(std::move(name.error()));
    objects.name = plain_str(*name);
    f.name_utf8 = std::string(name->utf8);
    auto encoding = fields.required_text(Field::encoding);
    if (!encoding) return std::unexpected(std::move(encoding.error()));
    objects.encoding = Ref::borrow(encoding->object.get());
    f.encoding_utf8 = std::string(encoding->utf8);

    auto bits_object = fields.lookup(Field::bits);
    if (!bits_object) return std::unexpected(std::move(bits_object.error()));
    Ref width_spec;
    if (*bits_object && PyDict_Check(bits_object->get())) {
        width_spec = std::move(*bits_object);
    } else {
        auto bits = fields.required_u32(Field::bits);
        if (!bits) return std::unexpected(std::move(bits.error()));
        f.bits = *bits;
    }
    auto byte_order = fields.required_text(Field::byte_order);
    if (!byte_order) return std::unexpected(std::move(byte_order.error()));
    auto reverse = fields.required_bool(Field::reverse_bits);
    if (!reverse) return std::unexpected(std::move(reverse.error()));
    f.reverse = *reverse;
    auto offset = fields.optional_u32(Field::offset_bits);
    if (!offset) return std::unexpected(std::move(offset.error()));
    f.offset_bits = *offset;

    NameMemo<ByteOrder> order_memo;
    auto order = parse_byte_order(byte_order->view(), order_memo);
    if (!order) return std::unexpected(std::move(order.error()));
    f.little = *order == ByteOrder::little;

    NameKey lowered;
    if (auto ok = lowercase_name(encoding->view(), lowered); !ok) return ok;
    static constexpr NameKey binary_key = name_key("binary");
    if (lowered == binary_key) {
        f.binary = true;
        f.value_class = ValueClass::binary;
    } else if (auto codec = unpack_codec_names.find(lowered)) {
        f.codec = *codec;
        f.value_class = value_class_of(*codec);
        f.pack_codec = pack_codec_names.find(lowered);
    } else {
        return value_error(Message() << "Unsupported encoding type: " << encoding->utf8);
    }

    if (width_spec) {
        if (f.value_class != ValueClass::text && f.value_class != ValueClass::binary) {
            return value_error("a dynamic width is only for text and binary fields");
        }
        auto d = read_dynamic_width(width_spec.get(), earlier, latest, objects.dynamic_spec);
        if (!d) return std::unexpected(std::move(d.error()));
        f.dynamic = *d;
    }
    if (f.binary && !f.dynamic && f.bits % 8 != 0) {
        return value_error(Message() << "a binary field holds whole bytes: bits must be a multiple of 8, not "
                                     << f.bits);
    }
    auto value = fields.lookup(Field::value);
    if (!value) return std::unexpected(std::move(value.error()));
    objects.value = std::move(*value);
    return {};
}

}  // namespace

FieldResult<BoundLayout*> compile_layout(std::span<PyObject* const> items, bool exact) {
    auto bound = std::make_unique<BoundLayout>();
    Layout& layout = bound->native;
    layout.exact = exact;
    auto& fields = layout.fields;
    fields.reserve(items.size());
    bound->objects.reserve(items.size());
    LatestFields latest;
    latest.capacity = items.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
        FieldSpec f;
        FieldObjects objects;
        f.index = i;
        if (auto ok = read_item(items[i], fields, latest, f, objects); !ok)
            return field_error(std::move(ok.error()), i);
        fields.push_back(std::move(f));
        bound->objects.push_back(std::move(objects));
    }
    finish_layout(layout);

    // The first field of each name by its name object's address.
    auto& slots = bound->name_slots;
    slots.assign(std::bit_ceil(2 * layout.distinct_names + 1), NameSlot{});
    const std::size_t mask = slots.size() - 1;
    for (const FieldSpec& f : fields) {
        if (!f.first_name) continue;
        PyObject* name = bound->of(f).name.get();
        std::size_t slot = name_slot(name) & mask;
        while (slots[slot].name != nullptr) slot = (slot + 1) & mask;
        slots[slot] = NameSlot{name, f.column_index};
    }
    return bound.release();
}

// --- Unpacking ---------------------------------------------------------------

namespace {

Ref python_value(const FieldSpec& f, NativeValue& v) {
    PyObject* o = nullptr;
    switch (f.value_class) {
        case ValueClass::unsigned_int: o = PyLong_FromUnsignedLongLong(v.raw); break;
        case ValueClass::signed_int:
        case ValueClass::decimal: o = PyLong_FromLongLong(v.integer); break;
        case ValueClass::ieee: o = PyFloat_FromDouble(v.real); break;
        case ValueClass::binary:
            o = PyBytes_FromStringAndSize(v.bytes.data(), static_cast<Py_ssize_t>(v.bytes.size()));
            break;
        default: o = PyUnicode_FromStringAndSize(v.bytes.data(), static_cast<Py_ssize_t>(v.bytes.size())); break;
    }
    return Ref::steal(checked_result(o));
}

}  // namespace

namespace {

// A text field of whole bytes from a byte boundary whose bytes are all
// ASCII, of a codec that decodes such bytes to themselves: the str made
// straight from the packet (its bytes reversed for "little"). Null for any
// other field or bytes, which are then read and decoded in full. The packet
// holds the field (a static layout's packet of at least need_bytes).
PyObject* ascii_text_in_place(const FieldSpec& f, std::span<const std::uint8_t> packet) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layout: every field has a start
    const std::uint32_t start = *f.start;
    if (f.value_class != ValueClass::text || start % 8 != 0 || f.bits % 8 != 0 ||
        !codec_row(f.codec).ascii_is_identity) {
        return nullptr;
    }
    const std::uint8_t* bytes = packet.data() + start / 8;
    const std::size_t n = f.bits / 8;
    if (ascii_unit_count<1>(bytes, n, any_high_bit) != n) return nullptr;
    PyObject* text = checked_result(PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F));
    auto* out = static_cast<std::uint8_t*>(PyUnicode_DATA(text));
    if (f.little) {
        std::reverse_copy(bytes, bytes + n, out);
    } else {
        std::copy(bytes, bytes + n, out);
    }
    return text;
}

// Static layouts read from bit 0 of a packet that holds every field: each
// numeric field straight from its plan, the rest as usual.
FieldResult<Ref> unpack_static(const BoundLayout& bound, std::span<const std::uint8_t> packet) {
    const Layout& layout = bound.native;
    Ref result = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(layout.distinct_names)));
    if (!result) panic("could not create the result dict");
    // Whole-word loads may reach past the packet's last byte: such packets
    // are read from a zero-padded copy.
    const std::uint8_t* base = packet.data();
    std::array<std::uint8_t, 512> local;
    std::vector<std::uint8_t> heap;
    if (packet.size() < layout.load_bytes) {
        std::uint8_t* copy = local.data();
        if (layout.load_bytes > local.size()) {
            heap.resize(layout.load_bytes);
            copy = heap.data();
        }
        if (!packet.empty()) std::memcpy(copy, packet.data(), packet.size());
        std::memset(copy + packet.size(), 0, layout.load_bytes - packet.size());
        base = copy;
    }
    NativeValue value;
    for (const FieldSpec& f : layout.fields) {
        const ReadPlan& plan = layout.plans[f.index];
        PyObject* item = nullptr;
        if (plan.kind != ReadKind::wide && f.value_class == ValueClass::unsigned_int) {
            item = PyLong_FromUnsignedLongLong(read_one(plan, base));
        } else if (plan.kind != ReadKind::wide &&
                   (f.value_class == ValueClass::signed_int || f.value_class == ValueClass::decimal ||
                    f.value_class == ValueClass::ieee)) {
            const CodecRow& row = codec_row(f.codec);
            const auto number = decode_number(row, read_one(plan, base), f.bits);
            if (!number) return field_error(number.error(), f.index);
            item =
                f.value_class == ValueClass::ieee ? PyFloat_FromDouble(number->f64) : PyLong_FromLongLong(number->i64);
        } else if (PyObject* text = ascii_text_in_place(f, packet)) {
            item = text;
        } else {
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): static layout: every field has a start
            if (auto ok = read_field(layout, f, packet, *f.start, f.bits, value); !ok) {
                return field_error(std::move(ok.error()), f.index);
            }
            item = python_value(f, value).release();
        }
        Ref owned = Ref::steal(checked_result(item));
        if (PyDict_SetItem(result.get(), bound.of(f).name.get(), owned.get()) < 0) {
            return field_error(python_error().error(), f.index);
        }
    }
    return result;
}

}  // namespace

FieldResult<Ref> unpack_packet(const BoundLayout& bound, std::span<const std::uint8_t> packet,
                               std::uint32_t offset_bits) {
    const Layout& layout = bound.native;
    if (!layout.dynamic && offset_bits == 0 && packet.size() >= layout.need_bytes) {
        return unpack_static(bound, packet);
    }
    Ref result = Ref::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(layout.distinct_names)));
    if (!result) panic("could not create the result dict");
    std::vector<Wide> references;
    if (layout.dynamic) references.resize(layout.fields.size());
    std::uint32_t position = offset_bits;
    NativeValue value;
    for (const FieldSpec& f : layout.fields) {
        if (f.offset_bits) position = offset_bits + *f.offset_bits;
        std::uint32_t bits = f.bits;
        if (f.dynamic) {
            auto width = dynamic_bits(layout, f, references[f.dynamic->field]);
            if (!width) return field_error(std::move(width.error()), f.index);
            bits = *width;
        }
        if (auto ok = read_field(layout, f, packet, position, bits, value); !ok) {
            return field_error(std::move(ok.error()), f.index);
        }
        if (f.referenced) references[f.index] = integer_of(f, value);
        Ref item = python_value(f, value);
        if (PyDict_SetItem(result.get(), bound.of(f).name.get(), item.get()) < 0)
            return field_error(python_error().error(), f.index);
        position += bits;
    }
    return result;
}

// --- Packing -----------------------------------------------------------------

namespace {

// The value packed for a field: values[name] where given, else the recipe's.
// The values given for the layout's columns, gathered in one walk over an
// exact dict whose keys are the layout's own name objects (as the dicts that
// unpack returns are, and as recipes built from one list of names give):
// no hashing or probing. Holds a reference to each value.
class GatheredValues {
public:
    GatheredValues(const BoundLayout& layout, PyObject* values) : layout_(layout) {
        const std::size_t columns = layout.native.distinct_names;
        if (values == nullptr || !PyDict_CheckExact(values) || layout.name_slots.empty() ||
            static_cast<std::size_t>(PyDict_GET_SIZE(values)) > columns) {
            return;
        }
        slots_ = columns <= local_.size() ? local_.data() : (heap_.resize(columns), heap_.data());
        std::fill_n(slots_, columns, nullptr);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        const std::size_t mask = layout.name_slots.size() - 1;
        while (PyDict_Next(values, &pos, &key, &value)) {
            std::size_t slot = name_slot(key) & mask;
            while (layout.name_slots[slot].name != nullptr && layout.name_slots[slot].name != key) {
                slot = (slot + 1) & mask;
            }
            if (layout.name_slots[slot].name == nullptr) {
                release(columns);  // a key of another object: look each name up instead
                return;
            }
            slots_[layout.name_slots[slot].column] = Py_NewRef(value);
        }
        ok_ = true;
    }
    GatheredValues(const GatheredValues&) = delete;
    GatheredValues& operator=(const GatheredValues&) = delete;
    ~GatheredValues() {
        if (slots_ != nullptr) release(layout_.native.distinct_names);
    }
    [[nodiscard]] bool ok() const noexcept { return ok_; }
    // The value of a column, borrowed (null when not given).
    [[nodiscard]] PyObject* get(std::size_t column) const noexcept { return slots_[column]; }

private:
    void release(std::size_t columns) noexcept {
        for (std::size_t c = 0; c < columns; ++c) Py_XDECREF(slots_[c]);
        slots_ = nullptr;
        ok_ = false;
    }
    const BoundLayout& layout_;
    std::array<PyObject*, 64> local_;
    std::vector<PyObject*> heap_;
    PyObject** slots_ = nullptr;
    bool ok_ = false;
};

Result<Ref> value_for(const BoundLayout& bound, const FieldSpec& f, PyObject* values, std::size_t& found,
                      const GatheredValues* gathered) {
    const FieldObjects& objects = bound.of(f);
    if (gathered != nullptr) {
        if (PyObject* v = gathered->get(f.column_index)) return Ref::borrow(v);
    } else if (values != nullptr) {
        PyObject* v = nullptr;
        const int r = PyMapping_GetOptionalItem(values, objects.name.get(), &v);
        if (r < 0) return python_error();
        if (r > 0) {
            if (f.first_name) ++found;
            return Ref::steal(v);
        }
    }
    if (!objects.value) {
        return fail(ErrorKind::key_error, Message()
                                              << "Recipe item '" << f.name_utf8 << "' missing required field: 'value'");
    }
    return Ref::borrow(objects.value.get());
}

// A key of `values` that names no field, reported as an error.
Result<void> check_names(const BoundLayout& layout, PyObject* values) {
    Ref keys = Ref::steal(PyMapping_Keys(values));
    if (!keys) return python_error();
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        bool known = false;
        for (const FieldObjects& f : layout.objects) {
            const int eq = PyObject_RichCompareBool(key, f.name.get(), Py_EQ);
            if (eq < 0) return python_error();
            if (eq) {
                known = true;
                break;
            }
        }
        if (!known) {
            Ref text = Ref::steal(PyObject_Repr(key));
            if (!text) return python_error();
            return fail(ErrorKind::key_error, Message()
                                                  << "the layout has no field named " << PyUnicode_AsUTF8(text.get()));
        }
    }
    return {};
}

// The value a dynamic width is taken from, as its source field's integer.
FieldResult<Wide> reference_value(const BoundLayout& bound, const FieldSpec& source, PyObject* values) {
    std::size_t found = 0;
    auto v = value_for(bound, source, values, found, nullptr);
    if (!v) return field_error(std::move(v.error()), source.index);
    if (source.value_class == ValueClass::unsigned_int) {
        std::uint64_t u = 0;
        if (!convert_u64(v->get(), u)) return field_error(python_error().error(), source.index);
        return Wide::of_unsigned(u);
    }
    std::int64_t s = 0;
    if (!convert_i64(v->get(), s)) return field_error(python_error().error(), source.index);
    return Wide::of_signed(s);
}

// The sizing pass of a layout with dynamic widths: each field's width from
// the values given, and the packet's length.
FieldResult<std::uint32_t> size_dynamic(const BoundLayout& bound, PyObject* values,
                                        std::vector<std::uint32_t>& widths) {
    const Layout& layout = bound.native;
    widths.resize(layout.fields.size());
    std::uint32_t end = 0;
    for (const FieldSpec& f : layout.fields) {
        std::uint32_t bits = f.bits;
        if (f.dynamic) {
            auto reference = reference_value(bound, layout.fields[f.dynamic->field], values);
            if (!reference) return std::unexpected(std::move(reference.error()));
            auto width = dynamic_bits(layout, f, *reference);
            if (!width) return field_error(std::move(width.error()), f.index);
            bits = *width;
        }
        widths[f.index] = bits;
        end = std::max<std::uint32_t>(end, f.offset_bits.value_or(end) + bits);
    }
    return static_cast<std::uint32_t>(end + 7U) / 8U;
}

// The value packed for a field. A gathered value, or else the recipe's, is
// held for the whole call (by `given` and by the layout) and used borrowed;
// a value looked up in `values` itself is held by `held`.
Result<PyObject*> packed_value(const BoundLayout& bound, const FieldSpec& f, PyObject* values,
                               const GatheredValues& given, std::size_t& found, Ref& held) {
    if (given.ok()) {
        if (PyObject* v = given.get(f.column_index)) return v;
        if (PyObject* v = bound.of(f).value.get()) return v;
    }
    auto value = value_for(bound, f, values, found, given.ok() ? &given : nullptr);
    if (!value) return std::unexpected(std::move(value.error()));
    held = std::move(*value);
    return held.get();
}

// Every key of `values` must name a field: when fewer keys were found than
// it has, the first that names none is reported.
Result<void> check_all_named(const BoundLayout& bound, PyObject* values, std::size_t found) {
    const Py_ssize_t count = PyObject_Length(values);
    if (count < 0) return python_error();
    if (static_cast<std::size_t>(count) == found) return {};
    return check_names(bound, values);
}

}  // namespace

FieldResult<Ref> pack_packet(const BoundLayout& bound, PyObject* values) {
    const Layout& layout = bound.native;
    std::size_t found = 0;
    // Values first, as the writing pass reads them item by item; dynamic
    // widths need theirs before the packet can be sized.
    std::vector<std::uint32_t> widths;
    std::uint32_t length = layout.pack_bytes;
    if (layout.dynamic) {
        auto sized = size_dynamic(bound, values, widths);
        if (!sized) return std::unexpected(std::move(sized.error()));
        length = *sized;
    }

    // Short packets are built in a zero-filled local buffer with a word of
    // slack, where most numeric fields are placed with one 64-bit
    // read-modify-write; longer ones straight in the result.
    constexpr std::size_t local_size = 512;
    std::array<std::uint8_t, local_size + 8> local;
    const bool in_local = !layout.dynamic && length <= local_size;
    Ref packet;
    std::span<std::uint8_t> buffer;
    if (in_local) {
        std::memset(local.data(), 0, length + 8);
        buffer = std::span<std::uint8_t>(local.data(), length);
    } else {
        packet = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        if (!packet) panic("could not allocate the packet buffer");
        buffer = std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get())), length);
        if (length > 0) std::memset(buffer.data(), 0, length);
    }

    const GatheredValues given(bound, values);
    std::uint32_t cursor = 0;
    for (const FieldSpec& f : layout.fields) {
        if (f.offset_bits) cursor = *f.offset_bits;
        const std::uint32_t bits = layout.dynamic ? widths[f.index] : f.bits;
        Ref held;
        auto value = packed_value(bound, f, values, given, found, held);
        if (!value) return field_error(std::move(value.error()), f.index);
        PyObject* v = *value;
        if (in_local && f.fast_pack) {
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): fast_pack implies a pack codec
            auto raw = encode_numeric(codec_row(*f.pack_codec), v, bits);
            if (!raw) return field_error(std::move(raw.error()), f.index);
            place_in_word(local.data(), cursor, *raw, bits, f.reverse, f.little);
            cursor += bits;
            continue;
        }
        auto encoded = encode_field_value(f, v, bits);
        if (!encoded) return field_error(std::move(encoded.error()), f.index);
        place_encoded(buffer, cursor, *encoded, bits, f.reverse, f.little);
        cursor += bits;
    }
    if (values != nullptr && !given.ok()) {
        if (auto ok = check_all_named(bound, values, found); !ok) return field_error(std::move(ok.error()), no_field);
    }
    if (in_local) {
        packet = Ref::steal(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(local.data()), static_cast<Py_ssize_t>(length)));
        if (!packet) panic("could not allocate the packet buffer");
    }
    return packet;
}

}  // namespace bitloom::io
