// Tests of the dense products: values against a long-double reference, and a split result that
// does not depend on how its blocks are scheduled.
#include "linalg.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

// Counts every allocation of this test program, to check that the products allocate nothing.
static std::atomic<long> g_allocations{0};

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vorpex {
namespace {

struct Shape {
  std::size_t nrows, ncols;
};

// Deterministic entries of mixed sign and magnitude.
std::vector<double> fill(std::size_t n, unsigned salt) {
  std::vector<double> v(n);
  std::uint64_t s = 0x9e3779b97f4a7c15ULL * (salt + 1);
  for (double& e : v) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    e = static_cast<double>(s >> 11) * 0x1.0p-53 * 4.0 - 2.0;
  }
  return v;
}

void expect_close_to_reference(const std::vector<double>& got, const std::vector<long double>& ref,
                               const std::vector<long double>& abs_sum) {
  ASSERT_EQ(got.size(), ref.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    // Rounding error of a length-n sum is bounded by about n ulp of the sum of magnitudes.
    const double tol = 1e-13 * static_cast<double>(abs_sum[i]) + 1e-300;
    EXPECT_NEAR(got[i], static_cast<double>(ref[i]), tol) << "entry " << i;
  }
}

// Shapes below, at and above the 100000-entry threshold, with remainders of the 8-wide inner loop
// and of the row blocks, a single wide row and a single column.
const Shape kShapes[] = {{0, 5},     {5, 0},    {1, 1},      {3, 7},      {17, 9},
                         {100, 10},  {999, 100}, {1000, 100}, {10000, 13}, {1, 150000},
                         {150000, 1}, {4097, 37}};

TEST(Linalg, ProductsMatchReferenceAcrossShapes) {
  for (const Shape& s : kShapes) {
    SCOPED_TRACE(::testing::Message() << s.nrows << "x" << s.ncols);
    const std::vector<double> m = fill(s.nrows * s.ncols, 1);
    const std::vector<double> x0 = fill(s.ncols, 2);
    const std::vector<double> y0 = fill(s.nrows, 3);

    std::vector<double> y = y0;
    linalg::gemv_acc(m.data(), s.nrows, s.ncols, x0.data(), y.data());
    std::vector<long double> ref(s.nrows), mag(s.nrows);
    for (std::size_t i = 0; i < s.nrows; ++i) {
      ref[i] = y0[i];
      mag[i] = std::fabs(y0[i]);
      for (std::size_t j = 0; j < s.ncols; ++j) {
        ref[i] += static_cast<long double>(m[i * s.ncols + j]) * x0[j];
        mag[i] += std::fabs(static_cast<long double>(m[i * s.ncols + j]) * x0[j]);
      }
    }
    expect_close_to_reference(y, ref, mag);

    std::vector<double> x = x0;
    linalg::gemv_t_acc(m.data(), s.nrows, s.ncols, y0.data(), x.data());
    std::vector<long double> ref_t(s.ncols), mag_t(s.ncols);
    for (std::size_t j = 0; j < s.ncols; ++j) {
      ref_t[j] = x0[j];
      mag_t[j] = std::fabs(x0[j]);
    }
    for (std::size_t i = 0; i < s.nrows; ++i) {
      for (std::size_t j = 0; j < s.ncols; ++j) {
        ref_t[j] += static_cast<long double>(m[i * s.ncols + j]) * y0[i];
        mag_t[j] += std::fabs(static_cast<long double>(m[i * s.ncols + j]) * y0[i]);
      }
    }
    expect_close_to_reference(x, ref_t, mag_t);
  }
}

// Runs the blocks serially in an order that interleaves them as `workers` threads taking turns
// would, last worker first: a stand-in for pools of different sizes.
linalg::BlockRunner interleaved(std::size_t workers) {
  return [workers](std::size_t nblocks, const std::function<void(std::size_t)>& run) {
    for (std::size_t w = workers; w-- > 0;) {
      for (std::size_t b = w; b < nblocks; b += workers) run(b);
    }
  };
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(Linalg, SplitResultIndependentOfWorkerCountAndRepeatable) {
  for (const Shape& s : {Shape{20000, 10}, Shape{100000, 20}, Shape{3000, 40}}) {
    SCOPED_TRACE(::testing::Message() << s.nrows << "x" << s.ncols);
    ASSERT_GT(s.nrows / linalg::rows_per_block(s.nrows, s.ncols), 1u) << "shape must split";
    const std::vector<double> m = fill(s.nrows * s.ncols, 4);
    const std::vector<double> v_cols = fill(s.ncols, 5);
    const std::vector<double> v_rows = fill(s.nrows, 6);

    std::vector<double> y_pool = v_rows, x_pool = v_cols;
    linalg::gemv_acc(m.data(), s.nrows, s.ncols, v_cols.data(), y_pool.data());
    linalg::gemv_t_acc(m.data(), s.nrows, s.ncols, v_rows.data(), x_pool.data());
    for (std::size_t workers : {1u, 2u, 3u, 16u}) {
      std::vector<double> y = v_rows, x = v_cols;
      linalg::gemv_acc_split(m.data(), s.nrows, s.ncols, v_cols.data(), y.data(),
                             interleaved(workers));
      linalg::gemv_t_acc_split(m.data(), s.nrows, s.ncols, v_rows.data(), x.data(),
                               interleaved(workers));
      EXPECT_TRUE(same_bits(y, y_pool)) << workers << " workers";
      EXPECT_TRUE(same_bits(x, x_pool)) << workers << " workers";
    }
    std::vector<double> x_again = v_cols;
    linalg::gemv_t_acc(m.data(), s.nrows, s.ncols, v_rows.data(), x_again.data());
    EXPECT_TRUE(same_bits(x_again, x_pool));
  }
}

TEST(Linalg, RowBlocksDependOnShapeOnlyAndCoverLargeMatrices) {
  // A 100000-entry product is split into several blocks; the block count stays bounded.
  EXPECT_GT(100000 / linalg::rows_per_block(100000, 1), 1u);
  EXPECT_LE((10000000 + linalg::rows_per_block(10000000, 3) - 1) /
                linalg::rows_per_block(10000000, 3),
            64u);
  EXPECT_GE(linalg::rows_per_block(5, 1000000), 1u);
}

TEST(Linalg, PooledProductsAllocateNothingOnceWarm) {
  // They run inside every gradient evaluation of a chain. The first transposed split call sizes
  // the calling thread's scratch; later calls reuse it.
  const std::size_t nrows = 50000, ncols = 4;
  const std::vector<double> m = fill(nrows * ncols, 7);
  std::vector<double> x = fill(ncols, 8), y = fill(nrows, 9);
  linalg::gemv_acc(m.data(), nrows, ncols, x.data(), y.data());
  linalg::gemv_t_acc(m.data(), nrows, ncols, y.data(), x.data());
  const long before = g_allocations.load();
  for (int rep = 0; rep < 5; ++rep) {
    linalg::gemv_acc(m.data(), nrows, ncols, x.data(), y.data());
    linalg::gemv_t_acc(m.data(), nrows, ncols, y.data(), x.data());
  }
  EXPECT_EQ(g_allocations.load(), before);
}

TEST(Linalg, NonFiniteValuesPropagate) {
  // 0 * inf must give NaN rather than being skipped, on both paths.
  for (std::size_t nrows : {4u, 20000u}) {
    const std::size_t ncols = 8;
    std::vector<double> m(nrows * ncols, 1.0);
    m[ncols + 2] = std::numeric_limits<double>::infinity();
    std::vector<double> x(ncols, 0.0), y(nrows, 0.0);
    linalg::gemv_acc(m.data(), nrows, ncols, x.data(), y.data());
    EXPECT_TRUE(std::isnan(y[1]));
    EXPECT_EQ(y[0], 0.0);
    std::vector<double> xt(ncols, 0.0);
    linalg::gemv_t_acc(m.data(), nrows, ncols, y.data(), xt.data());
    EXPECT_TRUE(std::isnan(xt[0]));
  }
}

}  // namespace
}  // namespace vorpex
