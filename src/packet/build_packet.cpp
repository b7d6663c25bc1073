#include "packet/build_packet.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/codec_table.hpp"
#include "packet/read_item.hpp"

namespace bitloom {

namespace {

// The sizing pass's snapshots, kept for the writing pass, which reads one
// only while the reader says it is current and scans the dict afresh
// otherwise. Very long recipes keep none, to keep the memory bounded.
class SnapshotCache {
public:
    explicit SnapshotCache(std::size_t items) : size_(items <= max_kept ? items : 0) {
        if (size_ > local_count) heap_.resize(size_);
    }

    // Where the sizing pass scans item `index`: its slot, or `scratch` when
    // it is not kept.
    [[nodiscard]] Snapshot& slot(std::size_t index, Snapshot& scratch) noexcept {
        return index < size_ ? slots()[index] : scratch;
    }

    // Item `index`'s kept snapshot if it is current, else a new scan into
    // `scratch`.
    [[nodiscard]] const Snapshot& take(std::size_t index, PyObject* item, const RecipeReader& reader,
                                       Snapshot& scratch) noexcept {
        if (index < size_ && reader.current(slots()[index])) return slots()[index];
        reader.scan(item, scratch);
        return scratch;
    }

private:
    static constexpr std::size_t local_count = 32;  // short recipes, the usual case, need no allocation
    static constexpr std::size_t max_kept = std::size_t{1} << 16;

    Snapshot* slots() noexcept { return heap_.empty() ? local_ : heap_.data(); }

    Snapshot local_[local_count];  // each slot is written before it is read
    std::vector<Snapshot> heap_;
    std::size_t size_;
};

PacketError item_error(Error error, std::size_t index, const Item& item, ReadProgress progress) {
    return PacketError{std::move(error), item_note(index, item, progress)};
}

// Sizing pass: only `bits` and `offset_bits` are read, so their problems are
// reported before anything else of any item. Returns the packet's length in
// bytes.
PacketResult<std::uint32_t> packet_length(std::span<PyObject* const> items, RecipeReader& reader,
                                          SnapshotCache& cache) {
    std::uint32_t end = 0;
    Snapshot scratch;
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::uint32_t bits;
        std::optional<std::uint32_t> offset;
        Snapshot& snapshot = cache.slot(i, scratch);
        auto ok = require_dict(items[i]);
        if (ok) {
            reader.scan(items[i], snapshot);
            ok = reader.read_size(items[i], snapshot, bits, offset);
        }
        if (!ok) {
            Item described;
            // Only a dict was scanned.
            const ReadProgress progress =
                PyDict_Check(items[i]) ? reader.describe(snapshot, described) : ReadProgress::nothing;
            return std::unexpected(item_error(std::move(ok.error()), i, described, progress));
        }
        end = std::max<std::uint32_t>(end, offset.value_or(end) + bits);
    }
    return static_cast<std::uint32_t>(end + 7U) / 8U;
}

// Converts the value to the row's native type, encodes it and places it at
// the cursor. Errors come in that order, then the byte order's.
Result<void> place_value(RecipeReader& reader, const CodecRow& row, const Item& item, const Result<ByteOrder>& order,
                         std::span<std::uint8_t> packet, std::uint32_t cursor) {
    Number number;
    switch (native_type(row.kind)) {
        case NativeType::u64:
            if (!reader.convert_u64(item.value, number.u64)) return python_error();
            break;
        case NativeType::i64:
            if (!reader.convert_i64(item.value, number.i64)) return python_error();
            break;
        case NativeType::f64:
            if (!reader.convert_double(item.value, number.f64)) return python_error();
            break;
        case NativeType::text: {
            std::string_view text;
            if (!reader.convert_text(item.value, text)) return python_error();
            auto bytes = encode_text(row, text);
            if (!bytes) return std::unexpected(std::move(bytes.error()));
            if (!order) return std::unexpected(order.error());
            place_text_bytes(packet, cursor, *bytes, item.bits, *order == ByteOrder::little);
            return {};
        }
    }
    auto raw = encode_number(row, number, item.bits);
    if (!raw) return std::unexpected(std::move(raw.error()));
    if (!order) return std::unexpected(order.error());
    place_raw_value(packet, cursor, *raw, item.bits, item.reverse_bits, *order == ByteOrder::little);
    return {};
}

// The packet of the writing pass: as long as the sizing pass found, and
// resized to what the items read in this pass need. The two agree unless a
// conversion rewrote the recipe between the passes (an item's `__index__`
// widening or narrowing another item); the packet then holds every field of
// the recipe as it reads now, none cut off, and ends where the last of them
// ends.
class PacketBuffer {
public:
    explicit PacketBuffer(std::uint32_t length)
        : bytes_(Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)))), length_(length) {
        if (!bytes_) panic("could not allocate the packet buffer");
        if (length > 0) std::memset(PyBytes_AS_STRING(bytes_.get()), 0, length);
    }

    // Sizes an item read by the writing pass, by the sizing pass's rule,
    // and makes room for it.
    void size_item(const Item& item) {
        const std::uint32_t item_end = (item.has_offset ? item.offset_bits : end_) + item.bits;  // wraps alike
        end_ = std::max(end_, item_end);
        const std::uint32_t needed = static_cast<std::uint32_t>(end_ + 7U) / 8U;
        if (BITLOOM_UNLIKELY(needed > length_)) resize(needed);
    }

    [[nodiscard]] std::span<std::uint8_t> span() const noexcept {
        return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get())), length_};
    }

    // The packet, as long as the items read in the writing pass need.
    [[nodiscard]] Ref finish() {
        const std::uint32_t needed = static_cast<std::uint32_t>(end_ + 7U) / 8U;
        if (BITLOOM_UNLIKELY(needed != length_)) resize(needed);
        return std::move(bytes_);
    }

