// The decoder's encoding-name table: the shared names and the unpacking-only
// ones.
#pragma once

#include "../codec_names.hpp"

namespace bitloom {

inline constexpr auto unpack_codec_names = NameTable<Codec, shared_codec_names.size() + unpack_only_codec_names.size()>(
    concat_rows(shared_codec_names, unpack_only_codec_names));
static_assert(shared_codec_names.size() + unpack_only_codec_names.size() == 65);
static_assert(unpack_codec_names.find(name_key("latin1")) == Codec::iso_8859_1);
static_assert(!unpack_codec_names.find(name_key("ascii")));

}  // namespace bitloom
