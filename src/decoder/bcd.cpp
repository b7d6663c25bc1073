#include "bcd.hpp"

namespace bitloom {

Result<std::int64_t> decode_packed_bcd(std::uint64_t, std::uint32_t, bool) { return not_implemented("not built yet"); }
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t, std::uint32_t, bool) { return not_implemented("not built yet"); }

}  // namespace bitloom