private:
    void resize(std::uint32_t length) {
        PyObject* bytes = bytes_.release();
        // The object is this call's own, so it may be resized in place.
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(length)) < 0) panic("could not resize the packet buffer");
        if (length > length_) std::memset(PyBytes_AS_STRING(bytes) + length_, 0, length - length_);
        bytes_ = Ref::steal(bytes);
        length_ = length;
    }

    Ref bytes_;
    std::uint32_t length_;
    std::uint32_t end_ = 0;
};

// Writing pass, one item: read it, then encode its value at the cursor.
Result<void> pack_item(RecipeReader& reader, PyObject* dict, const Snapshot& snapshot, PacketBuffer& packet,
                       std::uint32_t& cursor, Item& item) {
    if (auto ok = reader.read_item(dict, snapshot, true, item); !ok) return ok;
    if (item.has_offset) cursor = item.offset_bits;
    packet.size_item(item);
    if (item.value == nullptr) {
        return fail(ErrorKind::key_error,
                    Message() << "Recipe item '" << item.name.utf8 << "' missing required field: 'value'");
    }
    auto codec = resolve_encoding(pack_codec_names, item.encoding, reader.codecs);
    if (!codec) return std::unexpected(std::move(codec.error()));
    // The byte order is resolved before the value converts, but its error is
    // reported only after the value's.
    const auto order = parse_byte_order(item.byte_order, reader.byte_orders);
    // Converting the value may run Python code that changes the dict; what
    // is still needed from it is held first.
    if (!converts_without_python_code(item.value)) reader.hold(item);
    if (auto ok = place_value(reader, codec_row(*codec), item, order, packet.span(), cursor); !ok) return ok;
    cursor += item.bits;
    return {};
}

