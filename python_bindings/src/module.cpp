// Entry point of the extension module `vorpex`: registers the classes and functions in order.
#include <pybind11/pybind11.h>

#include "methods.hpp"
#include "objects.hpp"

namespace py = pybind11;

PYBIND11_MODULE(vorpex, m) {
  // Every callable carries its own "name(params)\n--\n\n" docstring, so CPython reports a real
  // __text_signature__ and inspect.signature works; pybind11's generated signatures would
  // replace it.
  py::options opts;
  opts.disable_function_signatures();
  m.doc() = "";

  vorpex::register_model_builder(m);            // ModelBuilder, ModelSpec
  vorpex::register_handles(m);                  // ParamRef, VectorParamRef, Expr
  vorpex::register_fit_result(m);               // FitResult
  vorpex::register_batch_result(m);             // BatchResult
  vorpex::register_sample(m);                   // sample
  vorpex::register_batch_sample(m);             // batch_sample
  vorpex::register_sample_prior_predictive(m);  // sample_prior_predictive
  vorpex::register_errors(m);                   // InternalError and the error translators

  // Instances of these classes come only from the module's own functions.
  for (const char* name :
       {"ModelSpec", "ParamRef", "VectorParamRef", "Expr", "FitResult", "BatchResult"}) {
    vorpex::forbid_python_construction(m.attr(name));
  }
}
