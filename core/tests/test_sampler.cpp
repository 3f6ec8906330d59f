// Tests of the multi-chain and batch drivers: seeding and chain order, constraining, per-draw
// statistics, moments, progress, failures and independence from the pool size.
#include "sampler.hpp"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "autodiff.hpp"
#include "distributions.hpp"
#include "errors.hpp"
#include "hmc.hpp"
#include "nuts.hpp"
#include "pool.hpp"
#include "random.hpp"

extern char** environ;

namespace vorpex {
namespace {

// mu ~ Normal(0, 10), sigma ~ HalfNormal(5), y_i ~ Normal(mu, sigma) for 20 fixed values.
Graph normal_model(double shift = 0.0) {
  Graph g;
  const NodeId mu = Normal::prior_with_nodes(g, "mu", g.add_constant(0.0), g.add_constant(10.0));
  const NodeId sigma = HalfNormal::prior_with_node_sigma(g, "sigma", g.add_constant(5.0));
  std::vector<double> y(20);
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = shift + 1.0 + std::sin(static_cast<double>(i));
  g.normal_obs_logp(g.scalar_broadcast(mu), sigma, g.add_obs_data(std::move(y)));
  return g;
}

// Prior only: a log-transformed and an interval-transformed coordinate.
Graph bounded_model() {
  Graph g;
  HalfNormal::prior_with_node_sigma(g, "s", g.add_constant(1.0));
  Uniform::prior(g, "u", 2.0, 5.0);
  return g;
}

SampleOptions quiet(std::uint64_t chains, std::uint64_t draws, std::uint64_t warmup) {
  SampleOptions o;
  o.chains = chains;
  o.draws = draws;
  o.warmup = warmup;
  o.show_progress = false;
  return o;
}

std::vector<std::vector<double>> constrained(std::vector<std::vector<double>> draws,
                                             const Graph& g) {
  for (auto& d : draws) {
    for (std::size_t j = 0; j < d.size(); ++j) d[j] = constrain(g.transforms[j], d[j]);
  }
  return draws;
}

void expect_same_stats(const std::vector<DrawStats>& a, const std::vector<DrawStats>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].divergent, b[k].divergent);
    EXPECT_EQ(a[k].tree_depth, b[k].tree_depth);
    EXPECT_EQ(a[k].n_steps, b[k].n_steps);
    EXPECT_EQ(a[k].accept_stat, b[k].accept_stat);
    EXPECT_EQ(a[k].energy, b[k].energy);
    EXPECT_EQ(a[k].lp, b[k].lp);
  }
}

// Chain c of the driver is exactly the chain run alone with seed + c, in chain order, whichever
// worker ran it and whenever it finished; both samplers.
TEST(SamplerDriver, ChainCMatchesALoneChainSeededWithSeedPlusC) {
  const Graph g = normal_model();
  for (SamplerKind kind : {SamplerKind::Nuts, SamplerKind::Hmc}) {
    SampleOptions o = quiet(4, 30, 40);
    o.sampler = kind;
    o.num_leapfrog_steps = 7;
    o.max_tree_depth = 6;
    const SampleResult r = sample(g, o);
    ASSERT_EQ(r.samples.size(), 4u);
    ASSERT_EQ(r.stats.size(), 4u);
    EXPECT_EQ(r.param_names, (std::vector<std::string>{"mu", "sigma"}));
    for (std::uint64_t c = 0; c < 4; ++c) {
      Rng rng(42 + c);
      const ChainConfig config{0.0, kind == SamplerKind::Nuts ? 6u : 7u, 30, 40};
      const ChainResult alone = kind == SamplerKind::Nuts
                                    ? nuts::run_chain(g, config, rng, std::nullopt, nullptr)
                                    : hmc::run_chain(g, config, rng, std::nullopt, nullptr);
      EXPECT_EQ(r.samples[c], constrained(alone.draws, g)) << "chain " << c;
      EXPECT_EQ(r.accept_rates[c], alone.accept_rate);
      EXPECT_EQ(r.step_sizes[c], alone.step_size);
      EXPECT_EQ(r.divergences[c], alone.divergences);
      expect_same_stats(r.stats[c], alone.stats);
    }
    // Same options, same draws.
    EXPECT_EQ(sample(g, o).samples, r.samples);
  }
}

