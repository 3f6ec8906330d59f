// Gradient cost: Evaluator::compute against a hand-written log density and gradient of the same
// model, per model, plus the number of heap allocations one compute() makes.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "../core/tests/allocation_counter.hpp"
#include "autodiff.hpp"
#include "distributions.hpp"
#include "graph.hpp"

namespace vorpex {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double kC0 = 0.9189385332046727;  // ln(2 pi) / 2
constexpr double kSqrt2Pi = 2.5066282746310002;

// Deterministic pseudo-normal numbers (sum of uniforms) for the fixtures.
struct Fixture {
  std::uint64_t s = 0x2545F4914F6CDD1DULL;
  double uniform() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<double>(s >> 11) * 0x1.0p-53;
  }
  double normal() {
    double t = -6.0;
    for (int i = 0; i < 12; ++i) t += uniform();
    return t;
  }
};

// A model: its graph, a position, and a hand-written log density with gradient.
struct Model {
  std::string name;
  Graph graph;
  std::vector<double> u;
  std::function<double(const double*, double*)> handwritten;  // returns logp, writes grad
};

// y ~ normal(X beta, sigma), beta_j ~ normal(0, 1), sigma ~ half-normal(2) on the log scale.
Model regression_matrix(const std::string& name, std::size_t n, std::size_t k) {
  Fixture f;
  std::vector<double> x(n * k), beta(k), y(n);
  for (double& e : x) e = f.normal();
  for (double& b : beta) b = f.normal();
  for (std::size_t i = 0; i < n; ++i) {
    double m = 0.0;
    for (std::size_t j = 0; j < k; ++j) m += x[i * k + j] * beta[j];
    y[i] = m + 0.5 * f.normal();
  }
  Model model;
  model.name = name;
  Graph& g = model.graph;
  const std::size_t start = g.add_vector_params("beta", k);
  g.vector_normal_logp(start, k, 0.0, 1.0);
  const NodeId sigma = HalfNormal::prior_with_node_sigma(g, "sigma", g.add_constant(2.0));
  const NodeId mu = g.mat_vec_mul(g.store_matrix(x, n, k), start, k, std::nullopt);
  g.normal_obs_logp(mu, sigma, g.add_obs_data(y));
  model.u.resize(k + 1);
  for (std::size_t j = 0; j < k; ++j) model.u[j] = beta[j] + 0.05 * f.normal();
  model.u[k] = std::log(0.6);

  model.handwritten = [x, y, n, k](const double* u, double* grad) {
    const double* b = u;
    const double ls = u[k];
    const double sigma = std::exp(ls);
    double lp = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
      lp += -kC0 - 0.5 * b[j] * b[j];
      grad[j] = -b[j];
    }
    const double inv_var = 1.0 / (sigma * sigma);
    double ss = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double* row = &x[i * k];
      double m = 0.0;
      for (std::size_t j = 0; j < k; ++j) m += row[j] * b[j];
      const double r = y[i] - m;
      ss += r * r;
      const double gr = r * inv_var;
      for (std::size_t j = 0; j < k; ++j) grad[j] += gr * row[j];
    }
    const double dn = static_cast<double>(n);
    lp += dn * (-kC0 - ls) - 0.5 * ss * inv_var;
    // Half-normal(2) prior of sigma plus the log-Jacobian ls.
    lp += std::log(2.0 / (kSqrt2Pi * 2.0)) - sigma * sigma / 8.0 + ls;
    grad[k] = ss * inv_var - dn - sigma * sigma / 4.0 + 1.0;
    return lp;
  };
  return model;
}

