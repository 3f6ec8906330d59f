// Compilation of a declared model and its data into one Graph.
#pragma once

#include <cstddef>
#include <vector>

#include "data.hpp"
#include "graph.hpp"
#include "spec.hpp"

namespace vorpex {

// Which entry point compiles: only the message for a missing observed column differs
// ("Missing observed data key: {}" for Sample, "Missing data key: {}" for the others).
enum class EntryPoint { Sample, BatchSample, PriorPredictive };

// Where one declared prior landed in the position vector.
struct PriorBlock {
  std::size_t start = 0;
  std::size_t count = 0;  // 1 for a scalar prior, n for a vector or widened one
  bool is_vector = false;  // a VectorNormal prior or a scalar prior widened by @
};

struct CompiledModel {
  Graph graph;
  std::vector<PriorBlock> priors;  // parallel to the declared priors
};

// Runs the whole compilation sequence over `data` (the model spec's bound data already overlaid with
// the call's data). Throws UserError with the first problem found, in this order: matrix keys
// of every likelihood, the priors in declaration order (names, impossible fixed values, scale
// references), each likelihood's mean, sigma and observed column (missing keys, non-finite
// values, vector lengths against matrix widths), and last the lengths of every column, observed
// vector and matrix against the model's observation count.
CompiledModel compile_model(const std::vector<PriorSpec>& priors,
                            const std::vector<LikelihoodSpec>& likelihoods,
                            const BoundData& data, EntryPoint entry);

inline CompiledModel compile_model(const ModelSpec& spec, const BoundData& data,
                                   EntryPoint entry) {
  return compile_model(spec.priors, spec.likelihoods, data, entry);
}

// The model spec's bound data overlaid with the call's data (either may be empty).
inline BoundData effective_data(const ModelSpec& spec, const BoundData& call_data) {
  return overlay(spec.data, call_data);
}

// The check sample() makes before compiling: a model with a likelihood needs some data.
// Throws "No data provided. Pass data= to sample() or bind it via ModelBuilder(data=...)."
void require_data(const ModelSpec& spec, const BoundData& effective);

// Python-style text of a double for messages: "1.0", "-0.5", "1e+300", "nan", "inf".
std::string format_value(double v);

}  // namespace vorpex
