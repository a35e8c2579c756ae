// Fuzz target: circuit expressions.  Any byte string is parsed; a parse
// failure must produce its report, a success must survive every tree walk and
// an evaluation at a few frequencies.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "circuit/evaluate.h"
#include "circuit/model_names.h"
#include "circuit/parse_report.h"
#include "circuit/parser.h"
#include "circuit/tree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kelvora;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view expression = text;
  if (const auto model = model_expression(text)) expression = *model;
  auto parsed = parse(expression);
  if (!parsed) {
    const std::string report = parse_report(parsed.error(), expression);
    if (report.empty()) __builtin_trap();
    return 0;
  }
  const SeriesList& nodes = parsed.value();
  const auto names = param_names(nodes);
  const auto values = param_values(nodes);
  if (names.size() != values.size() || param_units(nodes).size() != values.size() ||
      param_bounds(nodes).size() != values.size() || param_count(nodes) != values.size())
    __builtin_trap();
  const SeriesList rebuilt = rebuild(nodes, values);
  const auto expanded = expand_series(rebuilt);
  (void)closest_param_name(text.substr(0, 16), names);
  const ImpedancePlan plan(expanded.first);
  ImpedanceEvaluator eval(plan, plan.stored_values());
  const double omega[] = {0.0, 1e-3, 6.283185307179586, 1e7};
  Complex out[4];
  eval.evaluate(omega, out);
  return 0;
}
