// Exception translation: UserError becomes ValueError; InternalError becomes vorpex.InternalError,
// derived from BaseException so that `except Exception` does not swallow a broken invariant.
#include <pybind11/pybind11.h>

#include "errors.hpp"
#include "objects.hpp"

namespace vorpex {

void register_errors(py::module_& m) {
  py::register_exception<InternalError>(m, "InternalError", PyExc_BaseException);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const UserError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
}

}  // namespace vorpex