TEST(SamplerDriver, SeedWrapsAround) {
  SampleOptions o = quiet(2, 5, 5);
  o.seed = ~std::uint64_t{0};
  const SampleResult r = sample(normal_model(), o);
  Rng rng(0);
  const ChainResult alone = nuts::run_chain(normal_model(), ChainConfig{0.0, 10, 5, 5}, rng,
                                            std::nullopt, nullptr);
  EXPECT_EQ(r.samples[1], constrained(alone.draws, normal_model()));
}

TEST(SamplerDriver, ConstrainedDrawsRespectTheirSupport) {
  const SampleResult r = sample(bounded_model(), quiet(2, 200, 100));
  ASSERT_EQ(r.samples.size(), 2u);
  for (const auto& chain : r.samples) {
    ASSERT_EQ(chain.size(), 200u);
    for (const auto& d : chain) {
      ASSERT_EQ(d.size(), 2u);
      EXPECT_GE(d[0], 0.0);
      EXPECT_GE(d[1], 2.0);
      EXPECT_LE(d[1], 5.0);
    }
  }
}

TEST(SamplerDriver, NoChainsAndNoDraws) {
  const SampleResult none = sample(normal_model(), quiet(0, 10, 10));
  EXPECT_TRUE(none.samples.empty());
  EXPECT_TRUE(none.accept_rates.empty());
  EXPECT_TRUE(none.step_sizes.empty());
  EXPECT_TRUE(none.divergences.empty());
  EXPECT_TRUE(none.stats.empty());
  for (const auto& v : {none.mean(), none.std()}) {
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(std::isnan(v[0]) && std::isnan(v[1]));
  }
  // Warm-up only: empty draws but real per-chain figures from the warm-up.
  const SampleResult warm = sample(normal_model(), quiet(3, 0, 50));
  ASSERT_EQ(warm.samples.size(), 3u);
  ASSERT_EQ(warm.accept_rates.size(), 3u);
  ASSERT_EQ(warm.divergences.size(), 3u);
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_TRUE(warm.samples[c].empty());
    EXPECT_TRUE(warm.stats[c].empty());
    EXPECT_GT(warm.accept_rates[c], 0.0);
    EXPECT_GT(warm.step_sizes[c], 0.0);
  }
}

TEST(SamplerDriver, PerDrawStatisticsAreCarriedPerChainAndDraw) {
  const Graph g = normal_model();
  const SampleResult r = sample(g, quiet(2, 25, 30));
  Evaluator ev(g);
  for (std::size_t c = 0; c < 2; ++c) {
    ASSERT_EQ(r.stats[c].size(), 25u);
    for (std::size_t k = 0; k < 25; ++k) {
      const DrawStats& s = r.stats[c][k];
      // The recorded log density belongs to the recorded draw.
      const std::vector<double> u = {r.samples[c][k][0], std::log(r.samples[c][k][1])};
      ev.compute(g, u);
      EXPECT_NEAR(s.lp, ev.logp, 1e-9 * (1.0 + std::abs(ev.logp)));
      EXPECT_GE(s.n_steps, 1u);
      EXPECT_GE(s.accept_stat, 0.0);
      EXPECT_LE(s.accept_stat, 1.0);
      EXPECT_GE(s.energy, -s.lp - 1e-12);  // H = -lp + kinetic energy >= -lp
    }
  }
}