// y ~ normal(a + b1 x1 + b2 x2 + b3 x3, sigma), normal(0, 5) priors, half-normal(2) sigma.
Model regression_columns() {
  const std::size_t n = 10000;
  Fixture f;
  std::vector<std::vector<double>> xs(3, std::vector<double>(n));
  std::vector<double> y(n);
  for (auto& col : xs) {
    for (double& e : col) e = f.normal();
  }
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = 1.0 + 0.5 * xs[0][i] - 1.5 * xs[1][i] + 2.0 * xs[2][i] + 0.7 * f.normal();
  }
  Model model;
  model.name = "regression_columns";
  Graph& g = model.graph;
  std::vector<NodeId> coefs;
  const NodeId a = Normal::prior_with_nodes(g, "a", g.add_constant(0.0), g.add_constant(5.0));
  for (int j = 0; j < 3; ++j) {
    coefs.push_back(Normal::prior_with_nodes(g, "b" + std::to_string(j), g.add_constant(0.0),
                                             g.add_constant(5.0)));
  }
  const NodeId sigma = HalfNormal::prior_with_node_sigma(g, "sigma", g.add_constant(2.0));
  std::vector<std::size_t> cols;
  for (const auto& col : xs) cols.push_back(g.store_data_vec(col));
  const NodeId mu = g.fused_linear_mu(coefs, cols, a);
  g.normal_obs_logp(mu, sigma, g.add_obs_data(y));
  model.u = {1.02, 0.49, -1.51, 2.03, std::log(0.69)};

  model.handwritten = [xs, y, n](const double* u, double* grad) {
    const double a = u[0], b1 = u[1], b2 = u[2], b3 = u[3], ls = u[4];
    const double sigma = std::exp(ls);
    const double* x1 = xs[0].data();
    const double* x2 = xs[1].data();
    const double* x3 = xs[2].data();
    const double log5 = std::log(5.0);
    double lp = 0.0;
    for (int j = 0; j < 4; ++j) {
      lp += -0.5 * u[j] * u[j] / 25.0 - log5 - kC0;
      grad[j] = -u[j] / 25.0;
    }
    double ss = 0.0, g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double r = y[i] - (a + b1 * x1[i] + b2 * x2[i] + b3 * x3[i]);
      ss += r * r;
      g0 += r;
      g1 += r * x1[i];
      g2 += r * x2[i];
      g3 += r * x3[i];
    }
    const double inv_var = 1.0 / (sigma * sigma);
    const double dn = static_cast<double>(n);
    lp += dn * (-kC0 - ls) - 0.5 * ss * inv_var;
    grad[0] += g0 * inv_var;
    grad[1] += g1 * inv_var;
    grad[2] += g2 * inv_var;
    grad[3] += g3 * inv_var;
    lp += std::log(2.0 / (kSqrt2Pi * 2.0)) - sigma * sigma / 8.0 + ls;
    grad[4] = ss * inv_var - dn - sigma * sigma / 4.0 + 1.0;
    return lp;
  };
  return model;
}

// Eight schools: mu ~ normal(0, 5), tau ~ half-normal(5), theta_j ~ normal(mu, tau),
// y_j ~ normal(theta_j, sigma_j), one likelihood of one observation per school.
Model hierarchical_8() {
  const std::vector<double> y = {28, 8, -3, 7, -1, 1, 18, 12};
  const std::vector<double> s = {15, 10, 16, 11, 9, 11, 10, 18};
  Model model;
  model.name = "hierarchical_8";
  Graph& g = model.graph;
  const NodeId mu = Normal::prior_with_nodes(g, "mu", g.add_constant(0.0), g.add_constant(5.0));
  const NodeId tau = HalfNormal::prior_with_node_sigma(g, "tau", g.add_constant(5.0));
  std::vector<NodeId> theta;
  for (int j = 0; j < 8; ++j) {
    theta.push_back(Normal::prior_with_nodes(g, "theta" + std::to_string(j), mu, tau));
  }
  for (int j = 0; j < 8; ++j) {
    const NodeId mean = g.scalar_broadcast(theta[static_cast<std::size_t>(j)]);
    g.normal_obs_logp(mean, g.add_constant(s[static_cast<std::size_t>(j)]),
                      g.add_obs_data({y[static_cast<std::size_t>(j)]}));
  }
  model.u = {4.4, std::log(3.6), 6.2, 4.9, 3.9, 4.8, 3.6, 4.0, 6.3, 4.9};

  model.handwritten = [y, s](const double* u, double* grad) {
    const double mu = u[0], ltau = u[1];
    const double tau = std::exp(ltau);
    const double inv_tau2 = 1.0 / (tau * tau);
    const double log_tau = std::log(tau);
    double lp = -0.5 * mu * mu / 25.0 - std::log(5.0) - kC0;
    double gmu = -mu / 25.0;
    double gtau = 0.0;
    lp += std::log(2.0 / (kSqrt2Pi * 5.0)) - tau * tau / 50.0 + ltau;
    const double gtau_prior = -tau * tau / 25.0 + 1.0;
    for (std::size_t j = 0; j < 8; ++j) {
      const double th = u[2 + j];
      const double d = th - mu;
      lp += -0.5 * d * d * inv_tau2 - log_tau - kC0;
      gmu += d * inv_tau2;
      gtau += d * d * inv_tau2 - 1.0;
      const double r = y[j] - th;
      lp += -0.5 * r * r / (s[j] * s[j]) - std::log(s[j]) - kC0;
      grad[2 + j] = -d * inv_tau2 + r / (s[j] * s[j]);
    }
    grad[0] = gmu;
    grad[1] = gtau + gtau_prior;
    return lp;
  };
  return model;
}

