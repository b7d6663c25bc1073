#include "text.hpp"

namespace bitloom {

namespace {
Result<std::string> not_built(std::string_view) { return not_implemented("not built yet"); }
}  // namespace

Result<std::string> encode_utf16be(std::string_view t) { return not_built(t); }
Result<std::string> encode_utf16le(std::string_view t) { return not_built(t); }
Result<std::string> encode_utf16(std::string_view t) { return not_built(t); }
Result<std::string> encode_utf32be(std::string_view t) { return not_built(t); }
Result<std::string> encode_utf32le(std::string_view t) { return not_built(t); }
Result<std::string> encode_utf32(std::string_view t) { return not_built(t); }
Result<std::string> encode_us_ascii(std::string_view t) { return not_built(t); }
Result<std::string> encode_iso_8859_1(std::string_view t) { return not_built(t); }
Result<std::string> encode_windows_1252(std::string_view t) { return not_built(t); }

}  // namespace bitloom
