#pragma once
// The arithmetic of the layers over plain arrays.
//
// Activations are C rows of L values, row-major.
#include <cstddef>

namespace kelvora::nn {

// out[o][t] = bias[o] + sum_c sum_j w[o][c][j] * in[c][t + d*j - p],
// p = floor(d (K-1) / 2), the terms added with c, then j, ascending; zero
// weights and taps that fall outside 0..L-1 are skipped.  `in` holds cin
// rows of len values, in_row apart; w is [cout, cin, K].
void conv1d_terms(const double* in, std::size_t in_row, std::size_t cin, const double* w, const double* bias,
                  std::size_t cout, std::size_t len, std::size_t kernel, std::size_t dilation, double* out);

// Group normalisation in place: G groups of (C/G) consecutive rows, each
// normalised by its mean and population variance, then scaled and shifted
// per channel.  Rows past G*(C/G) are left as they are.
void normalize_groups(double* values, std::size_t channels, std::size_t len, std::size_t groups, const double* w,
                      const double* bias);

}  // namespace kelvora::nn
