#include "io/kernels/field_value.hpp"

#include <algorithm>
#include <vector>

#include "codecs/codec_table.hpp"
#include "io/kernels/bits.hpp"

namespace bitloom::io {

namespace {

// Decodes a numeric raw value through the codec's row.
Result<void> decode_number_value(const CodecRow& row, std::uint64_t raw, std::uint32_t bits, NativeValue& out) {
    const auto number = decode_number(row, raw, bits);
    if (!number) return std::unexpected(number.error());
    switch (native_type(row.kind)) {
        case NativeType::u64: out.raw = number->u64; break;
        case NativeType::i64: out.integer = number->i64; break;
        default:
            out.raw = raw;
            out.real = number->f64;
            break;
    }
    return {};
}

}  // namespace

Result<std::uint32_t> dynamic_bits(const Layout& layout, const FieldSpec& f, Wide reference) {
    // NOLINTNEXTLINE(bugprone-unchecked-optional-access): callers pass dynamic fields only
    const DynamicWidth& d = *f.dynamic;
    const Wide width = reference.times_plus(d.slope, d.intercept);
    const FieldSpec& source = layout.fields[d.field];
    if (!width.within(0xFFFFFFFF)) {
        return value_error(Message() << "Field '" << f.name_utf8 << "' takes its width from '" << source.name_utf8
                                     << "': " << reference.decimal() << " * " << d.slope << " + " << d.intercept
                                     << " = " << width.decimal() << " bits, which is "
                                     << (width.negative() ? "negative" : "past the end of any packet"));
    }
    if (f.binary && width.low() % 8 != 0) {
        return value_error(Message() << "Field '" << f.name_utf8 << "' takes its width from '" << source.name_utf8
                                     << "': " << width.decimal() << " bits, not a whole number of bytes");
    }
    return static_cast<std::uint32_t>(width.low());
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
            auto text = decode_text(codec_row(f.codec), span);
            if (!text) return std::unexpected(std::move(text.error()));
            out.bytes = std::move(*text);
            return {};
        }
        default: return decode_number_value(codec_row(f.codec), raw_field_value(assembled, bits, f.reverse), bits, out);
    }
}

}  // namespace bitloom::io
