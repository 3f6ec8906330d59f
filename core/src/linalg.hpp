// Dense matrix-vector products with accumulation over a row-major matrix.
#pragma once

#include <cstddef>

namespace vorpex::linalg {

// Products of at least this many entries are split over the worker pool.
inline constexpr std::size_t kParallelThreshold = 100000;

// y[0..nrows) += M x, M row-major nrows x ncols.
void gemv_acc(const double* m, std::size_t nrows, std::size_t ncols, const double* x, double* y);
// x[0..ncols) += M^T y.
void gemv_t_acc(const double* m, std::size_t nrows, std::size_t ncols, const double* y, double* x);

}  // namespace vorpex::linalg
