// Circuit.to_dict() / Circuit.from_dict(): a circuit as plain JSON-compatible
// values.  The tree is its relaxed expression (labels repeat as they are,
// empty series stay empty) plus the indices of the leaves that carry no
// label; then the values, the flag and the constraints, one entry per
// parameter in param_names() order.  An open upper bound is written as None,
// so that a circuit with finite values is strict JSON.
#include <cmath>
#include <string>

#include "circuit/expression.h"
#include "circuit/parser.h"
#include "circuit/tree.h"
#include "python/circuit_object.h"
#include "python/dict_form.h"
#include "python/errors.h"
#include "python/py_lists.h"
#include "python/pyref.h"

namespace kelvora::py {
namespace {

constexpr long kCircuitVersion = 1;
const std::vector<const char*> kCircuitKeys = {"type",   "version", "expression", "unlabelled",
                                               "values", "explicit_values", "bounds", "fixed"};

}  // namespace

PyObject* circuit_to_dict(const SeriesList& nodes, bool explicit_values, const ParamConstraints& constraints) {
  const auto text = kelvora::stored_expression(nodes);
  if (!text) return raise_value_error("this circuit cannot be stored: " + text.error());
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyRef unlabelled(PyList_New(0));
  if (!unlabelled) return nullptr;
  const auto leaves = collect_leaves(nodes);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    if (leaves[i].label->has_value()) continue;
    PyRef index(PyLong_FromSize_t(i));
    if (!index || PyList_Append(unlabelled.get(), index.get()) < 0) return nullptr;
  }
  PyRef bounds(PyList_New(static_cast<Py_ssize_t>(constraints.size())));
  PyRef fixed(PyList_New(static_cast<Py_ssize_t>(constraints.size())));
  if (!bounds || !fixed) return nullptr;
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    const double hi = constraints.bounds[i].second;
    PyObject* pair = hi == INFINITY ? Py_BuildValue("[dO]", constraints.bounds[i].first, Py_None)
                                    : Py_BuildValue("[dd]", constraints.bounds[i].first, hi);
    if (!pair) return nullptr;
    PyList_SET_ITEM(bounds.get(), static_cast<Py_ssize_t>(i), pair);
    PyList_SET_ITEM(fixed.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(constraints.fixed[i] ? 1 : 0));
  }
  if (!set_item(dict.get(), "type", PyUnicode_FromString("Circuit")) ||
      !set_item(dict.get(), "version", PyLong_FromLong(kCircuitVersion)) ||
      !set_item(dict.get(), "expression", to_py_str(*text)) ||
      !set_item(dict.get(), "unlabelled", unlabelled.release()) ||
      !set_item(dict.get(), "values", float_list(param_values(nodes))) ||
      !set_item(dict.get(), "explicit_values", PyBool_FromLong(explicit_values ? 1 : 0)) ||
      !set_item(dict.get(), "bounds", bounds.release()) || !set_item(dict.get(), "fixed", fixed.release()))
    return nullptr;
  return dict.release();
}

bool circuit_from_dict(PyObject* given, const char* what, SeriesList& nodes, bool& explicit_values,
                       ParamConstraints& constraints) {
  const PyRef copy = check_dict_form(given, what, "Circuit", kCircuitVersion, kCircuitKeys);
  if (!copy) return false;
  PyObject* const dict = copy.get();
  std::string text;
  if (!read_string(dict_item(dict, "expression"), what, "expression", text)) return false;
  auto parsed = parse_relaxed(text);
  if (!parsed) return dict_error(what, "\"expression\": " + parsed.error().message());
  SeriesList tree = std::move(parsed.value());
  if (nesting_depth(tree) > kMaxNestingDepth)
    return dict_error(what, "\"expression\" nests parallel groups too deeply");

  // Labels: the parsed ones, except on the leaves listed as unlabelled.
  const auto leaves = collect_leaves(tree);
  std::vector<std::optional<std::string>> labels;
  for (const auto& leaf : leaves) labels.push_back(*leaf.label);
  PyObject* unlabelled = dict_item(dict, "unlabelled");
  if (!PyList_Check(unlabelled)) return dict_error(what, "\"unlabelled\" must be a list of leaf indices");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unlabelled); ++i) {
    std::uint64_t index = 0;
    if (!read_u64(PyList_GET_ITEM(unlabelled, i), what, "unlabelled", index)) return false;
    if (index >= labels.size())
      return dict_error(what, "\"unlabelled\" names leaf " + std::to_string(index) + " of a circuit with " +
                                  std::to_string(labels.size()) + " elements");
    labels[index].reset();
  }
  tree = with_labels(tree, labels);

  const std::size_t n = param_count(tree);
  std::vector<double> values;
  if (!read_doubles(dict_item(dict, "values"), what, "values", n, values)) return false;
  if (!read_bool(dict_item(dict, "explicit_values"), what, "explicit_values", explicit_values)) return false;

  ParamConstraints c;
  const auto names = param_names(tree);
  PyObject* bounds = dict_item(dict, "bounds");
  PyObject* fixed = dict_item(dict, "fixed");
  if (!PyList_Check(bounds) || static_cast<std::size_t>(PyList_GET_SIZE(bounds)) != n)
    return dict_error(what, "\"bounds\" must be a list of " + std::to_string(n) + " [lo, hi] pairs");
  if (!PyList_Check(fixed) || static_cast<std::size_t>(PyList_GET_SIZE(fixed)) != n)
    return dict_error(what, "\"fixed\" must be a list of " + std::to_string(n) + " bools");
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<double> pair;
    PyObject* item = PyList_GET_ITEM(bounds, static_cast<Py_ssize_t>(i));
    if (PyList_Check(item) && PyList_GET_SIZE(item) == 2 && PyList_GET_ITEM(item, 1) == Py_None) {
      pair.resize(2);
      if (!read_double(PyList_GET_ITEM(item, 0), what, "bounds", pair[0])) return false;
      pair[1] = INFINITY;
    } else if (!read_doubles(item, what, "bounds", 2, pair)) {
      return false;
    }
    const std::string param = names[i].substr(names[i].find('.') + 1);
    const auto default_bounds = kelvora::bounds(param);
    const bool is_default = pair[0] == default_bounds.first && pair[1] == default_bounds.second;
    if (!is_default)
      if (const auto problem = bounds_problem(names[i], param, pair[0], pair[1])) return dict_error(what, *problem);
    bool f = false;
    if (!read_bool(PyList_GET_ITEM(fixed, static_cast<Py_ssize_t>(i)), what, "fixed", f)) return false;
    if (f)
      if (const auto problem = fixed_value_problem(names[i], values[i], pair[0], pair[1]))
        return dict_error(what, *problem);
    c.bounds.emplace_back(pair[0], pair[1]);
    c.fixed.push_back(f);
  }
  nodes = rebuild(tree, values);
  constraints = std::move(c);
  return true;
}

}  // namespace kelvora::py
