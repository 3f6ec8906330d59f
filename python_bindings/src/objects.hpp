// The native records behind the model-declaration classes, and the registration functions that
// module.cpp calls in the module's registration order.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "borrow.hpp"
#include "compile.hpp"
#include "spec.hpp"

namespace vorpex {

namespace py = pybind11;

struct PyModelBuilder {
  ModelBuilder builder;
  BorrowFlag borrow;
};

struct PyModelSpec {
  ModelSpec spec;
  BorrowFlag borrow;
};

struct PyParamRef {
  std::string name;
  BorrowFlag borrow;
};

struct PyVectorParamRef {
  std::string name;
  std::size_t n = 0;
  BorrowFlag borrow;
};

struct PyExpr {
  MuExpr expr;
  BorrowFlag borrow;
};

// Registration, one call per file, in the module's order.
void register_model_builder(py::module_& m);          // ModelBuilder, ModelSpec (builder.cpp)
void register_handles(py::module_& m);                // ParamRef, VectorParamRef, Expr (handles.cpp)
void register_fit_result(py::module_& m);             // FitResult (fit_result.cpp)
void register_batch_result(py::module_& m);           // BatchResult (batch_result.cpp)
void register_sample(py::module_& m);                 // sample (sample.cpp)
void register_batch_sample(py::module_& m);           // batch_sample (batch_sample.cpp)
void register_sample_prior_predictive(py::module_& m);  // (prior_predictive.cpp)
void register_errors(py::module_& m);                 // InternalError, translators (errors.cpp)

}  // namespace vorpex
