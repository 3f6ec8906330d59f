// Model declarations: hyperparameters, priors, likelihoods, mean expressions and the builder record.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "data.hpp"

namespace vorpex {

// Owning pointer with value semantics: copying it copies the pointee, so a tree of Boxes is
// always deep-copied and never shared.
template <class T>
class Box {
 public:
  explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  const T& operator*() const { return *ptr_; }
  const T* operator->() const { return ptr_.get(); }

 private:
  std::unique_ptr<T> ptr_;
};

// The value of a hyperparameter: a fixed number or the name of another scalar parameter.
namespace hyper {
struct Fixed { double value; };
struct FromParam { std::string name; };
}  // namespace hyper
using Hyper = std::variant<hyper::Fixed, hyper::FromParam>;

// Mean expressions of a normal likelihood. Nodes record names only; compilation resolves them.
struct MuExpr;
namespace mu {
struct ParamTimesData { std::string param; std::string data_key; };
struct Sum { Box<MuExpr> left; Box<MuExpr> right; };
struct ParamTerm { std::string param; };
struct MatrixTimesParam { std::string param; std::string matrix_key; };
}  // namespace mu

struct MuExpr {
  std::variant<mu::ParamTimesData, mu::Sum, mu::ParamTerm, mu::MatrixTimesParam> node;
  // Nesting depth (1 for a leaf). Copying, destroying and compiling a tree recurse once per
  // level, so the operators refuse trees deeper than kMaxMuExprDepth to keep the stack bounded.
  std::size_t depth = 1;
};

inline constexpr std::size_t kMaxMuExprDepth = 10000;

MuExpr param_times_data(std::string param, std::string data_key);
MuExpr param_term(std::string param);
MuExpr matrix_times_param(std::string param, std::string matrix_key);
// Throws UserError when the result would be nested deeper than kMaxMuExprDepth.
MuExpr sum(MuExpr left, MuExpr right);

// True when every leaf is a ParamTerm: the mean is one value for all observations.
bool is_scalar(const MuExpr& expr);

// One declared prior. Every variant starts with the parameter's name.
namespace prior {
struct Normal { std::string name; Hyper mu; Hyper sigma; };
struct HalfNormal { std::string name; Hyper sigma; };
struct StudentT { std::string name; double nu; double mu; double sigma; };
struct Uniform { std::string name; double lower; double upper; };
struct Bernoulli { std::string name; double p; };
struct Poisson { std::string name; double lam; };
struct Gamma { std::string name; double alpha; double beta; };
struct Beta { std::string name; double alpha; double beta; };
struct VectorNormal { std::string name; std::size_t n; double mu; double sigma; };
}  // namespace prior
using PriorSpec = std::variant<prior::Normal, prior::HalfNormal, prior::StudentT, prior::Uniform,
                               prior::Bernoulli, prior::Poisson, prior::Gamma, prior::Beta,
                               prior::VectorNormal>;

const std::string& prior_name(const PriorSpec& prior);

struct LikelihoodSpec {
  std::string name;
  MuExpr mu_expr;
  Hyper sigma;
  std::string observed_key;
};

// A frozen model: what build() hands out and what every entry point compiles.
struct ModelSpec {
  std::vector<PriorSpec> priors;
  std::vector<LikelihoodSpec> likelihoods;
  BoundData data;
};

// The mutable builder behind the Python ModelBuilder. Declarations only append.
struct ModelBuilder {
  std::vector<PriorSpec> priors;
  std::vector<LikelihoodSpec> likelihoods;
  BoundData data;

  void add_prior(PriorSpec prior) { priors.push_back(std::move(prior)); }
  // Checks the keys against the bound data when there is any (check_likelihood_keys), then
  // appends; on failure the builder is unchanged.
  void add_likelihood(LikelihoodSpec likelihood);
  ModelSpec build() const { return ModelSpec{priors, likelihoods, data}; }
};

}  // namespace vorpex
