// Prior predictive draws: direct samplers of each prior, the position vector they make, and normal
// noise around the compiled model's likelihood means.
#include "prior_predictive.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "autodiff.hpp"
#include "errors.hpp"
#include "predictive.hpp"

namespace vorpex {

namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

[[noreturn]] void bad_prior_value(const std::string& prior, const char* arg, const char* need,
                                  double v, const std::string& note = {}) {
  throw UserError("Prior " + quoted(prior) + ": '" + arg + "' must be " + need + ", got " +
                  format_value(v) + note);
}

void require_positive_finite(const std::string& prior, const char* arg, double v) {
  if (!(v > 0.0) || !std::isfinite(v)) bad_prior_value(prior, arg, "positive and finite", v);
}

// The floored scale of a normal or half-normal prior; an infinite one admits no draw.
double normal_scale(const std::string& prior, const ResolvedScale& h) {
  const double s = floored_scale(h.sigma);
  if (std::isinf(s)) {
    bad_prior_value(prior, "sigma", "finite", h.sigma,
                    h.sigma_from ? " (the value drawn for " + quoted(*h.sigma_from) + ")"
                                 : std::string());
  }
  return s;
}

}  // namespace

double draw_prior_value(const PriorSpec& prior, const ResolvedScale& hypers, Rng& rng) {
  return std::visit(
      [&](const auto& p) -> double {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, prior::Normal>) {
          const double s = normal_scale(p.name, hypers);
          return hypers.mu + s * rng.normal();
        } else if constexpr (std::is_same_v<T, prior::HalfNormal>) {
          const double s = normal_scale(p.name, hypers);
          return std::max(std::fabs(s * rng.normal() + 0.0), kPredictiveFloor);
        } else if constexpr (std::is_same_v<T, prior::StudentT>) {
          // z * sqrt(nu / c) with c ~ chi-square(nu) is a standard Student-t variate.
          require_positive_finite(p.name, "nu", p.nu);
          if (!std::isfinite(p.sigma)) bad_prior_value(p.name, "sigma", "finite", p.sigma);
          const double z = rng.normal();
          double c = 0.0;
          if (p.nu == 1.0) {
            const double z2 = rng.normal();
            c = z2 * z2;
          } else {
            c = rng.chi_square(p.nu);
          }
          return p.mu + p.sigma * z * std::sqrt(p.nu / c);
        } else if constexpr (std::is_same_v<T, prior::Uniform>) {
          if (!(p.lower < p.upper)) {
            throw UserError("Prior " + quoted(p.name) +
                            ": 'lower' must be less than 'upper', got lower=" +
                            format_value(p.lower) + ", upper=" + format_value(p.upper));
          }
          const double width = p.upper - p.lower;
          if (!std::isfinite(width)) {
            throw UserError("Prior " + quoted(p.name) +
                            ": the width upper - lower must be finite, got lower=" +
                            format_value(p.lower) + ", upper=" + format_value(p.upper));
          }
          return p.lower + width * rng.uniform();
        } else if constexpr (std::is_same_v<T, prior::Bernoulli>) {
          return rng.uniform() < p.p ? 1.0 : 0.0;
        } else if constexpr (std::is_same_v<T, prior::Poisson>) {
          if (!(p.lam >= 0.0) || !std::isfinite(p.lam)) {
            bad_prior_value(p.name, "lam", "non-negative and finite", p.lam);
          }
          return rng.poisson(p.lam);
        } else if constexpr (std::is_same_v<T, prior::Gamma>) {
          // beta is a rate: the variate's scale is 1 / beta.
          require_positive_finite(p.name, "alpha", p.alpha);
          require_positive_finite(p.name, "beta", p.beta);
          const double g = rng.gamma(p.alpha, 1.0 / p.beta);
          return g >= kPredictiveFloor ? g : kPredictiveFloor;
        } else if constexpr (std::is_same_v<T, prior::Beta>) {
          require_positive_finite(p.name, "alpha", p.alpha);
          require_positive_finite(p.name, "beta", p.beta);
          return clamp_fraction(rng.beta(p.alpha, p.beta));
        } else {
          static_assert(std::is_same_v<T, prior::VectorNormal>);
          const double s = normal_scale(p.name, ResolvedScale{p.mu, p.sigma, nullptr});
          return p.mu + s * rng.normal();
        }
      },
      prior);
}

PriorDrawer::PriorDrawer(const std::vector<PriorSpec>& priors, const CompiledModel& model)
    : priors_(priors), graph_(model.graph), values_(priors.size(), 0.0) {
  if (model.priors.size() != priors.size()) {
    internal_error("the compiled model has " + std::to_string(model.priors.size()) +
                   " prior blocks for " + std::to_string(priors.size()) + " priors");
  }
  // A FromParam hyperparameter reads the latest scalar prior of that name declared before it,
  // as compilation resolved it: vector and widened priors are not scalar values.
  std::unordered_map<std::string, std::size_t> scalar_index;
  const auto source_of = [&](const Hyper& h) -> std::size_t {
    const auto* ref = std::get_if<hyper::FromParam>(&h);
    if (!ref) return npos;
    const auto it = scalar_index.find(ref->name);
    if (it == scalar_index.end()) {
      internal_error("hyperparameter '" + ref->name + "' has no scalar prior before it");
    }
    return it->second;
  };
  std::size_t next = 0;
  steps_.reserve(priors.size());
  for (std::size_t i = 0; i < priors.size(); ++i) {
    const PriorBlock& block = model.priors[i];
    if (block.start != next || block.start + block.count > graph_.n_params ||
        (!block.is_vector && block.count != 1)) {
      internal_error("prior blocks do not tile the position vector");
    }
    next += block.count;
    Step step{&priors[i], block, npos, npos};
    if (const auto* p = std::get_if<prior::Normal>(&priors[i])) {
      step.mu_source = source_of(p->mu);
      step.sigma_source = source_of(p->sigma);
    } else if (const auto* q = std::get_if<prior::HalfNormal>(&priors[i])) {
      step.sigma_source = source_of(q->sigma);
    }
    if (!block.is_vector) scalar_index[prior_name(priors[i])] = i;
    steps_.push_back(step);
  }
  if (next != graph_.n_params || graph_.transforms.size() != graph_.n_params) {
    internal_error("prior blocks do not tile the position vector");
  }
}

