// Text decoders. Every routine checks the whole input and builds the whole
// UTF-8 result before it returns; on failure nothing but the message comes
// back. The hot loops avoid branches on the text itself where mixed text
// would make the processor guess them wrong.
//
// The output buffer is sized once for the worst case of the input length
// (resize_and_overwrite leaves it uninitialised) and trimmed to what was
// written, so no decoder grows or reallocates its result while it runs.
#include "decoder/text.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/ascii_run.hpp"
#include "common/windows1252_index.hpp"

namespace bitloom {

namespace {

// --- Shared pieces ---------------------------------------------------------

// Writes `code_point` (a scalar value) as UTF-8 at `out` and returns the
// end. Always four bytes are stored, the form followed by scratch that the
// next character overwrites, so callers leave room for 4 at any point; in
// exchange nothing branches on the form's length, which in mixed text would
// be guessed wrong again and again.
inline char* put_utf8(char* out, char32_t code_point) noexcept {
    const unsigned length = 1U + (code_point >= 0x80) + (code_point >= 0x800) + (code_point >= 0x10000);
    // The form's bytes in reverse order in the bytes of a number: bits 0-5,
    // 6-11, 12-17 and 18-20 spread over bytes 0 to 3 (for ASCII, bits 0-6 in
    // byte 0), then the markers added. Bits above the form's reach are zero,
    // or are shifted out below. Markers and the low mask come by table, not
    // by a test of the length, which the compiler would turn into a branch.
    static constexpr std::uint32_t markers[5] = {0, 0, 0xC080, 0xE08080, 0xF0808080};
    static constexpr std::uint32_t low_bits[5] = {0, 0x7F, 0x3F, 0x3F, 0x3F};
    const std::uint32_t form = (code_point & low_bits[length]) | ((code_point << 2) & 0x3F00) |
                               ((code_point << 4) & 0x3F0000) | ((code_point << 6) & 0x07000000) | markers[length];
    // Lead byte to the top, then into memory first-byte-first.
    std::uint32_t word = form << (8 * (4 - length));
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    std::memcpy(out, &word, sizeof word);
    return out + length;
}

inline std::string copy_as_text(ByteSpan bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// Index of the first byte above 0x7F, or the size when there is none.
std::size_t first_non_ascii(ByteSpan bytes) noexcept {
    return ascii_unit_count<1>(bytes.data(), bytes.size(), any_high_bit);
}

// --- UTF-8 validation ------------------------------------------------------

// Well-formedness is decided by a state machine, fast; only input that fails
// it is walked again, sequence by sequence, to find and describe the fault.

// The machine's states, each a multiple of 6: a state is the bit offset of
// its 6-bit field in a transition row. A row, one per byte value, holds in
// each state's field the state that follows on that byte, so one step is
// `row >> state`. The loop then carries only a shift from byte to byte, and
// the row load does not wait for the previous step.
namespace utf8_state {
inline constexpr std::uint64_t accept = 0;  // between sequences
inline constexpr std::uint64_t reject = 6;  // ill-formed; never left
inline constexpr std::uint64_t need1 = 12;  // one continuation byte to go
inline constexpr std::uint64_t need2 = 18;
inline constexpr std::uint64_t need3 = 24;
inline constexpr std::uint64_t after_e0 = 30;  // next byte A0-BF (no overlong form)
inline constexpr std::uint64_t after_ed = 36;  // next byte 80-9F (no surrogate)
inline constexpr std::uint64_t after_f0 = 42;  // next byte 90-BF (no overlong form)
inline constexpr std::uint64_t after_f4 = 48;  // next byte 80-8F (nothing above U+10FFFF)
inline constexpr std::uint64_t field = 63;
}  // namespace utf8_state

constexpr std::uint64_t utf8_next_state(std::uint64_t state, int byte) {
    using namespace utf8_state;
    const auto within = [byte](int low, int high) { return byte >= low && byte <= high; };
    switch (state) {
        case accept:
            if (within(0x00, 0x7F)) return accept;
            if (within(0xC2, 0xDF)) return need1;
            if (byte == 0xE0) return after_e0;
            if (byte == 0xED) return after_ed;
            if (within(0xE1, 0xEF)) return need2;
            if (byte == 0xF0) return after_f0;
            if (byte == 0xF4) return after_f4;
            if (within(0xF1, 0xF3)) return need3;
            return reject;
        case need1: return within(0x80, 0xBF) ? accept : reject;
        case need2: return within(0x80, 0xBF) ? need1 : reject;
        case need3: return within(0x80, 0xBF) ? need2 : reject;
        case after_e0: return within(0xA0, 0xBF) ? need1 : reject;
        case after_ed: return within(0x80, 0x9F) ? need1 : reject;
        case after_f0: return within(0x90, 0xBF) ? need2 : reject;
        case after_f4: return within(0x80, 0x8F) ? need2 : reject;
        default: return reject;
    }
}

constexpr std::array<std::uint64_t, 256> utf8_transition_rows = [] {
    std::array<std::uint64_t, 256> rows{};
    for (int byte = 0; byte < 256; ++byte) {
        for (std::uint64_t state = 0; state <= utf8_state::after_f4; state += 6) {
            rows[byte] |= utf8_next_state(state, byte) << state;
        }
    }
    return rows;
}();

bool is_well_formed_utf8(ByteSpan bytes) noexcept {
    using namespace utf8_state;
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    constexpr std::size_t block = 16;
    std::uint64_t state = accept;
    std::size_t i = 0;
    for (; size - i >= block; i += block) {
        if ((state & field) == accept && ((load8(data + i) | load8(data + i + 8)) & any_high_bit) == 0) continue;
        for (std::size_t k = 0; k < block; ++k) state = utf8_transition_rows[data[i + k]] >> (state & field);
        if ((state & field) == reject) return false;
    }
    for (; i < size; ++i) state = utf8_transition_rows[data[i]] >> (state & field);
    return (state & field) == accept;
}

// What a byte allows when it starts a sequence: the sequence length (0 when
// it can never start one) and the range of the byte right after it.
struct Utf8Lead {
    std::uint8_t length;
    std::uint8_t second_min;
    std::uint8_t second_max;
};

constexpr std::array<Utf8Lead, 256> utf8_leads = [] {
    std::array<Utf8Lead, 256> leads{};  // 80-C1 and F5-FF stay {0, 0, 0}
    for (int b = 0x00; b <= 0x7F; ++b) leads[b] = {1, 0, 0};
    for (int b = 0xC2; b <= 0xDF; ++b) leads[b] = {2, 0x80, 0xBF};
    for (int b = 0xE0; b <= 0xEF; ++b) leads[b] = {3, 0x80, 0xBF};
    for (int b = 0xF0; b <= 0xF4; ++b) leads[b] = {4, 0x80, 0xBF};
    leads[0xE0].second_min = 0xA0;
    leads[0xED].second_max = 0x9F;
    leads[0xF0].second_min = 0x90;
    leads[0xF4].second_max = 0x8F;
    return leads;
}();

// The first ill-formed place in a byte string. `length` is the length of the
// maximal ill-formed subpart there, or 0 when the input ends inside a
// sequence whose bytes so far are all allowed.
struct Utf8Fault {
    std::size_t index;
    std::size_t length;
};

Utf8Fault find_utf8_fault(ByteSpan bytes) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        i += ascii_unit_count<1>(data + i, size - i, any_high_bit);
        if (i == size) break;
        const Utf8Lead& lead = utf8_leads[data[i]];
        if (lead.length == 0) return Utf8Fault{i, 1};
        if (i + 1 == size) return Utf8Fault{i, 0};
        if (data[i + 1] < lead.second_min || data[i + 1] > lead.second_max) return Utf8Fault{i, 1};
        for (std::size_t k = 2; k < lead.length; ++k) {
            if (i + k == size) return Utf8Fault{i, 0};
            if ((data[i + k] & 0xC0) != 0x80) return Utf8Fault{i, k};
        }
        i += lead.length;
    }
    // Unreachable for input that the state machine refused; the two encode
    // the same rules.
    return Utf8Fault{size, 0};
}

// --- UTF-16 ----------------------------------------------------------------

template <bool LittleEndian>
inline char16_t utf16_unit_at(const std::uint8_t* p) noexcept {
    if constexpr (LittleEndian) {
        return static_cast<char16_t>(p[0] | (p[1] << 8));
    } else {
        return static_cast<char16_t>((p[0] << 8) | p[1]);
    }
}

// The bits that are clear in four ASCII code units: the whole high byte and
// the top bit of the low byte.
template <bool LittleEndian>
constexpr std::uint64_t utf16_non_ascii_mask =
    LittleEndian ? memory_order_mask({0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF})
                 : memory_order_mask({0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80, 0xFF, 0x80});

// Decodes an even number of bytes. Returns false, with nothing meaningful
// in `out`, at the first unpaired surrogate.
template <bool LittleEndian>
bool utf16_to_utf8(ByteSpan bytes, std::string& out) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    constexpr std::size_t low_byte = LittleEndian ? 0 : 1;
    bool paired = true;
    // A unit gives at most 3 UTF-8 bytes, a surrogate pair (two units) 4;
    // one more byte is room for put_utf8's scratch after the last form.
    out.resize_and_overwrite(size / 2 * 3 + 1, [&](char* buffer, std::size_t) {
        char* o = buffer;
        std::size_t i = 0;
        // The unit at i, or the surrogate pair that starts there; false for
        // an unpaired surrogate.
        const auto decode_at_i = [&]() -> bool {
            const char16_t unit = utf16_unit_at<LittleEndian>(data + i);
            i += 2;
            if (unit < 0xD800 || unit > 0xDFFF) {
                o = put_utf8(o, unit);
                return true;
            }
            if (unit > 0xDBFF || i == size) return false;
            const char16_t low = utf16_unit_at<LittleEndian>(data + i);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            i += 2;
            o = put_utf8(o, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{low} - 0xDC00));
            return true;
        };
        // Blocks of eight units: from an all-ASCII one the whole ASCII run is
        // narrowed at once; the others are decoded unit by unit (a pair may
        // reach into the next block).
        constexpr std::size_t block = 16;
        while (size - i >= block) {
            constexpr std::uint64_t mask = utf16_non_ascii_mask<LittleEndian>;
            if (((load8(data + i) | load8(data + i + 8)) & mask) == 0) {
                const std::size_t run = ascii_unit_count<2>(data + i, size - i, mask);
                for (std::size_t k = 0; k < run; ++k) o[k] = static_cast<char>(data[i + 2 * k + low_byte]);
                o += run;
                i += 2 * run;
                continue;
            }
            for (const std::size_t block_end = i + block; i < block_end;) {
                if (!decode_at_i()) {
                    paired = false;
                    return std::size_t{0};
                }
            }
        }
        while (i < size) {
            if (!decode_at_i()) {
                paired = false;
                return std::size_t{0};
            }
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return paired;
}

// --- UTF-32 ----------------------------------------------------------------

template <bool LittleEndian>
inline char32_t utf32_value_at(const std::uint8_t* p) noexcept {
    if constexpr (LittleEndian) {
        return char32_t{p[0]} | (char32_t{p[1]} << 8) | (char32_t{p[2]} << 16) | (char32_t{p[3]} << 24);
    } else {
        return (char32_t{p[0]} << 24) | (char32_t{p[1]} << 16) | (char32_t{p[2]} << 8) | char32_t{p[3]};
    }
}

// The bits that are clear in two ASCII values: all but the low 7.
template <bool LittleEndian>
constexpr std::uint64_t utf32_non_ascii_mask =
    LittleEndian ? memory_order_mask({0x80, 0xFF, 0xFF, 0xFF, 0x80, 0xFF, 0xFF, 0xFF})
                 : memory_order_mask({0xFF, 0xFF, 0xFF, 0x80, 0xFF, 0xFF, 0xFF, 0x80});

// Decodes a multiple of 4 bytes. Returns the first value that is not a
// scalar value (a surrogate or above U+10FFFF), if any.
template <bool LittleEndian>
std::optional<char32_t> utf32_to_utf8(ByteSpan bytes, std::string& out) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::optional<char32_t> invalid;
    // Four input bytes never give more than four UTF-8 bytes.
    out.resize_and_overwrite(size, [&](char* buffer, std::size_t) {
        constexpr std::size_t low_byte = LittleEndian ? 0 : 3;
        char* o = buffer;
        std::size_t i = 0;
        // The value at i; false when it is not a scalar value.
        const auto decode_at_i = [&]() -> bool {
            const char32_t value = utf32_value_at<LittleEndian>(data + i);
            if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
                invalid = value;
                return false;
            }
            o = put_utf8(o, value);
            i += 4;
            return true;
        };
        // Blocks of four values: from an all-ASCII one the whole ASCII run is
        // narrowed at once; the others are decoded value by value.
        constexpr std::size_t block = 16;
        while (size - i >= block) {
            constexpr std::uint64_t mask = utf32_non_ascii_mask<LittleEndian>;
            if (((load8(data + i) | load8(data + i + 8)) & mask) == 0) {
                const std::size_t run = ascii_unit_count<4>(data + i, size - i, mask);
                for (std::size_t k = 0; k < run; ++k) o[k] = static_cast<char>(data[i + 4 * k + low_byte]);
                o += run;
                i += 4 * run;
                continue;
            }
            for (std::size_t k = 0; k < block / 4; ++k) {
                if (!decode_at_i()) return std::size_t{0};
            }
        }
        while (i < size) {
            if (!decode_at_i()) return std::size_t{0};
        }
        return static_cast<std::size_t>(o - buffer);
    });
    return invalid;
}

