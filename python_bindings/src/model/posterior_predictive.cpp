// Posterior predictive draws: the random subsample of stored draws and the replicated
// observations of every normal likelihood.
#include "posterior_predictive.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

#include "autodiff.hpp"
#include "compile.hpp"
#include "errors.hpp"
#include "random.hpp"

namespace vorpex {

namespace {

// Mixed into the seed so that the subsample's generator never shares a stream with the noise
// generator seeded by the same value.
constexpr std::uint64_t kSelectionStream = 0x5851f42d4c957f2dULL;

// Uniform integer in [0, bound) without modulo bias: reject the lowest 2^64 mod bound words.
std::uint64_t uniform_below(Rng& rng, std::uint64_t bound) {
  const std::uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    const std::uint64_t r = rng.next_u64();
    if (r >= threshold) return r % bound;
  }
}

}  // namespace

std::vector<DrawRef> select_draws(const std::vector<std::size_t>& draws_per_chain,
                                  std::optional<std::size_t> n_samples, std::uint64_t seed) {
  std::size_t total = 0;
  for (const std::size_t n : draws_per_chain) total += n;
  std::vector<DrawRef> out;
  if (n_samples && *n_samples < total) {
    // Floyd's algorithm: n distinct indices, each n-subset equally likely, n variates.
    const std::size_t n = *n_samples;
    std::vector<bool> chosen(total, false);
    Rng rng(seed ^ kSelectionStream);
    for (std::size_t j = total - n; j < total; ++j) {
      const auto t = static_cast<std::size_t>(uniform_below(rng, std::uint64_t{j} + 1));
      chosen[chosen[t] ? j : t] = true;
    }
    out.reserve(n);
    std::size_t flat = 0;
    for (std::size_t c = 0; c < draws_per_chain.size(); ++c) {
      for (std::size_t d = 0; d < draws_per_chain[c]; ++d, ++flat) {
        if (chosen[flat]) out.push_back(DrawRef{c, d});
      }
    }
    return out;
  }
  out.reserve(total);
  for (std::size_t c = 0; c < draws_per_chain.size(); ++c) {
    for (std::size_t d = 0; d < draws_per_chain[c]; ++d) out.push_back(DrawRef{c, d});
  }
  return out;
}

std::vector<PredictiveArray> posterior_predictive(
    const Graph& graph, const std::vector<std::vector<std::vector<double>>>& samples,
    const std::vector<std::string>& likelihood_names, std::optional<std::size_t> n_samples,
    std::uint64_t seed) {
  const std::vector<ObsPredictor> predictors = graph.normal_obs_predictors();
  if (predictors.size() != likelihood_names.size()) {
    internal_error("the graph has " + std::to_string(predictors.size()) +
                   " normal likelihoods but " + std::to_string(likelihood_names.size()) +
                   " likelihood names");
  }
  if (graph.transforms.size() != graph.n_params) {
    internal_error("the graph has " + std::to_string(graph.n_params) + " coordinates but " +
                   std::to_string(graph.transforms.size()) + " transforms");
  }

  std::vector<std::size_t> draws_per_chain;
  draws_per_chain.reserve(samples.size());
  for (const auto& chain : samples) draws_per_chain.push_back(chain.size());
  const std::vector<DrawRef> used = select_draws(draws_per_chain, n_samples, seed);

  std::vector<PredictiveArray> out(predictors.size());
  for (std::size_t k = 0; k < predictors.size(); ++k) {
    out[k].name = likelihood_names[k];
    out[k].rows = used.size();
    out[k].cols = predictors[k].n_obs;
    out[k].values.reserve(used.size() * predictors[k].n_obs);
  }
  if (used.empty()) return out;

  Rng rng(seed);
  Evaluator ev(graph);
  std::vector<double> u(graph.n_params);
  for (const DrawRef& ref : used) {
    const std::vector<double>& x = samples[ref.chain][ref.draw];
    if (x.size() != graph.n_params) {
      internal_error("a stored draw has " + std::to_string(x.size()) + " values for " +
                     std::to_string(graph.n_params) + " coordinates");
    }
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = unconstrain(graph.transforms[i], x[i]);
    ev.compute(graph, u);
    for (std::size_t k = 0; k < predictors.size(); ++k) {
      const ObsPredictor& p = predictors[k];
      const double sigma = likelihood_sigma(ev.values[p.sigma], likelihood_names[k], [&] {
        return "at draw " + std::to_string(ref.draw) + " of chain " + std::to_string(ref.chain);
      });
      std::vector<double>& dst = out[k].values;
      for (std::size_t i = 0; i < p.n_obs; ++i) {
        const double mu = ev.vec_elem(p.mu, i, graph);
        // + 0.0 turns a -0.0 noise term into +0.0.
        dst.push_back(mu + (rng.normal() * sigma + 0.0));
      }
    }
  }
  return out;
}

}  // namespace vorpex
