#pragma once
// A named numeric array of a weight file, decoded to doubles at load.
#include <cstdint>
#include <vector>

namespace kelvora::nn {

struct Tensor {
  std::vector<std::uint32_t> dims;  // file order, row-major (last fastest)
  std::vector<double> values;       // max(1, product of dims) values
};

}  // namespace kelvora::nn