// --- Windows-1252 ----------------------------------------------------------

// The UTF-8 form of every byte: ASCII as itself, the others by the index.
// Decoding a byte is then one table copy, the same for every byte, with no
// branch that depends on the text.
struct Utf8Form {
    std::array<char, 3> bytes;  // every index entry is below U+10000
    std::uint8_t length;
};

constexpr std::array<Utf8Form, 256> windows1252_utf8 = [] {
    std::array<Utf8Form, 256> forms{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        const char32_t cp = byte < 0x80 ? static_cast<char32_t>(byte) : windows1252_index[byte - 0x80];
        Utf8Form& form = forms[byte];
        if (cp < 0x80) {
            form = {{static_cast<char>(cp), 0, 0}, 1};
        } else if (cp < 0x800) {
            form = {{static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F)), 0}, 2};
        } else {
            form = {{static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (cp & 0x3F))},
                    3};
        }
    }
    return forms;
}();

// The character of every byte, as a 16-bit code unit.
constexpr std::array<std::uint16_t, 256> windows1252_ucs2 = [] {
    std::array<std::uint16_t, 256> units{};
    for (std::size_t byte = 0; byte < 256; ++byte) {
        units[byte] = static_cast<std::uint16_t>(byte < 0x80 ? byte : windows1252_index[byte - 0x80]);
    }
    return units;
}();

