// Canonical keys and parameter mapping of the topology matcher, and the
// interpolation used by the feature extraction.
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.h"
#include "circuit/parser.h"
#include "models/registry.h"
#include "models/topology_match.h"
#include "nn/guesser.h"

using namespace kelvora;
using namespace kelvora::models;

namespace {

using test::check;

SeriesList nodes(const char* text) { return parse(std::string_view(text)).value(); }

std::string spans_text(const Canonical& c) {
  std::string out;
  for (const Span& s : c.spans) {
    out += '(';
    out += std::to_string(s.start);
    out += ',';
    out += std::to_string(s.count);
    out += ')';
  }
  return out;
}

}  // namespace

int main() {
  const std::pair<std::string_view, std::string_view> keys[] = {
      {"rc", "[([C],[R]),R]"},
      {"rc_l", "[([C],[R]),L,R]"},
      {"rq", "[([Cpe],[R]),R]"},
      {"rq_l", "[([Cpe],[R]),L,R]"},
      {"two_rc", "[([C],[R]),([C],[R]),R]"},
      {"two_rc_l", "[([C],[R]),([C],[R]),L,R]"},
      {"two_rq", "[([Cpe],[R]),([Cpe],[R]),R]"},
      {"two_rq_l", "[([Cpe],[R]),([Cpe],[R]),L,R]"},
      {"randles", "[([Cpe],[R,W]),R]"},
      {"sei_randles", "[([Cpe],[R,W]),([Cpe],[R]),R]"},
      {"sei_randles_wo", "[([Cpe],[R,Wo]),([Cpe],[R]),R]"},
  };
  for (const auto& [name, key] : keys) {
    const Model* model = nullptr;
    for (const Model& m : MODELS)
      if (m.name == name) model = &m;
    check(model != nullptr, std::string(name) + " is registered");
    if (!model) continue;
    const auto c = canonical(nodes(std::string(model->circuit).c_str()));
    check(c.key == key, std::string(name) + " key " + c.key);
  }
  // Every model serves its own circuit: no two entries share a topology.
  for (const Model& m : MODELS) {
    const auto hit = find_for_topology(nodes(std::string(m.circuit).c_str()));
    check(hit && hit->model == m.index && !hit->match.expanded, std::string(m.name) + " finds itself");
  }

  auto a = canonical(nodes("R0-(R1,C1)"));
  check(spans_text(a) == "(2,1)(1,1)(0,1)", "R0-(R1,C1) spans " + spans_text(a));
  auto b = canonical(nodes("(R1,C2)-R3"));
  check(b.key == a.key && spans_text(b) == "(1,1)(0,1)(2,1)", "(R1,C2)-R3 spans " + spans_text(b));
  check(canonical(nodes("R0-(R1-W1,CPE1)")).key == "[([Cpe],[R,W]),R]", "randles key");
  check(canonical(nodes("T0-Gs1-La2-Tlmq3-Ws4-G5-K6-Zarc7")).key == "[G,Gs,K,La,T,Tlmq,Ws,Zarc]", "all kinds sorted");
  // a proper prefix sorts first; nested groups
  check(canonical(nodes("((R1,C1),R2)")).key == "[([([C],[R])],[R])]", "nested group key");

  auto m = match_topology(nodes("R0-(R1,C1)"), nodes("R5-(C9,R2)"));
  check(m && m->index == std::vector<std::size_t>{0, 2, 1} && !m->expanded, "R5-(C9,R2) index");
  auto k = match_or_expand(nodes("R0-(R1,C1)"), nodes("R0-K1"));
  check(k && k->expanded && k->index == std::vector<std::size_t>{0, 1, 2}, "R0-K1 expanded");
  check(!match_or_expand(nodes("R0-(R1,C1)"), nodes("R0-C1")), "R0-C1 no match");
  auto hit = find_for_topology(nodes("L0-R0-Zarc1-(R2,CPE2)"));
  check(hit && MODELS[hit->model].name == "two_rq_l" && hit->match.expanded, "two_rq_l via Zarc");
  auto mixed = find_for_topology(nodes("R0-K1-(R2,C2)"));
  check(mixed && MODELS[mixed->model].name == "two_rc", "R0-K1-(R2,C2) is two_rc");
  check(quoted_names().rfind("'rc', 'rc_l', 'rq', ", 0) == 0 && quoted_names().ends_with("'sei_randles_wo'"),
        "quoted names");

  // interpolate: clamped ends, exact sample points, the later of equal xs.
  const std::vector<double> xs = {0.0, 1.0, 1.0, 3.0};
  const std::vector<double> ys = {10.0, 20.0, 30.0, 50.0};
  check(nn::interpolate(xs, ys, 0.0) == 10.0 && nn::interpolate(xs, ys, -1.0) == 10.0, "low end");
  check(nn::interpolate(xs, ys, 3.0) == 50.0 && nn::interpolate(xs, ys, 9.0) == 50.0, "high end");
  check(nn::interpolate(xs, ys, 1.0) == 30.0, "duplicate x: later sample");
  check(nn::interpolate(xs, ys, 0.5) == 15.0 && nn::interpolate(xs, ys, 2.0) == 40.0, "linear");

  return test::finish();
}