TEST(SamplerBatch, ModelKMatchesChainKOfSample) {
  std::vector<Graph> models(3, normal_model());
  SampleOptions o = quiet(3, 20, 30);
  o.seed = 7;
  o.max_tree_depth = 8;  // the batch's depth limit
  const SampleResult r = sample(normal_model(), o);
  const std::vector<BatchModelResult> b = batch_sample(models, 20, 30, 7, false);
  ASSERT_EQ(b.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(b[k].samples, r.samples[k]);
    EXPECT_EQ(b[k].param_names, r.param_names);
    EXPECT_EQ(b[k].accept_rate, r.accept_rates[k]);
    EXPECT_EQ(b[k].divergences, r.divergences[k]);
    expect_same_stats(b[k].stats, r.stats[k]);
  }
  EXPECT_TRUE(batch_sample({}, 20, 30, 7, true).empty());
}

TEST(SamplerBatch, EachModelUsesItsOwnTransformsAndNames) {
  std::vector<Graph> models = {bounded_model(), normal_model(100.0)};
  const std::vector<BatchModelResult> b = batch_sample(models, 100, 100, 3, false);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b[0].param_names, (std::vector<std::string>{"s", "u"}));
  EXPECT_EQ(b[1].param_names, (std::vector<std::string>{"mu", "sigma"}));
  for (const auto& d : b[0].samples) {
    EXPECT_GE(d[0], 0.0);
    EXPECT_GE(d[1], 2.0);
    EXPECT_LE(d[1], 5.0);
  }
  EXPECT_GT(b[1].mean()[0], 90.0);
}

TEST(SamplerMoments, PopulationMeanAndStdInChainThenDrawOrder) {
  SampleResult r;
  r.param_names = {"a", "b"};
  r.samples = {{{1.0, 10.0}}, {{2.0, 20.0}, {3.0, 30.0}}};
  const std::vector<double> mean = r.mean();
  const std::vector<double> sd = r.std();
  EXPECT_DOUBLE_EQ(mean[0], 2.0);
  EXPECT_DOUBLE_EQ(mean[1], 20.0);
  EXPECT_DOUBLE_EQ(sd[0], std::sqrt(2.0 / 3.0));  // divisor N, not N - 1
  EXPECT_DOUBLE_EQ(sd[1], 10.0 * std::sqrt(2.0 / 3.0));

  BatchModelResult b;
  b.param_names = {"a"};
  b.samples = {{1.0}, {2.0}, {3.0}};
  EXPECT_DOUBLE_EQ(b.mean()[0], 2.0);
  EXPECT_DOUBLE_EQ(b.std()[0], std::sqrt(2.0 / 3.0));
  b.samples.clear();
  EXPECT_TRUE(std::isnan(b.mean()[0]));
  EXPECT_TRUE(std::isnan(b.std()[0]));
}

TEST(SamplerProgress, FinalLineCountsEveryIterationAndDivergence) {
  SampleOptions o = quiet(2, 30, 20);
  o.show_progress = true;
  ::testing::internal::CaptureStderr();
  const SampleResult r = sample(normal_model(), o);
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::uint64_t div = r.divergences[0] + r.divergences[1];
  const std::string done = "Sampling done: 100/100 | " + std::to_string(div) + " div | elapsed ";
  const std::size_t at = err.rfind(done);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.back(), '\n');
  EXPECT_EQ(err.find('\n', at), err.size() - 1) << err;
}

// A chain failure ends the call with the chain's error after the progress thread has been
// stopped; a mismatch between names and transforms is refused before any chain runs.
TEST(SamplerFailures, BrokenGraphsAreInternalErrors) {
  Graph bad_param = normal_model();
  const NodeId outside = bad_param.add_node(op::Param{17});
  bad_param.logp_terms.push_back(outside);
  SampleOptions o = quiet(2, 5, 5);
  o.show_progress = true;
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(sample(bad_param, o), InternalError);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Sampling done: "), std::string::npos) << err;

  Graph bad_names = normal_model();
  bad_names.param_names.push_back("extra");
  EXPECT_THROW(sample(bad_names, quiet(1, 5, 5)), InternalError);
  EXPECT_THROW(batch_sample({normal_model(), bad_names}, 5, 5, 1, false), InternalError);
}

