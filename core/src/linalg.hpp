// Dense matrix-vector products with accumulation over a row-major matrix.
#pragma once

#include <cstddef>
#include <functional>

namespace vorpex::linalg {

// Products of at least this many entries are split over the worker pool.
inline constexpr std::size_t kParallelThreshold = 100000;

// y[0..nrows) += M x, M row-major nrows x ncols.
void gemv_acc(const double* m, std::size_t nrows, std::size_t ncols, const double* x, double* y);
// x[0..ncols) += M^T y.
void gemv_t_acc(const double* m, std::size_t nrows, std::size_t ncols, const double* y, double* x);

// Rows per block of the split products. It depends on the shape only, never on the pool size, so
// the blocks and the order in which their partial sums are combined are fixed for a given shape.
std::size_t rows_per_block(std::size_t nrows, std::size_t ncols);

// Runs run_block(b) for every b in [0, nblocks), in any order and on any threads.
using BlockRunner =
    std::function<void(std::size_t nblocks, const std::function<void(std::size_t)>& run_block)>;

// The split forms of the two products, with the blocks run by `runner`. gemv_acc and gemv_t_acc
// use these with the worker pool at or above kParallelThreshold entries; the result is the same
// bit for bit whatever runner executes the blocks, in whatever order.
void gemv_acc_split(const double* m, std::size_t nrows, std::size_t ncols, const double* x,
                    double* y, const BlockRunner& runner);
void gemv_t_acc_split(const double* m, std::size_t nrows, std::size_t ncols, const double* y,
                      double* x, const BlockRunner& runner);

}  // namespace vorpex::linalg