std::string windows1252_to_utf8(ByteSpan bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::string out;
    out.resize_and_overwrite(size * 3, [&](char* buffer, std::size_t) {
        char* o = buffer;
        // Whole 3-byte forms are copied and the output moves on by the real
        // length; no byte writes more than the 3 it was given room for.
        const auto put = [&o](std::uint8_t byte) {
            const Utf8Form& form = windows1252_utf8[byte];
            std::memcpy(o, form.bytes.data(), 3);
            o += form.length;
        };
        std::size_t i = 0;
        for (; size - i >= 8; i += 8) {
            if ((load8(data + i) & any_high_bit) == 0) {
                std::memcpy(o, data + i, 8);
                o += 8;
                continue;
            }
            for (std::size_t k = 0; k < 8; ++k) put(data[i + k]);
        }
        for (; i < size; ++i) put(data[i]);
        return static_cast<std::size_t>(o - buffer);
    });
    return out;
}

bool starts_with(ByteSpan bytes, std::string_view prefix) noexcept {
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

// --- Routines --------------------------------------------------------------

Result<std::string> decode_utf8(ByteSpan bytes) {
    if (is_well_formed_utf8(bytes)) return copy_as_text(bytes);
    const Utf8Fault fault = find_utf8_fault(bytes);
    if (fault.length == 0) {
        return value_error(
            (Message{} << "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index " << fault.index).str());
    }
    return value_error((Message{} << "Invalid UTF-8 bytes: invalid utf-8 sequence of " << fault.length
                                  << " bytes from index " << fault.index)
                           .str());
}

Result<std::string> decode_utf16_with_endianness(ByteSpan bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    std::string text;
    const bool ok = little_endian ? utf16_to_utf8<true>(bytes, text) : utf16_to_utf8<false>(bytes, text);
    if (!ok) return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
    return text;
}

Result<std::string> decode_utf16(ByteSpan bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
    }
    const ByteOrderChoice choice = utf16_byte_order(bytes);
    return decode_utf16_with_endianness(choice.rest, choice.little_endian);
}

