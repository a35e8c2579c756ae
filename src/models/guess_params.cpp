#include "models/guess_params.h"

#include "models/registry.h"

namespace kelvora {

Expected<std::vector<double>, std::string> guess_params(const SeriesList&, const std::vector<double>&,
                                                        const std::vector<Complex>&,
                                                        const std::optional<std::string>&) {
  return unexpected("No training data on this circuit. Machine-learning based initial parameters available for " +
                    models::quoted_names());
}

}  // namespace kelvora
