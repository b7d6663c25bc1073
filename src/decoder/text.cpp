#include "text.hpp"

namespace bitloom {

namespace {
Result<std::string> not_built() { return not_implemented("not built yet"); }
}  // namespace

Result<std::string> decode_utf8(ByteSpan) { return not_built(); }
Result<std::string> decode_utf16(ByteSpan) { return not_built(); }
Result<std::string> decode_utf16_with_endianness(ByteSpan, bool) { return not_built(); }
Result<std::string> decode_utf32(ByteSpan) { return not_built(); }
Result<std::string> decode_utf32_with_endianness(ByteSpan, bool) { return not_built(); }
Result<std::string> decode_us_ascii(ByteSpan) { return not_built(); }
Result<std::string> decode_windows_1252(ByteSpan) { return not_built(); }
std::string decode_iso_8859_1(ByteSpan bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace bitloom