Result<std::string> decode_utf32_with_endianness(ByteSpan bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    std::string text;
    const auto invalid = little_endian ? utf32_to_utf8<true>(bytes, text) : utf32_to_utf8<false>(bytes, text);
    if (invalid) return value_error((Message{} << "Invalid UTF-32 codepoint: 0x").hex(*invalid, 8).str());
    return text;
}

Result<std::string> decode_utf32(ByteSpan bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
    }
    const ByteOrderChoice choice = utf32_byte_order(bytes);
    return decode_utf32_with_endianness(choice.rest, choice.little_endian);
}

Result<std::string> decode_us_ascii(ByteSpan bytes) {
    const std::size_t bad = first_non_ascii(bytes);
    if (bad != bytes.size()) {
        Message message;
        message << "Invalid US-ASCII byte: 0x";
        message.hex(bytes[bad], 2) << " (must be <= 0x7F)";
        return value_error(message.str());
    }
    return copy_as_text(bytes);
}

std::string decode_iso_8859_1(ByteSpan bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::string out;
    out.resize_and_overwrite(size * 2, [&](char* buffer, std::size_t) {
        char* o = buffer;
        // Both bytes of the two-byte form are always written and the output
        // moves on by one or two, so no branch depends on the text.
        const auto put = [&o](std::uint8_t byte) {
            const bool two = byte >= 0x80;
            o[0] = static_cast<char>(two ? 0xC0 | (byte >> 6) : byte);
            o[1] = static_cast<char>(0x80 | (byte & 0x3F));
            o += 1 + two;
        };
        std::size_t i = 0;
        for (; size - i >= 8; i += 8) {
            if ((load8(data + i) & any_high_bit) == 0) {
                std::memcpy(o, data + i, 8);
                o += 8;
                continue;
            }
            for (std::size_t k = 0; k < 8; ++k) put(data[i + k]);
        }
        for (; i < size; ++i) put(data[i]);
        return static_cast<std::size_t>(o - buffer);
    });
    return out;
}