TEST(SamplerPool, LaterThreadRequestsKeepTheRunningPool) {
  sample(normal_model(), [] {
    SampleOptions o = quiet(1, 2, 2);
    o.threads = 3;
    return o;
  }());
  const std::size_t size = pool::size();
  SampleOptions o = quiet(1, 2, 2);
  o.threads = size + 5;
  sample(normal_model(), o);
  EXPECT_EQ(pool::size(), size);
}

// A regression whose design matrix is large enough for the products to be split over the pool.
Graph large_regression() {
  constexpr std::size_t kRows = 1000, kCols = 100;
  Graph g;
  const std::size_t start = g.add_vector_params("w", kCols);
  g.vector_normal_logp(start, kCols, 0.0, 1.0);
  Rng rng(5);
  std::vector<double> m(kRows * kCols);
  for (double& x : m) x = rng.normal() * 0.1;
  std::vector<double> y(kRows);
  for (std::size_t i = 0; i < kRows; ++i) y[i] = m[i * kCols] + m[i * kCols + 1] + rng.normal();
  const NodeId mu = g.mat_vec_mul(g.store_matrix(std::move(m), kRows, kCols), start, kCols,
                                  std::nullopt);
  g.normal_obs_logp(mu, g.add_constant(1.0), g.add_obs_data(std::move(y)));
  return g;
}

const char* kChildThreads = "VORPEX_TEST_SAMPLER_THREADS";
const char* kChildOut = "VORPEX_TEST_SAMPLER_OUT";

// Runs in a child process only: fixes the pool size first, then writes every draw bit-exactly.
TEST(SamplerPoolChild, WriteDraws) {
  const char* threads = std::getenv(kChildThreads);
  const char* out = std::getenv(kChildOut);
  if (threads == nullptr || out == nullptr) GTEST_SKIP() << "runs as a child of SamplerPool";
  const std::size_t n = std::strtoull(threads, nullptr, 10);
  ASSERT_TRUE(pool::request_size(n));
  ASSERT_EQ(pool::size(), n);
  SampleOptions o = quiet(3, 6, 10);
  const SampleResult r = sample(large_regression(), o);
  std::FILE* f = std::fopen(out, "w");
  ASSERT_NE(f, nullptr);
  for (const auto& chain : r.samples) {
    for (const auto& d : chain) {
      for (double x : d) std::fprintf(f, "%a ", x);
      std::fputc('\n', f);
    }
  }
  for (const auto& chain : r.stats) {
    for (const auto& s : chain) std::fprintf(f, "%a %a %u\n", s.lp, s.energy, s.n_steps);
  }
  std::fclose(f);
}

std::string run_child(std::size_t threads) {
  const std::string out = ::testing::TempDir() + "sampler_pool_" + std::to_string(::getpid()) +
                          "_" + std::to_string(threads) + ".txt";
  std::remove(out.c_str());
  std::vector<std::string> env_store = {std::string(kChildThreads) + "=" + std::to_string(threads),
                                        std::string(kChildOut) + "=" + out};
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (auto& s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string exe = "/proc/self/exe";
  std::string filter = "--gtest_filter=SamplerPoolChild.WriteDraws";
  char* argv[] = {exe.data(), filter.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return {};
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  std::ifstream in(out);
  std::stringstream ss;
  ss << in.rdbuf();
  std::remove(out.c_str());
  return ss.str();
}

TEST(SamplerPool, SameDrawsWithOneAndSixteenWorkers) {
  const std::string one = run_child(1);
  const std::string sixteen = run_child(16);
  ASSERT_FALSE(one.empty());
  EXPECT_EQ(one, sixteen);
}

}  // namespace
}  // namespace vorpex
