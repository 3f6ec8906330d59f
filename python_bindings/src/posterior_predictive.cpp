// FitResult.posterior_predictive: replicated observations from posterior draws (not yet built).
#include "fit_record.hpp"

namespace vorpex {

py::object fit_posterior_predictive(const PyFitResult&, py::handle, py::handle) {
  throw std::runtime_error("posterior_predictive is not built yet");
}

}  // namespace vorpex
