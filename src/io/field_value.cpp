#include "field_value.hpp"

#include <algorithm>
#include <vector>

#include "../decoder/bcd.hpp"
#include "../decoder/ieee754.hpp"
#include "../decoder/integer.hpp"
#include "../decoder/text.hpp"
#include "bits.hpp"

namespace bitloom::io {

namespace {

std::string text_of(const __int128 v) {
    // Widths come from 64-bit values times 64-bit factors: print in decimal.
    if (v == 0) return "0";
    const bool negative = v < 0;
    unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    std::string digits;
    while (m > 0) {
        digits.push_back(static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    }
    if (negative) digits.push_back('-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

Result<void> decode_text(Codec codec, std::span<const std::uint8_t> span, std::string& out) {
    Result<std::string> r;
    switch (codec) {
        case Codec::utf8: r = decode_utf8(span); break;
        case Codec::utf16: r = decode_utf16(span); break;
        case Codec::utf16le: r = decode_utf16_with_endianness(span, true); break;
        case Codec::utf16be: r = decode_utf16_with_endianness(span, false); break;
        case Codec::utf32: r = decode_utf32(span); break;
        case Codec::utf32le: r = decode_utf32_with_endianness(span, true); break;
        case Codec::utf32be: r = decode_utf32_with_endianness(span, false); break;
        case Codec::us_ascii: r = decode_us_ascii(span); break;
        case Codec::windows_1252: r = decode_windows_1252(span); break;
        default: out = decode_iso_8859_1(span); return {};
    }
    if (!r) return std::unexpected(std::move(r.error()));
    out = std::move(*r);
    return {};
}

Result<void> decode_number(Codec codec, std::uint64_t raw, std::uint32_t bits, NativeValue& out) {
    Result<std::int64_t> decimal;
    switch (codec) {
        case Codec::unsigned_int: out.raw = raw; return {};
        case Codec::sign_magnitude: out.integer = decode_sign_magnitude(raw, bits); return {};
        case Codec::ones_complement: out.integer = decode_ones_complement(raw, bits); return {};
        case Codec::twos_complement: out.integer = decode_twos_complement(raw, bits); return {};
        case Codec::unpacked_bcd: decimal = decode_unpacked_bcd(raw, bits, false); break;
        case Codec::unpacked_bcd_signed: decimal = decode_unpacked_bcd(raw, bits, true); break;
        case Codec::packed_bcd: decimal = decode_packed_bcd(raw, bits, false); break;
        case Codec::packed_bcd_signed: decimal = decode_packed_bcd(raw, bits, true); break;
        case Codec::ieee754_f16: out.raw = raw; out.real = decode_ieee754_f16(raw); return {};
        case Codec::ieee754_f32: out.raw = raw; out.real = decode_ieee754_f32(raw); return {};
        case Codec::ieee754_f64: out.raw = raw; out.real = decode_ieee754_f64(raw); return {};
        case Codec::ieee754_f128:
            if (bits > 64) {
                return value_error(
                    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
            }
            return value_error(Message() << "IEEE 754 f128 field needs 128 bits, but bits is " << bits);
        case Codec::ti_f32: return not_implemented(unimplemented_format::ti_f32);
        case Codec::dec_f32: return not_implemented(unimplemented_format::dec_f32);
        case Codec::ieee754_1985_f32: return not_implemented(unimplemented_format::ieee754_1985_f32);
        case Codec::ti_f40: return std::unexpected(decode_ti_f40().error());
        case Codec::dec_f64: return std::unexpected(decode_dec_f64().error());
        case Codec::ibm_f32: return std::unexpected(decode_ibm_f32().error());
        case Codec::ibm_f64: return std::unexpected(decode_ibm_f64().error());
        case Codec::ieee754_1985_f64: return std::unexpected(decode_ieee754_1985_f64().error());
        case Codec::ieee754_1985_f80: return std::unexpected(decode_ieee754_1985_f80().error());
        case Codec::mil_std_1750a_f32: return std::unexpected(decode_mil_std_1750a_f32().error());
        case Codec::mil_std_1750a_f48: return std::unexpected(decode_mil_std_1750a_f48().error());
        default: return {};
    }
    if (!decimal) return std::unexpected(std::move(decimal.error()));
    out.integer = *decimal;
    return {};
}

}  // namespace

Result<std::uint32_t> dynamic_bits(const Layout& layout, const FieldSpec& f, __int128 reference) {
    const DynamicWidth& d = *f.dynamic;
    const __int128 width = reference * d.slope + d.intercept;
    const FieldSpec& source = layout.fields[d.field];
    if (width < 0 || width > 0xFFFFFFFF) {
        return value_error(Message() << "Field '" << f.name_utf8 << "' takes its width from '" << source.name_utf8
                                     << "': " << text_of(reference) << " * " << d.slope << " + " << d.intercept
                                     << " = " << text_of(width) << " bits, which is "
                                     << (width < 0 ? "negative" : "past the end of any packet"));
    }
    if (f.binary && width % 8 != 0) {
        return value_error(Message() << "Field '" << f.name_utf8 << "' takes its width from '" << source.name_utf8
                                     << "': " << text_of(width) << " bits, not a whole number of bytes");
    }
    return static_cast<std::uint32_t>(width);
}

Result<void> read_field(const Layout& layout, const FieldSpec& f, std::span<const std::uint8_t> packet,
                        std::uint32_t position, std::uint32_t bits, NativeValue& out) {
    const bool exact_bits = layout.exact || f.binary;
    std::span<const std::uint8_t> span;  // the field's bytes as they stand (byte window or exact form)
    std::vector<std::uint8_t> form;
    std::uint64_t assembled = 0;
    if (!exact_bits) {
        const FieldWindow w = field_window(position, bits, packet.size());
        if (!w.fits) {
            return value_error(Message() << "Field '" << f.name_utf8 << "' needs " << w.count << " bytes from byte "
                                         << w.start << " but the packet has " << packet.size() << " bytes");
        }
        span = packet.subspan(w.start, w.count);
        if (f.value_class != ValueClass::text) assembled = assemble_value(span, f.little);
    } else {
        if (std::uint64_t{position} + bits > 8 * std::uint64_t{packet.size()}) {
            return value_error(Message() << "Field '" << f.name_utf8 << "' needs " << bits << " bits from bit "
                                         << position << " but the packet has " << 8 * packet.size() << " bits");
        }
        const bool numeric = f.value_class != ValueClass::text && f.value_class != ValueClass::binary;
        if (numeric && bits <= 64) {
            assembled = bits == 0 ? 0 : exact_assembled(extract_bits(packet, position, bits), bits, f.little);
        } else {
            form.resize((std::uint64_t{bits} + 7) / 8);
            exact_form(packet, position, bits, form.data());
            span = form;
            if (numeric) assembled = assemble_value(span, f.little);
        }
    }

    switch (f.value_class) {
        case ValueClass::text:
        case ValueClass::binary: {
            std::string reversed;
            if (f.little) {
                reversed.assign(span.rbegin(), span.rend());
                span = std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(reversed.data()),
                                                     reversed.size());
            }
            if (f.binary) {
                out.bytes.assign(span.begin(), span.end());
                return {};
            }
            return decode_text(f.codec, span, out.bytes);
        }
        default: return decode_number(f.codec, raw_field_value(assembled, bits, f.reverse), bits, out);
    }
}

}  // namespace bitloom::io
