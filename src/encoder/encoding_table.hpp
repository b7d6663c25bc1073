// The builder's encoding-name table: exactly the shared names.
#pragma once

#include "../codec_names.hpp"

namespace bitloom {

inline constexpr auto pack_codec_names = NameTable<Codec, shared_codec_names.size()>(shared_codec_names);
static_assert(shared_codec_names.size() == 40);
static_assert(pack_codec_names.find(name_key("utf-8")) == Codec::utf8);
static_assert(!pack_codec_names.find(name_key("latin1")));

}  // namespace bitloom