// A plain value (an exact int of up to 64 bits, or an exact float for the
// float codecs) encoded as codec C without running Python code: the raw
// value, or not ok when the value is not plain, does not encode, or C is not
// a number codec. Returned in registers.
struct PlainRaw {
    std::uint64_t raw;
    bool ok;
};
template <Codec C>
PlainRaw encode_plain(PyObject* value, std::uint32_t bits) {
    constexpr const CodecRow& row = codec_row(C);
    if constexpr (row.kind == CodecKind::text || row.kind == CodecKind::unimplemented) {
        return {0, false};
    } else {
        Number number{.u64 = 0};
        if constexpr (native_type(row.kind) == NativeType::f64) {
            if (!PyFloat_CheckExact(value)) return {0, false};
            number.f64 = PyFloat_AS_DOUBLE(value);
        } else {
            constexpr bool is_unsigned = native_type(row.kind) == NativeType::u64;
            if (!usual::usual_int<is_unsigned>(value, number.u64)) return {0, false};
        }
        constexpr EncodeNumber encode = row.encode;
        const auto raw = encode(number, bits, row.is_signed);
        if (!raw) return {0, false};
        return {*raw, true};
    }
}
constexpr auto plain_encoders =
    per_codec<PlainRaw (*)(PyObject*, std::uint32_t)>([]<Codec C>() { return &encode_plain<C>; });

// Packs a recipe whose every item is usual (read by plan_usual, with a
// plain value that encodes) in one pass, into a scratch buffer that is
// copied out at the end. Returns nothing when any item is not, or when a
// field reaches past max_bits; the two passes then pack the recipe from the
// start and report what is wrong. No Python code runs here, so the borrowed
// fields stay valid throughout, and giving up has no effect.
class UsualPacker {
public:
    [[nodiscard]] std::optional<Ref> pack(std::span<PyObject* const> items) {
        const RecipeKeys& keys = recipe_keys();
        const InternedNames& interned = interned_names();
        std::uint64_t cursor = 0;
        std::uint64_t end = 0;  // as the sizing pass sizes: fields without an offset follow the furthest end
        // Items are planned a batch at a time, then placed: two short loops
        // keep their state in registers where one long loop would not.
        std::array<Placement, batch> placements;
        for (std::size_t first = 0; first < items.size(); first += batch) {
            const std::size_t count = std::min(batch, items.size() - first);
            for (std::size_t k = 0; k < count; ++k) {
                PyObject* item = items[first + k];
                ItemFieldValues values;
                PlannedItem plan;
                if (!PyDict_Check(item) || !scan_fields(item, keys, values) ||
                    !RecipeReader::plan_usual(values, interned, Direction::pack, plan)) {
                    return std::nullopt;
                }
                const std::uint64_t start = plan.has_offset ? plan.offset_bits : cursor;
                cursor = start + plan.bits;
                end = std::max(end, (plan.has_offset ? plan.offset_bits : end) + plan.bits);
                if (cursor > max_bits || end > max_bits) return std::nullopt;
                placements[k] = {plan.value,        static_cast<std::uint32_t>(start),
                                 plan.bits,         plan.codec,
                                 plan.reverse_bits, plan.little};
            }
            // Every field planned so far ends at or before `end`.
            const std::span<std::uint8_t> buffer = zeroed_through(end);
            for (std::size_t k = 0; k < count; ++k) {
                if (!place(placements[k], buffer)) return std::nullopt;
            }
        }
        const auto length = static_cast<std::size_t>((end + 7U) / 8U);
        const std::span<std::uint8_t> buffer = zeroed_through(end);
        Ref packet = Ref::steal(
            PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()), static_cast<Py_ssize_t>(length)));
        if (!packet) panic("could not allocate the packet buffer");
        return packet;
    }

