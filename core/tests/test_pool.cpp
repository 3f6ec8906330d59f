// Tests of the worker pool: result order, nesting, exceptions, the sizing rule.
#include "pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vorpex {
namespace {

TEST(PoolMap, ResultsInIndexOrderAndEveryIndexOnce) {
  for (std::size_t n : {0u, 1u, 2u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(n);
    const std::vector<std::size_t> out = pool::parallel_map<std::size_t>(n, [&](std::size_t i) {
      hits[i].fetch_add(1);
      return i * i;
    });
    ASSERT_EQ(out.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(out[i], i * i);
      EXPECT_EQ(hits[i].load(), 1);
    }
  }
}

TEST(PoolMap, NestedMapsCompleteWhenEveryWorkerIsBusy) {
  // More outer tasks than workers, each running an inner map: every worker ends up inside an outer
  // task that waits on its own inner map, which only works if callers drive their own maps.
  const std::size_t outer = 3 * pool::size() + 2;
  const std::vector<long> sums = pool::parallel_map<long>(outer, [](std::size_t o) {
    const std::vector<long> inner = pool::parallel_map<long>(
        50, [o](std::size_t i) { return static_cast<long>(o * 100 + i); });
    long s = 0;
    for (long v : inner) s += v;
    return s;
  });
  for (std::size_t o = 0; o < outer; ++o) {
    EXPECT_EQ(sums[o], static_cast<long>(o * 100 * 50 + 49 * 50 / 2));
  }
}

TEST(PoolMap, NestedCallerDoesNotPickUpOuterTasks) {
  // While an outer task runs an inner map, its thread must not start another outer task: record
  // which outer tasks are running on each thread and check they never stack on one thread.
  thread_local int depth_on_thread = 0;
  std::atomic<bool> stacked{false};
  pool::parallel_for(4 * pool::size() + 4, [&](std::size_t) {
    if (++depth_on_thread > 1) stacked = true;
    pool::parallel_for(16, [](std::size_t) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    });
    --depth_on_thread;
  });
  EXPECT_FALSE(stacked.load());
}

TEST(PoolMap, FirstExceptionReachesCallerAfterRunningTasksEnd) {
  std::atomic<int> running{0};
  std::atomic<int> running_at_throw_seen{-1};
  try {
    pool::parallel_for(200, [&](std::size_t i) {
      ++running;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      --running;
      if (i % 7 == 3) throw std::runtime_error("task " + std::to_string(i));
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    running_at_throw_seen = running.load();
    EXPECT_EQ(std::string(e.what()).rfind("task ", 0), 0u);
  }
  EXPECT_EQ(running_at_throw_seen.load(), 0);
  // The pool is still usable afterwards.
  const std::vector<int> out = pool::parallel_map<int>(10, [](std::size_t i) { return int(i); });
  EXPECT_EQ(out[9], 9);
}

TEST(PoolMap, ExceptionFromNestedMapPropagatesThroughOuterTask) {
  EXPECT_THROW(pool::parallel_for(4, [](std::size_t o) {
                 pool::parallel_for(8, [o](std::size_t i) {
                   if (o == 2 && i == 5) throw std::logic_error("inner");
                 });
               }),
               std::logic_error);
}

TEST(PoolMap, SingleTaskRunsOnCallingThread) {
  const auto caller = std::this_thread::get_id();
  std::thread::id ran;
  pool::parallel_for(1, [&](std::size_t) { ran = std::this_thread::get_id(); });
  EXPECT_EQ(ran, caller);
}

TEST(PoolSize, RequestBeforeStartSetsSizeLaterRequestsIgnored) {
  pool::ThreadPool p;
  EXPECT_FALSE(p.started());
  EXPECT_TRUE(p.request_size(3));
  EXPECT_EQ(p.size(), 3u);  // starts it
  EXPECT_TRUE(p.started());
  EXPECT_FALSE(p.request_size(5));
  EXPECT_EQ(p.size(), 3u);
  std::vector<int> out(20, 0);
  p.parallel_for(20, [&](std::size_t i) { out[i] = int(i) + 1; });
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(out[i], int(i) + 1);
}

TEST(PoolSize, DefaultIsOneWorkerPerProcessorAndFirstMapStartsIt) {
  pool::ThreadPool p;
  p.parallel_for(4, [](std::size_t) {});
  EXPECT_TRUE(p.started());
  EXPECT_FALSE(p.request_size(1));
  const unsigned hw = std::thread::hardware_concurrency();
  EXPECT_EQ(p.size(), hw == 0 ? 1u : std::size_t{hw});
}

TEST(PoolSize, ZeroRequestMeansDefault) {
  pool::ThreadPool p;
  EXPECT_TRUE(p.request_size(0));
  const unsigned hw = std::thread::hardware_concurrency();
  EXPECT_EQ(p.size(), hw == 0 ? 1u : std::size_t{hw});
}

TEST(PoolSize, GlobalPoolIgnoresRequestsOnceStarted) {
  const std::size_t n = pool::size();
  EXPECT_GE(n, 1u);
  EXPECT_FALSE(pool::request_size(n + 3));
  EXPECT_EQ(pool::size(), n);
}

}  // namespace
}  // namespace vorpex
