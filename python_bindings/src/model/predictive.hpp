// Pieces shared by the prior and posterior predictive draws: the inverse transform with clamped
// edges and the noise scale of a normal likelihood.
#pragma once

#include <cmath>
#include <string>

#include "compile.hpp"
#include "errors.hpp"
#include "graph.hpp"

namespace vorpex {

// The smallest scale a predictive draw uses, and how far fractions stay from 0 and 1.
inline constexpr double kPredictiveFloor = 1e-12;

// q clamped into [1e-12, 1 - 1e-12], so that its logit is finite; NaN stays NaN.
double clamp_fraction(double q);

// |v| floored at 1e-12; NaN gives the floor, so a degenerate scale still gives finite noise.
double floored_scale(double v);

// Whether `unconstrain` raises a Log-transformed value to 1e-12 before taking its log.
enum class LogFloor { On, Off };

// Inverse of `constrain`: the coordinate u whose constrained value is x. Logit and Interval
// clamp the unit-scaled value into [1e-12, 1 - 1e-12] first, so edge values map to finite u.
// Log gives log(max(x, 1e-12)) with LogFloor::On, and log(x) as it is with LogFloor::Off (for
// values positive by construction).
double unconstrain(const Transform& t, double x, LogFloor log_floor = LogFloor::On);

// The noise scale of a normal likelihood whose sigma evaluated to v: floored_scale(v). An
// infinite v admits no draw: throws UserError "Likelihood '<name>': 'sigma' must be finite, got
// <v> <where>", calling `where()` (say "at draw 3") only then.
template <class Where>
double likelihood_sigma(double v, const std::string& likelihood, Where&& where) {
  const double sigma = floored_scale(v);
  if (std::isinf(sigma)) {
    throw UserError("Likelihood '" + likelihood + "': 'sigma' must be finite, got " +
                    format_value(v) + " " + where());
  }
  return sigma;
}

}  // namespace vorpex
