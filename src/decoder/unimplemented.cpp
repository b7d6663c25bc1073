#include "ieee754.hpp"

namespace bitloom {

Result<double> decode_ti_f40() { return not_implemented(unimplemented_format::ti_f40); }
Result<double> decode_dec_f64() { return not_implemented(unimplemented_format::dec_f64); }
Result<double> decode_ibm_f32() { return not_implemented(unimplemented_format::ibm_f32); }
Result<double> decode_ibm_f64() { return not_implemented(unimplemented_format::ibm_f64); }
Result<double> decode_ieee754_1985_f64() { return not_implemented(unimplemented_format::ieee754_1985_f64); }
Result<double> decode_ieee754_1985_f80() { return not_implemented(unimplemented_format::ieee754_1985_f80); }
Result<double> decode_mil_std_1750a_f32() { return not_implemented(unimplemented_format::mil_std_1750a_f32); }
Result<double> decode_mil_std_1750a_f48() { return not_implemented(unimplemented_format::mil_std_1750a_f48); }

}  // namespace bitloom
