// The codecs, by id, and the names both packet directions accept for them
// (after lowercasing). Each direction has its own lookup table: packing
// accepts the shared names, unpacking the shared names and the
// unpacking-only ones. A name resolves to a codec id, which is the index of
// the codec's row in the codec table (codec_table.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/name_table.hpp"

namespace bitloom {

enum class Codec : std::uint8_t {
    unsigned_int,
    sign_magnitude,
    ones_complement,
    twos_complement,
    unpacked_bcd,
    unpacked_bcd_signed,
    packed_bcd,
    packed_bcd_signed,
    ieee754_f16,
    ieee754_f32,
    ieee754_f64,
    ieee754_f128,
    utf8,
    utf16,
    utf16le,
    utf16be,
    utf32,
    utf32le,
    utf32be,
    us_ascii,
    iso_8859_1,
    windows_1252,
    ti_f32,
    ti_f40,
    dec_f32,
    dec_f64,
    ibm_f32,
    ibm_f64,
    ieee754_1985_f32,
    ieee754_1985_f64,
    ieee754_1985_f80,
    mil_std_1750a_f32,
    mil_std_1750a_f48,
};
inline constexpr std::size_t codec_count = static_cast<std::size_t>(Codec::mil_std_1750a_f48) + 1;

inline constexpr std::array<NameRow<Codec>, 40> shared_codec_names = {{
    {"unsigned", Codec::unsigned_int},
    {"sign_magnitude", Codec::sign_magnitude},
    {"signmagnitude", Codec::sign_magnitude},
    {"ones_complement", Codec::ones_complement},
    {"onescomplement", Codec::ones_complement},
    {"twos_complement", Codec::twos_complement},
    {"twoscomplement", Codec::twos_complement},
    {"bcd", Codec::unpacked_bcd},
    {"bcd_signed", Codec::unpacked_bcd_signed},
    {"bcd-signed", Codec::unpacked_bcd_signed},
    {"packed_bcd", Codec::packed_bcd},
    {"packed-bcd", Codec::packed_bcd},
    {"packed_bcd_signed", Codec::packed_bcd_signed},
    {"packed-bcd-signed", Codec::packed_bcd_signed},
    {"ieee754_f16", Codec::ieee754_f16},
    {"ieee754-f16", Codec::ieee754_f16},
    {"ieee754_f32", Codec::ieee754_f32},
    {"ieee754-f32", Codec::ieee754_f32},
    {"ieee754_f64", Codec::ieee754_f64},
    {"ieee754-f64", Codec::ieee754_f64},
    {"utf8", Codec::utf8},
    {"utf-8", Codec::utf8},
    {"utf16", Codec::utf16},
    {"utf-16", Codec::utf16},
    {"utf16le", Codec::utf16le},
    {"utf-16le", Codec::utf16le},
    {"utf16be", Codec::utf16be},
    {"utf-16be", Codec::utf16be},
    {"utf32", Codec::utf32},
    {"utf-32", Codec::utf32},
    {"utf32le", Codec::utf32le},
    {"utf-32le", Codec::utf32le},
    {"utf32be", Codec::utf32be},
    {"utf-32be", Codec::utf32be},
    {"us_ascii", Codec::us_ascii},
    {"us-ascii", Codec::us_ascii},
    {"iso_8859_1", Codec::iso_8859_1},
    {"iso-8859-1", Codec::iso_8859_1},
    {"windows_1252", Codec::windows_1252},
    {"windows-1252", Codec::windows_1252},
}};

// Unpacking also reads binary128 (to refuse it), Latin-1 under one more
// name, and the formats it knows by name only.
inline constexpr std::array<NameRow<Codec>, 25> unpack_only_codec_names = {{
    {"ieee754_f128", Codec::ieee754_f128},
    {"ieee754-f128", Codec::ieee754_f128},
    {"latin1", Codec::iso_8859_1},
    {"ti_f32", Codec::ti_f32},
    {"ti-f32", Codec::ti_f32},
    {"ti_f40", Codec::ti_f40},
    {"ti-f40", Codec::ti_f40},
    {"dec_f32", Codec::dec_f32},
    {"dec-f32", Codec::dec_f32},
    {"dec_f64", Codec::dec_f64},
    {"dec-f64", Codec::dec_f64},
    {"ibm_f32", Codec::ibm_f32},
    {"ibm-f32", Codec::ibm_f32},
    {"ibm_f64", Codec::ibm_f64},
    {"ibm-f64", Codec::ibm_f64},
    {"ieee754_1985_f32", Codec::ieee754_1985_f32},
    {"ieee754-1985-f32", Codec::ieee754_1985_f32},
    {"ieee754_1985_f64", Codec::ieee754_1985_f64},
    {"ieee754-1985-f64", Codec::ieee754_1985_f64},
    {"ieee754_1985_f80", Codec::ieee754_1985_f80},
    {"ieee754-1985-f80", Codec::ieee754_1985_f80},
    {"mil_std_1750a_f32", Codec::mil_std_1750a_f32},
    {"mil-std-1750a-f32", Codec::mil_std_1750a_f32},
    {"mil_std_1750a_f48", Codec::mil_std_1750a_f48},
    {"mil-std-1750a-f48", Codec::mil_std_1750a_f48},
}};

inline constexpr auto pack_codec_names = NameTable<Codec, shared_codec_names.size()>(shared_codec_names);
inline constexpr auto unpack_codec_names = NameTable<Codec, shared_codec_names.size() + unpack_only_codec_names.size()>(
    concat_rows(shared_codec_names, unpack_only_codec_names));
static_assert(pack_codec_names.find(name_key("utf-8")) == Codec::utf8);
static_assert(!pack_codec_names.find(name_key("latin1")));
static_assert(unpack_codec_names.find(name_key("latin1")) == Codec::iso_8859_1);
static_assert(!unpack_codec_names.find(name_key("ascii")));

// The codec an ASCII name selects (A-Z lowercased first), if the table has
// it. A name with other characters must be lowercased as str.lower does
// first (lowercase_name in packet/recipe_item.hpp does that for a str).
template <class Table>
[[nodiscard]] inline std::optional<Codec> find_codec(const Table& table, std::string_view ascii_name) noexcept {
    NameKey key;
    lowered_ascii_key(ascii_name, key);
    return table.find(key);
}

}  // namespace bitloom
