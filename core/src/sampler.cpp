// Multi-chain and batch drivers: chains as an indexed parallel map on the pool, the progress
// thread around them, and the draws mapped to the constrained scale afterwards.
#include "sampler.hpp"

#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "errors.hpp"
#include "hmc.hpp"
#include "nuts.hpp"
#include "pool.hpp"
#include "progress.hpp"
#include "random.hpp"

namespace vorpex {

namespace {

// chains * (draws + warmup), saturating instead of wrapping so the progress figures stay sane.
std::uint64_t total_iterations(std::uint64_t chains, std::uint64_t draws, std::uint64_t warmup) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t per_chain = draws > kMax - warmup ? kMax : draws + warmup;
  if (chains != 0 && per_chain > kMax / chains) return kMax;
  return chains * per_chain;
}

// Owns the progress thread for the length of a run. Finishing and joining also happen
// when a chain throws, so the thread never outlives the call (an unjoined std::thread would end
// the process).
class ProgressRun {
 public:
  ProgressRun(bool enabled, std::uint64_t n_chains, std::uint64_t total) {
    if (!enabled) return;
    state_ = std::make_shared<ProgressState>();
    state_->start = std::chrono::steady_clock::now();
    state_->total = total;
    state_->n_chains = n_chains;
    thread_ = spawn_progress_thread(state_);
  }
  ProgressRun(const ProgressRun&) = delete;
  ProgressRun& operator=(const ProgressRun&) = delete;
  ~ProgressRun() { finish(); }

  ProgressState* state() const { return state_.get(); }

  void finish() noexcept {
    if (state_) finish_progress(*state_);
    if (thread_.joinable()) {
      try {
        thread_.join();
      } catch (...) {
        // A failure of the progress thread never fails the run.
      }
    }
  }

 private:
  std::shared_ptr<ProgressState> state_;
  std::thread thread_;
};

// Maps each unconstrained draw to the constrained scale, in place.
void constrain_draws(std::vector<std::vector<double>>& draws, const Graph& graph) {
  const std::vector<Transform>& transforms = graph.transforms;
  for (std::vector<double>& draw : draws) {
    if (draw.size() != transforms.size()) {
      internal_error("a draw has " + std::to_string(draw.size()) + " coordinates but the model has " +
                     std::to_string(transforms.size()) + " transforms");
    }
    for (std::size_t j = 0; j < draw.size(); ++j) draw[j] = constrain(transforms[j], draw[j]);
  }
}

void check_names(const Graph& graph) {
  if (graph.param_names.size() != graph.transforms.size()) {
    internal_error("the model has " + std::to_string(graph.param_names.size()) +
                   " parameter names but " + std::to_string(graph.transforms.size()) +
                   " transforms");
  }
}

// Population moments per coordinate over the draws visited by `each_draw`, in that order.
template <class ForEachDraw>
std::pair<std::vector<double>, std::vector<double>> moments(std::size_t n_params,
                                                            ForEachDraw&& each_draw) {
  std::vector<double> sum(n_params, 0.0);
  std::uint64_t n = 0;
  each_draw([&](const std::vector<double>& draw) {
    for (std::size_t j = 0; j < n_params; ++j) sum[j] += j < draw.size() ? draw[j] : NAN;
    ++n;
  });
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (n == 0) return {std::vector<double>(n_params, nan), std::vector<double>(n_params, nan)};
  std::vector<double> mean(n_params);
  for (std::size_t j = 0; j < n_params; ++j) mean[j] = sum[j] / static_cast<double>(n);
  std::vector<double> sq(n_params, 0.0);
  each_draw([&](const std::vector<double>& draw) {
    for (std::size_t j = 0; j < n_params; ++j) {
      const double dev = (j < draw.size() ? draw[j] : NAN) - mean[j];
      sq[j] += dev * dev;
    }
  });
  std::vector<double> sd(n_params);
  for (std::size_t j = 0; j < n_params; ++j) sd[j] = std::sqrt(sq[j] / static_cast<double>(n));
  return {std::move(mean), std::move(sd)};
}

std::pair<std::vector<double>, std::vector<double>> sample_moments(const SampleResult& r) {
  return moments(r.param_names.size(), [&](auto&& visit) {
    for (const auto& chain : r.samples) {
      for (const auto& draw : chain) visit(draw);
    }
  });
}

std::pair<std::vector<double>, std::vector<double>> batch_moments(const BatchModelResult& r) {
  return moments(r.param_names.size(), [&](auto&& visit) {
    for (const auto& draw : r.samples) visit(draw);
  });
}

}  // namespace

