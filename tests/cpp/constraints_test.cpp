// Circuit values and constraints in the core: expressions written back and
// read again, the relaxed grammar of stored trees, bitwise identity, the
// bound rules, and build_outcome's statistics over the free parameters.
#include <cmath>
#include <string>
#include <vector>

#include "check.h"
#include "circuit/constraints.h"
#include "circuit/expression.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "circuit/value_identity.h"
#include "fit/build_outcome.h"

using namespace kelvora;
using test::check;

namespace {

SeriesList parsed(const std::string& text) { return parse(std::string_view(text)).value(); }

void expressions() {
  for (const char* text : {"R0-(R1,C1)", "((R1,C1),R2)-W3", "L0-R0-(R1-W1,CPE1)-(Zarc2,TLMQ3)", "(R1)"}) {
    const auto written = expression(parsed(text));
    check(written && *written == text, std::string("expression of ") + text);
  }
  // Unlabelled leaves are written with their automatic labels.
  SeriesList unlabelled = with_labels(parsed("R0-(R1,CPE1)"), {std::nullopt, std::nullopt, std::nullopt});
  check(expression(unlabelled).value() == "R0-(R1,Cpe0)", "automatic labels written out");
  check(param_names(parsed(expression(unlabelled).value())) == param_names(unlabelled), "names kept");

  // Trees the grammar cannot write: stored in the relaxed form instead.
  const SeriesList duplicate = parse_relaxed("R0-R0").value();
  check(!expression(duplicate), "repeated labels have no expression");
  check(stored_expression(duplicate).value() == "R0-R0", "relaxed text keeps repeated labels");
  for (const char* text : {"", "()", "(,R1)", "R0-()-(,)"}) {
    const auto tree = parse_relaxed(text);
    check(tree.has_value(), std::string("relaxed parse of ") + text);
    check(!expression(*tree), std::string("no expression for ") + text);
    check(stored_expression(*tree).value() == text, std::string("relaxed round trip of ") + text);
    check(!parse(std::string_view(text)), std::string("the strict grammar refuses ") + text);
  }
  ParallelGroup lone;
  lone.branches.emplace_back();
  check(!stored_expression(SeriesList{Node{lone}}), "a group whose only branch is empty cannot be stored");
}

void identity() {
  const SeriesList a = parsed("R0-(R1,C1)");
  check(same_nodes(a, parsed("R0-(R1,C1)")) && hash_nodes(a) == hash_nodes(parsed("R0-(R1,C1)")), "equal trees");
  check(!same_nodes(a, parsed("R0-(R2,C1)")), "labels count");
  check(!same_nodes(a, parsed("R0-(C1,R1)")), "branch order counts");
  const double zero[] = {0.0, 0.0, 0.0}, negative_zero[] = {-0.0, 0.0, 0.0};
  check(!same_nodes(rebuild(a, zero), rebuild(a, negative_zero)), "0.0 and -0.0 differ");
  const double nan[] = {NAN, 1.0, 1.0};
  check(same_nodes(rebuild(a, nan), rebuild(a, nan)), "a NaN equals itself");
}

void bound_rules() {
  check(!bounds_problem("R0.r", "r", 0.0, INFINITY), "[0, inf] is valid for a resistance");
  check(bounds_problem("R0.r", "r", -1.0, 1.0).value().find("\"R0.r\"") != std::string::npos, "names the parameter");
  check(bounds_problem("CPE1.alpha", "alpha", 0.5, 1.5).has_value(), "exponents stay within [0, 1]");
  check(bounds_problem("R0.r", "r", 2.0, 2.0).has_value(), "lo < hi");
  check(bounds_problem("R0.r", "r", NAN, 2.0).has_value(), "NaN refused");
  check(!fixed_value_problem("R0.r", 2.0, 2.0, 3.0), "a fixed value on its bound");
  check(fixed_value_problem("R0.r", 4.0, 2.0, 3.0).has_value(), "a fixed value outside its bounds");
}

// A fixed parameter has a zero standard error and zero covariance rows, and
// the free ones get the statistics of the circuit without it.
void statistics_over_free_parameters() {
  const SeriesList rc = parsed("R0-(R1,C1)");
  const double truth[] = {10.0, 50.0, 1e-5};
  std::vector<double> omega, weights;
  std::vector<Complex> z;
  for (int i = 0; i < 30; ++i) {
    const double w = 6.283185307179586 * std::pow(10.0, -1.0 + 0.2 * i);
    omega.push_back(w);
    weights.push_back(1.0);
    // R0 + R1 / (1 + j w R1 C1), perturbed so the residuals are not zero.
    const double d = 1.0 + std::pow(w * 50.0 * 1e-5, 2.0);
    const Complex zi{10.0 + 50.0 / d + 0.01 * std::sin(i), -50.0 * w * 50.0 * 1e-5 / d};
    z.push_back(zi);
  }
  ParamConstraints c = default_constraints(rc);
  c.fixed[0] = true;
  EvaluationCounter counter{0};
  const auto out = build_outcome(rc, std::vector<double>(truth, truth + 3), true, 0, omega, z, weights, counter, &c);
  check(out.has_value() && out->covariance && out->standard_errors, "statistics present");
  const auto& cov = *out->covariance;
  check(cov[0] == 0.0 && cov[1] == 0.0 && cov[2] == 0.0 && cov[3] == 0.0 && cov[6] == 0.0, "fixed row and column zero");
  check((*out->standard_errors)[0] == 0.0, "fixed stderr 0");
  check((*out->standard_errors)[1] == std::sqrt(cov[4]), "stderr is sqrt of the diagonal");
  check(out->residuals.size() == 60, "residual vector kept");
}

}  // namespace

int main() {
  expressions();
  identity();
  bound_rules();
  statistics_over_free_parameters();
  return test::finish();
}
