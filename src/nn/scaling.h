#pragma once
// How one network output is turned back into physical units.
//
//   physical = (value * R_s^r_pow) * omega_c^(w_pow + alpha_coef * value[alpha_index])
//
// with R_s the impedance scale and omega_c the characteristic angular
// frequency of the spectrum; the alpha term lets a constant-phase magnitude
// carry omega_c to the power of its own exponent.
#include <cstdint>

namespace kelvora::nn {

struct Scaling {
  double r_pow = 0.0;         // exponent of the impedance scale
  double w_pow = 0.0;         // exponent of the characteristic angular frequency
  double alpha_coef = 0.0;    // multiplies value[alpha_index], added to w_pow
  std::int32_t alpha_index = -1;  // exponent parameter index, -1 for none
};

}  // namespace kelvora::nn