std::vector<double> SampleResult::mean() const { return sample_moments(*this).first; }
std::vector<double> SampleResult::std() const { return sample_moments(*this).second; }
std::vector<double> BatchModelResult::mean() const { return batch_moments(*this).first; }
std::vector<double> BatchModelResult::std() const { return batch_moments(*this).second; }

SampleResult sample(Graph graph, const SampleOptions& options) {
  // Only effective before the pool first starts; a running pool keeps its size.
  if (options.threads > 0) pool::request_size(static_cast<std::size_t>(options.threads));

  check_names(graph);
  // Every chain reads the same graph; nothing writes it while they run.
  const auto shared = std::make_shared<const Graph>(std::move(graph));

  SampleResult result;
  result.param_names = shared->param_names;

  std::vector<ChainResult> chains;
  {
    ProgressRun progress(options.show_progress, options.chains,
                         total_iterations(options.chains, options.draws, options.warmup));
    ProgressState* state = progress.state();
    const bool nuts = options.sampler == SamplerKind::Nuts;
    const ChainConfig config{options.step_size,
                             nuts ? options.max_tree_depth : options.num_leapfrog_steps,
                             options.draws, options.warmup};
    // Each chain owns its generator, seeded from seed + c (wrapping), so what a chain draws does
    // not depend on which worker runs it or on how many workers there are.
    chains = pool::parallel_map<ChainResult>(
        static_cast<std::size_t>(options.chains), [&](std::size_t c) {
          Rng rng(options.seed + static_cast<std::uint64_t>(c));
          return nuts ? nuts::run_chain(*shared, config, rng, std::nullopt, state)
                      : hmc::run_chain(*shared, config, rng, std::nullopt, state);
        });
    progress.finish();
  }

  const std::size_t n = chains.size();
  result.samples.reserve(n);
  result.accept_rates.reserve(n);
  result.step_sizes.reserve(n);
  result.divergences.reserve(n);
  result.stats.reserve(n);
  for (ChainResult& chain : chains) {
    if (chain.stats.size() != chain.draws.size()) {
      internal_error("a chain recorded " + std::to_string(chain.draws.size()) + " draws but " +
                     std::to_string(chain.stats.size()) + " sets of statistics");
    }
    constrain_draws(chain.draws, *shared);
    result.samples.push_back(std::move(chain.draws));
    result.accept_rates.push_back(chain.accept_rate);
    result.step_sizes.push_back(chain.step_size);
    result.divergences.push_back(chain.divergences);
    result.stats.push_back(std::move(chain.stats));
  }
  return result;
}

std::vector<BatchModelResult> batch_sample(std::vector<Graph> models, std::uint64_t draws,
                                           std::uint64_t warmup, std::uint64_t seed,
                                           bool show_progress) {
  for (const Graph& g : models) check_names(g);
  const auto n_models = static_cast<std::uint64_t>(models.size());
  ProgressRun progress(show_progress, n_models, total_iterations(n_models, draws, warmup));
  ProgressState* state = progress.state();
  // Step size 0 always runs the initial search; small models get a depth limit of 8.
  const ChainConfig config{0.0, 8, draws, warmup};
  const std::vector<Graph>& graphs = models;
  std::vector<BatchModelResult> results = pool::parallel_map<BatchModelResult>(
      models.size(), [&](std::size_t k) {
        const Graph& graph = graphs[k];
        Rng rng(seed + static_cast<std::uint64_t>(k));
        ChainResult chain = nuts::run_chain(graph, config, rng, std::nullopt, state);
        if (chain.stats.size() != chain.draws.size()) {
          internal_error("a chain recorded " + std::to_string(chain.draws.size()) +
                         " draws but " + std::to_string(chain.stats.size()) +
                         " sets of statistics");
        }
        constrain_draws(chain.draws, graph);
        BatchModelResult r;
        r.samples = std::move(chain.draws);
        r.param_names = graph.param_names;
        r.accept_rate = chain.accept_rate;
        r.divergences = chain.divergences;
        r.stats = std::move(chain.stats);
        return r;
      });
  progress.finish();
  return results;
}

}  // namespace vorpex
