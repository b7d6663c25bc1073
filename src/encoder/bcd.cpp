#include "bcd.hpp"

namespace bitloom {

Result<std::uint64_t> encode_packed_bcd(std::int64_t, std::uint32_t, bool) { return not_implemented("not built yet"); }
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t, std::uint32_t, bool) { return not_implemented("not built yet"); }

}  // namespace bitloom
