// Pieces shared by the prior and posterior predictive draws: clamped fractions, floored scales
// and the inverse transform.
#include "predictive.hpp"

#include <algorithm>

namespace vorpex {

namespace {

constexpr double kFractionHigh = 0.999999999999;  // 1 - 1e-12, the upper clamp of a fraction

double logit(double q) { return std::log(q / (1.0 - q)); }

}  // namespace

double clamp_fraction(double q) { return std::clamp(q, kPredictiveFloor, kFractionHigh); }

double floored_scale(double v) {
  const double a = std::fabs(v);
  return a >= kPredictiveFloor ? a : kPredictiveFloor;
}

double unconstrain(const Transform& t, double x, LogFloor log_floor) {
  switch (t.kind) {
    case TransformKind::Identity:
      return x;
    case TransformKind::Log:
      return std::log(log_floor == LogFloor::On ? std::max(x, kPredictiveFloor) : x);
    case TransformKind::Logit:
      return logit(clamp_fraction(x));
    case TransformKind::Interval:
      return logit(clamp_fraction((x - t.lo) / (t.hi - t.lo)));
  }
  internal_error("unknown transform kind");
}

}  // namespace vorpex
