#pragma once
// The arithmetic of the layers over plain arrays, shared by the layer
// functions of Guesser (layers.cpp) and the blocked pass (trunk.cpp) so
// that both add the same terms in the same order; and the blocked pass.
//
// Activations are C rows of L values, row-major.
#include <cstddef>
#include <optional>
#include <vector>

namespace kelvora::nn {

struct Features;
struct Guesser;

// The head outputs (before decoding) by the blocked pass of trunk.cpp, or
// nullopt when the network has a layer that pass does not take (an absent
// tensor, a count that disagrees with its layer, a dilation reaching far
// beyond the grid); the layer-by-layer pass then runs instead and reports
// the error, if any.
std::optional<std::vector<double>> blocked_head_outputs(const Guesser& g, const Features& f);

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
