// Sampler cost figures: NUTS time outside density evaluation, allocations per transition after
// warm-up, scaling of chains over the pool, and batch throughput for many small models.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "autodiff.hpp"
#include "distributions.hpp"
#include "graph.hpp"
#include "hmc.hpp"
#include "nuts.hpp"
#include "pool.hpp"
#include "progress.hpp"
#include "random.hpp"
#include "sampler.hpp"

// ---- allocation counting -------------------------------------------------------------------
// Counts allocations made by the tracked thread while its chain is past warm-up: the progress
// block tells which iteration the chain is in, so preallocation before the first iteration and
// the result hand-over after the last are not counted.
namespace {
thread_local const vorpex::ProgressState* g_tracked = nullptr;
thread_local std::uint64_t g_from = 0;
thread_local std::uint64_t g_to = 0;
thread_local std::uint64_t g_count = 0;

void note_allocation() {
  if (g_tracked == nullptr) return;
  const std::uint64_t done = g_tracked->completed.load(std::memory_order_relaxed);
  if (done >= g_from && done < g_to) ++g_count;
}
}  // namespace

void* operator new(std::size_t n) {
  note_allocation();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  note_allocation();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vorpex {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of the calling thread: the overhead figure compares two single-threaded measurements,
// and on a shared machine wall time would mostly measure the other processes.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Eight groups with a shared mean and scale (centred parametrisation):
// mu ~ N(0, 5), tau ~ HalfNormal(5), theta_j ~ N(mu, tau), y_j ~ N(theta_j, sigma_j).
Graph hierarchical_8() {
  const double y[8] = {28, 8, -3, 7, -1, 1, 18, 12};
  const double sigma[8] = {15, 10, 16, 11, 9, 11, 10, 18};
  Graph g;
  const NodeId mu = Normal::prior_with_nodes(g, "mu", g.add_constant(0.0), g.add_constant(5.0));
  const NodeId tau = HalfNormal::prior_with_node_sigma(g, "tau", g.add_constant(5.0));
  for (int j = 0; j < 8; ++j) {
    const NodeId theta = Normal::prior_with_nodes(g, "theta_" + std::to_string(j), mu, tau);
    g.normal_obs_logp(g.scalar_broadcast(theta), g.add_constant(sigma[j]),
                      g.add_obs_data({y[j]}));
  }
  return g;
}

// y = a + sum_k b_k x_k + noise over 5 columns and 1000 rows, one fused mean node.
Graph regression_columns() {
  constexpr std::size_t kRows = 1000, kCols = 5;
  Rng rng(11);
  Graph g;
  const NodeId a = Normal::prior_with_nodes(g, "a", g.add_constant(0.0), g.add_constant(10.0));
  std::vector<NodeId> coefs;
  std::vector<std::size_t> cols;
  std::vector<std::vector<double>> x(kCols, std::vector<double>(kRows));
  for (std::size_t k = 0; k < kCols; ++k) {
    coefs.push_back(Normal::prior_with_nodes(g, "b" + std::to_string(k), g.add_constant(0.0),
                                             g.add_constant(10.0)));
    for (double& v : x[k]) v = rng.normal();
    cols.push_back(g.store_data_vec(x[k]));
  }
  const NodeId s = HalfNormal::prior_with_node_sigma(g, "sigma", g.add_constant(5.0));
  std::vector<double> y(kRows);
  for (std::size_t i = 0; i < kRows; ++i) {
    y[i] = 1.0 + 0.5 * rng.normal();
    for (std::size_t k = 0; k < kCols; ++k) y[i] += static_cast<double>(k + 1) * 0.3 * x[k][i];
  }
  g.normal_obs_logp(g.fused_linear_mu(coefs, cols, a), s, g.add_obs_data(std::move(y)));
  return g;
}

// A normal mean, a half-normal scale and 20 observations.
Graph small_model(std::uint64_t k) {
  Rng rng(1000 + k);
  Graph g;
  const NodeId mu = Normal::prior_with_nodes(g, "mu", g.add_constant(0.0), g.add_constant(10.0));
  const NodeId s = HalfNormal::prior_with_node_sigma(g, "sigma", g.add_constant(5.0));
  std::vector<double> y(20);
  const double centre = static_cast<double>(k % 7);
  for (double& v : y) v = centre + rng.normal();
  g.normal_obs_logp(g.scalar_broadcast(mu), s, g.add_obs_data(std::move(y)));
  return g;
}

// Fraction of the sampling phase spent outside density evaluations. The sampling phase is the
// difference between a run with draws and the same run (same seed, so the same warm-up) without;
// evaluation time is the leapfrog steps taken (one evaluation each) times the measured cost of
// one evaluation at the chain's own draws.
double nuts_overhead(const Graph& g, std::uint64_t warmup, std::uint64_t draws) {
  std::vector<double> fractions;
  for (int rep = 0; rep < 5; ++rep) {
    Rng rng_a(3);
    double t0 = thread_cpu_seconds();
    nuts::run_chain(g, ChainConfig{0.0, 10, 0, warmup}, rng_a, std::nullopt, nullptr);
    const double t_warm = thread_cpu_seconds() - t0;
    Rng rng_b(3);
    t0 = thread_cpu_seconds();
    const ChainResult r =
        nuts::run_chain(g, ChainConfig{0.0, 10, draws, warmup}, rng_b, std::nullopt, nullptr);
    const double t_all = thread_cpu_seconds() - t0;

    std::uint64_t steps = 0;
    for (const DrawStats& s : r.stats) steps += s.n_steps;
    Evaluator ev(g);
    const std::size_t reps = std::max<std::size_t>(1, 100000 / r.draws.size());
    t0 = thread_cpu_seconds();
    double sink = 0.0;
    for (std::size_t i = 0; i < reps; ++i) {
      for (const auto& u : r.draws) {
        ev.compute(g, u);
        sink += ev.logp;
      }
    }
    const double t_eval =
        (thread_cpu_seconds() - t0) / static_cast<double>(reps * r.draws.size());
    if (std::isnan(sink)) std::printf("# NaN log density at a draw\n");
    const double t_sampling = t_all - t_warm;
    const double fraction = 1.0 - static_cast<double>(steps) * t_eval / t_sampling;
    std::printf("#   rep %d: warm-up %.4f s, sampling %.4f s, %llu leapfrog steps, %.1f ns per "
                "evaluation\n",
                rep, t_warm, t_sampling, static_cast<unsigned long long>(steps), t_eval * 1e9);
    fractions.push_back(fraction);
  }
  std::sort(fractions.begin(), fractions.end());
  return fractions[fractions.size() / 2];  // median of the repetitions
}

// Allocations per iteration made while the chain's completed count lies in [from, to).
template <class RunChain>
double allocations_per_iteration(const Graph& g, RunChain run_chain, std::uint64_t from,
                                 std::uint64_t to) {
  constexpr std::uint64_t kWarmup = 200, kDraws = 500;
  ProgressState progress;
  progress.total = kWarmup + kDraws;
  g_from = from;
  g_to = to;
  g_count = 0;
  g_tracked = &progress;
  Rng rng(9);
  run_chain(g, ChainConfig{0.0, 10, kDraws, kWarmup}, rng, std::nullopt, &progress);
  g_tracked = nullptr;
  return static_cast<double>(g_count) / static_cast<double>(to - from);
}

// After warm-up: iterations 200 .. 699 of a 200 + 500 run.
template <class RunChain>
double allocations_per_transition(const Graph& g, RunChain run_chain) {
  return allocations_per_iteration(g, run_chain, 200, 700);
}

double chain_scaling() {
  const Graph g = regression_columns();
  SampleOptions o;
  o.draws = 500;
  o.warmup = 300;
  o.show_progress = false;
  double best = 1e300;
  for (int rep = 0; rep < 3; ++rep) {
    o.chains = 1;
    auto t0 = Clock::now();
    sample(g, o);
    const double one = seconds_since(t0);
    o.chains = 4;
    t0 = Clock::now();
    sample(g, o);
    const double four = seconds_since(t0);
    best = std::min(best, four / one);
  }
  return best;
}

}  // namespace
}  // namespace vorpex

