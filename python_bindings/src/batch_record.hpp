// The native record behind BatchResult, and how batch_sample() wraps one.
#pragma once

#include <pybind11/pybind11.h>

#include "borrow.hpp"
#include "sampler.hpp"

namespace vorpex {

namespace py = pybind11;

// One model's chain from batch_sample(); never changed after creation.
struct PyBatchResult {
  BatchModelResult result;
  BorrowFlag borrow;
};

// A new BatchResult instance owning `result` (batch_result.cpp).
py::object make_batch_result(BatchModelResult result);

}  // namespace vorpex