private:
    // What placing a planned item needs; the value is borrowed.
    struct Placement {
        PyObject* value;
        std::uint32_t start;
        std::uint32_t bits;
        Codec codec;
        bool reverse_bits;
        bool little;
    };
    static constexpr std::size_t batch = 64;

    // The buffer starts on the stack and moves to the heap when a field
    // reaches past it. It always has a word of slack beyond the furthest
    // field end, so every field is placed with whole-word writes. Packets
    // longer than max_bits are left to the two passes.
    static constexpr std::uint64_t max_bits = std::uint64_t{1} << 27;  // 16 MiB
    static constexpr std::size_t word = 8;

    std::uint8_t* data() noexcept { return heap_.empty() ? local_ : heap_.data(); }
    [[nodiscard]] std::size_t capacity() const noexcept { return heap_.empty() ? sizeof local_ : heap_.size(); }

    // The buffer, zeroed at least up to the byte where a field ending at bit
    // `end` may write.
    std::span<std::uint8_t> zeroed_through(std::uint64_t end) {
        const std::size_t needed = static_cast<std::size_t>((end + 7U) / 8U) + word;
        if (needed > zeroed_) {
            if (needed > capacity()) {
                // The new buffer comes zero-filled; the bytes written so far
                // are carried over.
                std::vector<std::uint8_t> bigger(std::max(needed, 2 * capacity()));
                std::memcpy(bigger.data(), data(), zeroed_);
                heap_ = std::move(bigger);
                zeroed_ = heap_.size();
            } else {
                const std::size_t next = std::min(capacity(), std::max(needed, zeroed_ + 64));
                std::memset(data() + zeroed_, 0, next - zeroed_);
                zeroed_ = next;
            }
        }
        return {data(), capacity()};
    }

    // Converts the value without running Python code, encodes it and places
    // it. False when the value is not of a plain type, the encoding fails,
    // or the value is text that is not ASCII.
    static bool place(const Placement& p, std::span<std::uint8_t> buffer) {
        if (codec_kinds[static_cast<std::size_t>(p.codec)] == CodecKind::text) {
            return place_text(codec_row(p.codec), p, buffer);
        }
        const PlainRaw raw = plain_encoders[static_cast<std::size_t>(p.codec)](p.value, p.bits);
        if (!raw.ok) return false;
        place_raw_value(buffer, p.start, raw.raw, p.bits, p.reverse_bits, p.little);
        return true;
    }

    static bool place_text(const CodecRow& row, const Placement& p, std::span<std::uint8_t> buffer) {
        TextView text;
        if (!usual::usual_text(p.value, text)) return false;
        if (row.ascii_is_identity && !p.little) {
            // ASCII text of such a codec is its own byte form.
            place_form_bits(buffer, p.start,
                            {reinterpret_cast<const std::uint8_t*>(text.utf8.data()), text.utf8.size()}, p.bits);
            return true;
        }
        auto bytes = encode_text(row, text.utf8);
        if (!bytes) return false;
        place_text_bytes(buffer, p.start, *bytes, p.bits, p.little);
        return true;
    }

    std::uint8_t local_[1024];  // zeroed up to zeroed_ as fields need it
    std::vector<std::uint8_t> heap_;
    std::size_t zeroed_ = 0;
};

}  // namespace

PacketResult<Ref> build_packet(RecipeItems& recipe) {
    UsualPacker usual;  // default-initialised: its scratch buffer is zeroed only as far as it is used
    if (auto packet = usual.pack(recipe.unowned())) return std::move(*packet);

    // Reading in full may run Python code.
    const std::span<PyObject* const> items = recipe.view();
    RecipeReader reader;
    SnapshotCache cache(items.size());
    const auto length = packet_length(items, reader, cache);
    if (!length) return std::unexpected(length.error());

    PacketBuffer packet(*length);
    std::uint32_t cursor = 0;
    Item item;
    Snapshot scratch;
    for (std::size_t i = 0; i < items.size(); ++i) {
        reader.start_item();
        auto ok = require_dict(items[i]);
        if (ok) ok = pack_item(reader, items[i], cache.take(i, items[i], reader, scratch), packet, cursor, item);
        if (!ok) return std::unexpected(item_error(std::move(ok.error()), i, item, reader.progress()));
    }
    return packet.finish();
}

}  // namespace bitloom
