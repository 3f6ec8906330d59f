// FitResult.to_arviz: export into an ArviZ InferenceData (not yet built).
#include "fit_record.hpp"

namespace vorpex {

py::object fit_to_arviz(const PyFitResult&, py::handle, py::handle, py::handle) {
  throw std::runtime_error("to_arviz is not built yet");
}

}  // namespace vorpex