// Median over repeats of the per-call time of f, each repeat timing a batch of calls.
double median_ns(const std::function<void()>& f, std::size_t batch, int repeats) {
  std::vector<double> per_call;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < batch; ++i) f();
    const auto t1 = Clock::now();
    per_call.push_back(std::chrono::duration<double, std::nano>(t1 - t0).count() /
                       static_cast<double>(batch));
  }
  std::sort(per_call.begin(), per_call.end());
  return per_call[per_call.size() / 2];
}

volatile double g_sink = 0.0;

std::size_t run(Model& m) {
  const Graph& g = m.graph;
  Evaluator ev(g);
  std::vector<double> hand_grad(g.n_params, 0.0);

  // The two must compute the same thing.
  ev.compute(g, m.u.data());
  const double hand_lp = m.handwritten(m.u.data(), hand_grad.data());
  bool same = std::abs(ev.logp - hand_lp) <= 1e-8 * std::max(1.0, std::abs(hand_lp));
  for (std::size_t i = 0; i < g.n_params; ++i) {
    same = same && std::abs(ev.grad[i] - hand_grad[i]) <= 1e-8 * std::max(1.0, std::abs(hand_grad[i]));
  }
  if (!same) {
    std::fprintf(stderr, "gradient_cost: %s: evaluator and hand-written code disagree (%.17g vs %.17g)\n",
                 m.name.c_str(), ev.logp, hand_lp);
    std::exit(1);
  }

  constexpr std::size_t kCounted = 20;
  alloc_count::Window window;
  for (std::size_t i = 0; i < kCounted; ++i) ev.compute(g, m.u.data());
  const std::size_t allocations = (window.stop() + kCounted - 1) / kCounted;

  // Size the batches to about 2 ms from one timed call.
  const auto t0 = Clock::now();
  ev.compute(g, m.u.data());
  const double once = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  const std::size_t batch = std::max<std::size_t>(1, static_cast<std::size_t>(2e6 / std::max(once, 1.0)));

  auto eval = [&] {
    ev.compute(g, m.u.data());
    g_sink = ev.logp + ev.grad[0];
  };
  auto hand = [&] { g_sink = m.handwritten(m.u.data(), hand_grad.data()) + hand_grad[0]; };
  // Interleave the two so that both see the same machine state.
  std::vector<double> te, th;
  for (int round = 0; round < 5; ++round) {
    te.push_back(median_ns(eval, batch, 7));
    th.push_back(median_ns(hand, batch, 7));
  }
  std::sort(te.begin(), te.end());
  std::sort(th.begin(), th.end());
  const double e = te[te.size() / 2], h = th[th.size() / 2];
  std::printf("gradient_cost model=%s evaluator_ns=%.0f handwritten_ns=%.0f ratio=%.3f\n",
              m.name.c_str(), e, h, e / h);
  std::fflush(stdout);
  if (allocations != 0) {
    std::fprintf(stderr, "gradient_cost: %s: %zu allocations per compute\n", m.name.c_str(),
                 allocations);
  }
  return allocations;
}

}  // namespace
}  // namespace vorpex

int main() {
  using namespace vorpex;
  std::vector<Model> models;
  models.push_back(regression_matrix("regression_matrix", 1000, 10));
  models.push_back(regression_columns());
  models.push_back(hierarchical_8());
  models.push_back(regression_matrix("regression_large", 100000, 20));
  std::size_t worst = 0;
  for (Model& m : models) worst = std::max(worst, run(m));
  std::printf("allocations_per_compute=%zu\n", worst);
  return 0;
}
