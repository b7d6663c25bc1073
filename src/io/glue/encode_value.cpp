// Python values encoded as the packet builder encodes them, for the
// layouts' packing.
#include "io/glue/encode_value.hpp"

#include <string>
#include <string_view>

#include "args.hpp"

namespace bitloom::io {

namespace {

Result<Encoded> encode_binary(const FieldSpec& f, PyObject* value, std::uint32_t bits) {
    BufferView view;
    if (!view.acquire(value, PyBUF_SIMPLE)) return python_error();
    Encoded e{true, 0, std::string(static_cast<const char*>(view.data()), view.size())};
    if (e.bytes.size() * 8 != bits) {
        return value_error(Message() << "Field '" << f.name_utf8 << "' holds " << bits / 8
                                     << " bytes, but the value has " << e.bytes.size());
    }
    return e;
}

}  // namespace

Result<std::uint64_t> encode_numeric(const CodecRow& row, PyObject* value, std::uint32_t bits) {
    Number number{};
    switch (native_type(row.kind)) {
        case NativeType::u64:
            if (!convert_u64(value, number.u64)) return python_error();
            break;
        case NativeType::i64:
            if (!convert_i64(value, number.i64)) return python_error();
            break;
        default:
            if (!convert_double(value, number.f64)) return python_error();
            break;
    }
    return encode_number(row, number, bits);
}

namespace {

// Converts the value to the row's native type and encodes it, as the packet
// builder does.
Result<Encoded> encode_value(const CodecRow& row, PyObject* value, std::uint32_t bits) {
    Number number{};
    switch (native_type(row.kind)) {
        case NativeType::u64:
            if (!convert_u64(value, number.u64)) return python_error();
            break;
        case NativeType::i64:
            if (!convert_i64(value, number.i64)) return python_error();
            break;
        case NativeType::f64:
            if (!convert_double(value, number.f64)) return python_error();
            break;
        case NativeType::text: {
            std::string_view text;
            if (!convert_str(value, text)) return python_error();
            auto bytes = encode_text(row, text);
            if (!bytes) return std::unexpected(std::move(bytes.error()));
            return Encoded{true, 0, std::move(*bytes)};
        }
    }
    const auto raw = encode_number(row, number, bits);
    if (!raw) return std::unexpected(raw.error());
    return Encoded{false, *raw, {}};
}

}  // namespace

Result<Encoded> encode_field_value(const FieldSpec& f, PyObject* value, std::uint32_t bits) {
    if (f.binary) return encode_binary(f, value, bits);
    if (!f.pack_codec) return value_error(Message() << "Unsupported encoding type: " << f.encoding_utf8);
    return encode_value(codec_row(*f.pack_codec), value, bits);
}

}  // namespace bitloom::io
