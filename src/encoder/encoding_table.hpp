// The builder's encoding names (after lowercasing) and what each one packs.
#pragma once

#include <cstdint>

#include "../name_table.hpp"

namespace bitloom {

enum class PackCodec : std::uint8_t {
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
};

inline constexpr auto pack_codec_names = NameTable<PackCodec, 40>({{
    {"unsigned", PackCodec::unsigned_int},
    {"sign_magnitude", PackCodec::sign_magnitude},
    {"signmagnitude", PackCodec::sign_magnitude},
    {"ones_complement", PackCodec::ones_complement},
    {"onescomplement", PackCodec::ones_complement},
    {"twos_complement", PackCodec::twos_complement},
    {"twoscomplement", PackCodec::twos_complement},
    {"bcd", PackCodec::unpacked_bcd},
    {"bcd_signed", PackCodec::unpacked_bcd_signed},
    {"bcd-signed", PackCodec::unpacked_bcd_signed},
    {"packed_bcd", PackCodec::packed_bcd},
    {"packed-bcd", PackCodec::packed_bcd},
    {"packed_bcd_signed", PackCodec::packed_bcd_signed},
    {"packed-bcd-signed", PackCodec::packed_bcd_signed},
    {"ieee754_f16", PackCodec::ieee754_f16},
    {"ieee754-f16", PackCodec::ieee754_f16},
    {"ieee754_f32", PackCodec::ieee754_f32},
    {"ieee754-f32", PackCodec::ieee754_f32},
    {"ieee754_f64", PackCodec::ieee754_f64},
    {"ieee754-f64", PackCodec::ieee754_f64},
    {"utf8", PackCodec::utf8},
    {"utf-8", PackCodec::utf8},
    {"utf16", PackCodec::utf16},
    {"utf-16", PackCodec::utf16},
    {"utf16le", PackCodec::utf16le},
    {"utf-16le", PackCodec::utf16le},
    {"utf16be", PackCodec::utf16be},
    {"utf-16be", PackCodec::utf16be},
    {"utf32", PackCodec::utf32},
    {"utf-32", PackCodec::utf32},
    {"utf32le", PackCodec::utf32le},
    {"utf-32le", PackCodec::utf32le},
    {"utf32be", PackCodec::utf32be},
    {"utf-32be", PackCodec::utf32be},
    {"us_ascii", PackCodec::us_ascii},
    {"us-ascii", PackCodec::us_ascii},
    {"iso_8859_1", PackCodec::iso_8859_1},
    {"iso-8859-1", PackCodec::iso_8859_1},
    {"windows_1252", PackCodec::windows_1252},
    {"windows-1252", PackCodec::windows_1252},
}});
static_assert(pack_codec_names.find(name_key("utf-8")) == PackCodec::utf8);
static_assert(!pack_codec_names.find(name_key("latin1")));

}  // namespace bitloom
