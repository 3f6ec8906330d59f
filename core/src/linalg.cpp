// Dense y += M x and x += M^T y: straight loops the compiler vectorises, split by row blocks for
// large matrices.
#include "linalg.hpp"

#include <algorithm>
#include <vector>

#include "pool.hpp"

namespace vorpex::linalg {

namespace {

// About 256 KiB of matrix per block: large enough to amortise a task hand-off, small enough that a
// 100000-entry product still splits into a few blocks.
constexpr std::size_t kBlockEntries = 32768;
// Caps the scratch of the transposed product (one partial vector of ncols per block).
constexpr std::size_t kMaxBlocks = 64;

// Row dot product with eight independent accumulators: the fixed-width inner loop becomes vector
// instructions without reassociation flags, and the summation order is fixed by the code.
inline double dot(const double* __restrict a, const double* __restrict x, std::size_t n) {
  double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) {
    for (std::size_t k = 0; k < 8; ++k) acc[k] += a[j + k] * x[j + k];
  }
  double s = ((acc[0] + acc[4]) + (acc[2] + acc[6])) + ((acc[1] + acc[5]) + (acc[3] + acc[7]));
  for (; j < n; ++j) s += a[j] * x[j];
  return s;
}

// y[r0..r1) += M[r0..r1) x.
void gemv_rows(const double* m, std::size_t ncols, std::size_t r0, std::size_t r1,
               const double* x, double* y) {
  for (std::size_t i = r0; i < r1; ++i) y[i] += dot(m + i * ncols, x, ncols);
}

// out[0..ncols) += sum over rows r0..r1 of y[i] M[i], rows in order.
void gemv_t_rows(const double* m, std::size_t ncols, std::size_t r0, std::size_t r1,
                 const double* y, double* __restrict out) {
  for (std::size_t i = r0; i < r1; ++i) {
    const double* __restrict row = m + i * ncols;
    const double yi = y[i];
    for (std::size_t j = 0; j < ncols; ++j) out[j] += yi * row[j];
  }
}

// What a block task reads. The task captures one pointer to it, so the std::function holding the
// task stays in its small inline buffer: the split path allocates nothing per call.
struct Split {
  const double* m;
  std::size_t nrows, ncols, rpb;
  const double* in;
  double* out;
};

void run_on_pool(std::size_t nblocks, const std::function<void(std::size_t)>& run_block) {
  pool::parallel_for(nblocks, run_block);
}

bool split(std::size_t nrows, std::size_t ncols) {
  return ncols != 0 && nrows >= kParallelThreshold / ncols + (kParallelThreshold % ncols != 0);
}

}  // namespace

std::size_t rows_per_block(std::size_t nrows, std::size_t ncols) {
  const std::size_t by_entries = ncols == 0 ? nrows : (kBlockEntries + ncols - 1) / ncols;
  const std::size_t by_count = (nrows + kMaxBlocks - 1) / kMaxBlocks;
  return std::max<std::size_t>({by_entries, by_count, 1});
}

void gemv_acc_split(const double* m, std::size_t nrows, std::size_t ncols, const double* x,
                    double* y, const BlockRunner& runner) {
  if (nrows == 0) return;
  const std::size_t rpb = rows_per_block(nrows, ncols);
  const std::size_t nblocks = (nrows + rpb - 1) / rpb;
  // Every output row belongs to exactly one block and is computed as in the serial loop.
  const Split s{m, nrows, ncols, rpb, x, y};
  runner(nblocks, [p = &s](std::size_t b) {
    gemv_rows(p->m, p->ncols, b * p->rpb, std::min(p->nrows, (b + 1) * p->rpb), p->in, p->out);
  });
}

void gemv_t_acc_split(const double* m, std::size_t nrows, std::size_t ncols, const double* y,
                      double* x, const BlockRunner& runner) {
  if (nrows == 0 || ncols == 0) return;
  const std::size_t rpb = rows_per_block(nrows, ncols);
  const std::size_t nblocks = (nrows + rpb - 1) / rpb;
  if (nblocks == 1) {
    gemv_t_rows(m, ncols, 0, nrows, y, x);
    return;
  }
  // One partial vector per block, summed afterwards in block order: the result depends on the
  // shape alone. The scratch belongs to the calling thread and only grows, so a chain that calls
  // this every gradient allocates once.
  thread_local std::vector<double> scratch;
  if (scratch.size() < nblocks * ncols) scratch.resize(nblocks * ncols);
  double* partial = scratch.data();
  const Split s{m, nrows, ncols, rpb, y, partial};
  runner(nblocks, [p = &s](std::size_t b) {
    double* part = p->out + b * p->ncols;
    std::fill(part, part + p->ncols, 0.0);
    gemv_t_rows(p->m, p->ncols, b * p->rpb, std::min(p->nrows, (b + 1) * p->rpb), p->in, part);
  });
  double* __restrict total = partial;
  for (std::size_t b = 1; b < nblocks; ++b) {
    const double* __restrict p = partial + b * ncols;
    for (std::size_t j = 0; j < ncols; ++j) total[j] += p[j];
  }
  for (std::size_t j = 0; j < ncols; ++j) x[j] += total[j];
}

void gemv_acc(const double* m, std::size_t nrows, std::size_t ncols, const double* x, double* y) {
  if (split(nrows, ncols)) gemv_acc_split(m, nrows, ncols, x, y, run_on_pool);
  else gemv_rows(m, ncols, 0, nrows, x, y);
}

void gemv_t_acc(const double* m, std::size_t nrows, std::size_t ncols, const double* y,
                double* x) {
  if (split(nrows, ncols)) gemv_t_acc_split(m, nrows, ncols, y, x, run_on_pool);
  else gemv_t_rows(m, ncols, 0, nrows, y, x);
}

}  // namespace vorpex::linalg