// A leading byte-order mark switches to UTF-8 or UTF-16 for the rest of the
// input; only without one are the bytes windows-1252. Text behind a mark must
// be well formed: a damaged one is refused rather than patched.
Result<std::string> decode_windows_1252(ByteSpan bytes) {
    constexpr std::string_view failure = "Failed to decode Windows-1252 bytes";
    const SniffedInput input = sniff_byte_order_mark(bytes);
    switch (input.encoding) {
        case SniffedEncoding::utf8:
            if (!is_well_formed_utf8(input.rest)) return value_error(std::string(failure));
            return copy_as_text(input.rest);
        case SniffedEncoding::utf16le:
        case SniffedEncoding::utf16be: {
            auto text = decode_utf16_with_endianness(input.rest, input.encoding == SniffedEncoding::utf16le);
            if (!text) return value_error(std::string(failure));
            return text;
        }
        case SniffedEncoding::windows_1252: break;
    }
    return windows1252_to_utf8(input.rest);
}

ByteOrderChoice utf16_byte_order(ByteSpan bytes) noexcept {
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) return {bytes.subspan(2), false};
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) return {bytes.subspan(2), true};
    return {bytes, false};
}

ByteOrderChoice utf32_byte_order(ByteSpan bytes) noexcept {
    using namespace std::string_view_literals;
    if (starts_with(bytes, "\xFF\xFE\x00\x00"sv)) return {bytes.subspan(4), true};
    if (starts_with(bytes, "\x00\x00\xFE\xFF"sv)) return {bytes.subspan(4), false};
    return {bytes, false};
}

SniffedInput sniff_byte_order_mark(ByteSpan bytes) noexcept {
    using namespace std::string_view_literals;
    if (starts_with(bytes, "\xEF\xBB\xBF"sv)) return {SniffedEncoding::utf8, bytes.subspan(3)};
    if (starts_with(bytes, "\xFF\xFE"sv)) return {SniffedEncoding::utf16le, bytes.subspan(2)};
    if (starts_with(bytes, "\xFE\xFF"sv)) return {SniffedEncoding::utf16be, bytes.subspan(2)};
    return {SniffedEncoding::windows_1252, bytes};
}

bool windows_1252_exceeds_latin1(ByteSpan bytes) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    // Only bytes 80 to 9F can; a word without any of them is skipped.
    std::size_t i = 0;
    for (; size - i >= 8; i += 8) {
        if (bytes_80_to_9f(load8(data + i)) == 0) continue;
        for (std::size_t k = 0; k < 8; ++k) {
            if (windows1252_ucs2[data[i + k]] > 0xFF) return true;
        }
    }
    for (; i < size; ++i) {
        if (windows1252_ucs2[data[i]] > 0xFF) return true;
    }
    return false;
}

void windows_1252_to_ucs2(ByteSpan bytes, std::uint16_t* out) noexcept {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    // An all-ASCII block is widened as it is; the others go through the table.
    constexpr std::size_t block = 16;
    for (; size - i >= block; i += block) {
        if (((load8(data + i) | load8(data + i + 8)) & any_high_bit) == 0) {
            for (std::size_t k = 0; k < block; ++k) out[i + k] = data[i + k];
            continue;
        }
        for (std::size_t k = 0; k < block; ++k) out[i + k] = windows1252_ucs2[data[i + k]];
    }
    for (; i < size; ++i) out[i] = windows1252_ucs2[data[i]];
}

}  // namespace bitloom