void PriorDrawer::draw(Rng& rng, std::vector<double>& u) {
  if (u.size() != graph_.n_params) internal_error("prior draw into a vector of the wrong size");
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    const Step& step = steps_[i];
    ResolvedScale h;
    if (const auto* p = std::get_if<prior::Normal>(step.prior)) {
      h.mu = step.mu_source == npos ? std::get<hyper::Fixed>(p->mu).value : values_[step.mu_source];
      if (step.sigma_source == npos) {
        h.sigma = std::get<hyper::Fixed>(p->sigma).value;
      } else {
        h.sigma = values_[step.sigma_source];
        h.sigma_from = &std::get<hyper::FromParam>(p->sigma).name;
      }
    } else if (const auto* q = std::get_if<prior::HalfNormal>(step.prior)) {
      if (step.sigma_source == npos) {
        h.sigma = std::get<hyper::Fixed>(q->sigma).value;
      } else {
        h.sigma = values_[step.sigma_source];
        h.sigma_from = &std::get<hyper::FromParam>(q->sigma).name;
      }
    }
    // A vector prior, or a scalar prior widened into a block by @, draws each coordinate from
    // the prior in turn.
    for (std::size_t j = 0; j < step.block.count; ++j) {
      const std::size_t c = step.block.start + j;
      const double x = draw_prior_value(*step.prior, h, rng);
      // Log-transformed draws are positive by construction (floored scales and variates).
      u[c] = unconstrain(graph_.transforms[c], x, LogFloor::Off);
    }
    // What later hyperparameters read is the parameter's value as the graph computes it.
    if (!step.block.is_vector) {
      values_[i] = constrain(graph_.transforms[step.block.start], u[step.block.start]);
    }
  }
}

namespace {

// n * m doubles, refused as an allocation failure when no vector can hold them (rather than
// wrapping around or failing with the library's length message).
std::size_t checked_product(std::size_t n, std::size_t m) {
  if (m != 0 && n > std::vector<double>().max_size() / m) throw std::bad_alloc();
  return n * m;
}

}  // namespace

PriorPredictive sample_prior_predictive(const std::vector<PriorSpec>& priors,
                                        const std::vector<LikelihoodSpec>& likelihoods,
                                        const BoundData& data, std::size_t n_samples,
                                        std::uint64_t seed) {
  const CompiledModel model = compile_model(priors, likelihoods, data, EntryPoint::PriorPredictive);
  const Graph& graph = model.graph;
  const std::vector<ObsPredictor> predictors = graph.normal_obs_predictors();
  if (predictors.size() != likelihoods.size()) {
    internal_error("the graph has " + std::to_string(predictors.size()) +
                   " normal observations for " + std::to_string(likelihoods.size()) +
                   " likelihoods");
  }

  PriorPredictive out;
  out.n_samples = n_samples;
  out.param_names = graph.param_names;
  out.params.resize(graph.n_params);
  for (auto& column : out.params) column.reserve(checked_product(n_samples, 1));
  for (std::size_t k = 0; k < likelihoods.size(); ++k) {
    out.likelihood_names.push_back(likelihoods[k].name);
    out.n_obs.push_back(predictors[k].n_obs);
    out.observations.emplace_back().reserve(checked_product(n_samples, predictors[k].n_obs));
  }

  if (graph.n_params == 0 && predictors.empty()) return out;  // nothing to draw or simulate

  PriorDrawer drawer(priors, model);
  Rng rng(seed);
  Evaluator evaluator(graph);
  std::vector<double> u(graph.n_params, 0.0);
  for (std::size_t s = 0; s < n_samples; ++s) {
    drawer.draw(rng, u);
    for (std::size_t i = 0; i < graph.n_params; ++i) {
      out.params[i].push_back(constrain(graph.transforms[i], u[i]));
    }
    if (predictors.empty()) continue;
    evaluator.compute(graph, u);  // only the node values are read, not the log density
    for (std::size_t k = 0; k < predictors.size(); ++k) {
      const ObsPredictor& pred = predictors[k];
      const double sigma = likelihood_sigma(evaluator.values[pred.sigma], likelihoods[k].name,
                                            [&] { return "at draw " + std::to_string(s); });
      std::vector<double>& obs = out.observations[k];
      for (std::size_t i = 0; i < pred.n_obs; ++i) {
        const double mu = evaluator.vec_elem(pred.mu, i, graph);
        obs.push_back(mu + (rng.normal() * sigma + 0.0));
      }
    }
  }
  return out;
}

}  // namespace vorpex