int main() {
  using namespace vorpex;
  std::printf("# pool workers: %zu\n", pool::size());

  std::printf("nuts_overhead model=hierarchical_8 fraction=%.3f\n",
              nuts_overhead(hierarchical_8(), 500, 50000));
  std::printf("nuts_overhead model=regression_columns fraction=%.3f\n",
              nuts_overhead(regression_columns(), 300, 5000));

  std::printf("allocations_per_transition=%.3f\n",
              allocations_per_transition(hierarchical_8(), nuts::run_chain));
  // The counter itself: the first iteration includes the chain's set-up, which allocates.
  std::printf("# set-up and first iteration: %.0f allocations\n",
              allocations_per_iteration(hierarchical_8(), nuts::run_chain, 0, 1));
  std::printf("# static HMC: allocations_per_transition=%.3f\n",
              allocations_per_transition(hierarchical_8(), hmc::run_chain));

  std::printf("chain_scaling chains=4 ratio=%.3f\n", chain_scaling());

  std::vector<Graph> models;
  models.reserve(2000);
  for (std::uint64_t k = 0; k < 2000; ++k) models.push_back(small_model(k));
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<BatchModelResult> results = batch_sample(std::move(models), 500, 300, 42, false);
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::uint64_t div = 0;
  for (const auto& r : results) div += r.divergences;
  std::printf("batch_throughput models=2000 seconds=%.3f\n", t);
  std::printf("# batch divergences: %llu\n", static_cast<unsigned long long>(div));
  return 0;
}
