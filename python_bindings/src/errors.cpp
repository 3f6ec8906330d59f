// Exception translation: UserError becomes ValueError; InternalError becomes vorpex.InternalError,
// derived from BaseException so that `except Exception` does not swallow a broken invariant;
// std::length_error becomes MemoryError, as std::bad_alloc does.
#include <pybind11/pybind11.h>

#include <stdexcept>

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
    } catch (const std::length_error& e) {
      // A size beyond what any vector can hold (chains, draws, a vector prior's length): an
      // allocation failure like std::bad_alloc, not a ValueError about the model.
      PyErr_SetString(PyExc_MemoryError, e.what());
    }
  });
}

}  // namespace vorpex
