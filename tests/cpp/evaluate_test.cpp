// The block evaluator, the single-frequency evaluator and the plain element
// formulas must agree bit for bit, for every element kind and for awkward
// frequencies (zero, negative, NaN, infinite).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "circuit/evaluate.h"
#include "circuit/parser.h"
#include "circuit/tree.h"

using namespace kelvora;

namespace {

using test::check;

bool same_bits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<double> frequencies() {
  std::vector<double> w;
  for (int i = 0; i < 203; ++i) w.push_back(6.283185307179586 * std::pow(10.0, -4.0 + 12.0 * i / 202.0));
  w.insert(w.end(), {0.0, -0.0, -3.0, NAN, INFINITY, -INFINITY, 1e-300, 1e300});
  return w;
}

void compare(const std::string& expression, const std::vector<double>& params) {
  const SeriesList nodes = parse(std::string_view(expression)).value();
  const ImpedancePlan plan(nodes);
  const auto w = frequencies();
  std::vector<Complex> block(w.size());
  ImpedanceEvaluator eval(plan, params);
  eval.evaluate(w, block.data());
  for (std::size_t i = 0; i < w.size(); ++i) {
    const Complex single = eval(w[i]);
    check(same_bits(single.re, block[i].re) && same_bits(single.im, block[i].im),
          expression + ": block vs single at index " + std::to_string(i));
  }
  // A one-leaf circuit must equal the element formula without precomputed constants.
  if (nodes.size() == 1 && nodes[0].is_leaf()) {
    for (std::size_t i = 0; i < w.size(); ++i) {
      // a series list sums from 0 + 0i, which turns a -0 part into +0
      const Complex plain = Complex{0.0, 0.0} + element_impedance(nodes[0].leaf().element.kind, params.data(), w[i]);
      check(same_bits(plain.re, block[i].re) && same_bits(plain.im, block[i].im),
            expression + ": formula vs evaluator at index " + std::to_string(i));
    }
  }
}

}  // namespace

int main() {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> decade(-6.0, 4.0), unit(0.0, 1.0);
  const char* singles[] = {"R1", "C1", "L1", "La1", "CPE1", "W1", "Wo1", "Ws1", "G1", "Gs1", "K1", "Zarc1", "TLMQ1", "T1"};
  for (const char* e : singles) {
    const SeriesList nodes = parse(std::string_view(e)).value();
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> p = param_values(nodes);
      const auto names = param_names(nodes);
      for (std::size_t k = 0; k < p.size(); ++k) {
        const bool exponent = names[k].ends_with(".alpha") || names[k].ends_with(".gamma");
        p[k] = exponent ? (trial < 4 ? std::vector<double>{1.0, 0.5, 0.0, 0.75}[trial] : unit(rng))
                        : std::pow(10.0, decade(rng));
      }
      compare(e, p);
    }
  }
  compare("R0-(R1-W1,CPE1)", {10, 50, 100, 1e-5, 0.85});
  compare("R0-(R1,CPE1)-(R2-Wo2,CPE2)", {1, 2, 1e-4, 0.8, 5, 3, 0.5, 1e-3, 0.7});
  compare("((R1,C1),(R2,(R3,C3)-L4))-K5-Zarc6", {1, 1e-3, 2, 3, 1e-6, 1e-7, 5, 1e-3, 2, 1e-2, 0.6});
  compare("(R1,R2,R3)", {0.0, 1.0, 2.0});  // a zero branch
  return test::finish();
}
