#include "korvex/robot/target_control/otg.hpp"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "korvex/format.hpp"
#include "korvex/model/rotation.hpp"
#include "korvex/robot/target_control/tuning/validate.hpp"

namespace korvex {
namespace {

struct Kinematic {
  double p, v, a;

  void advance(double jerk, double tau) {
    const double tau2 = tau * tau;
    p += v * tau + a * tau2 / 2 + jerk * tau2 * tau / 6;
    v += a * tau + jerk * tau2 / 2;
    a += jerk * tau;
  }
};

bool all_finite(std::span<const double> xs) {
  return std::all_of(xs.begin(), xs.end(), [](double x) { return std::isfinite(x); });
}

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

double OtgProfile::duration() const {
  double t = 0;
  for (const OtgPhase& ph : phases) t += ph.duration;
  return t;
}

namespace {

// Two lanes side by side: the searches are bound by divisions and roots, which the processor
// performs on both lanes of a vector for the price of one. Every operation is the same IEEE
// operation in either width, so a lane computes bit for bit what the scalar code computes.
using Pair = double __attribute__((vector_size(16)));
using PairMask = decltype(Pair{} < Pair{});

constexpr double kSignBit = -0.0;

template <class T>
T splat(double x) {
  if constexpr (std::is_same_v<T, double>) {
    return x;
  } else {
    return T{x, x};
  }
}

double pick(bool c, double a, double b) { return c ? a : b; }
Pair pick(PairMask c, Pair a, Pair b) {
#if defined(__SSE2__)
  // Spelled out: left to itself the compiler turns the choice into conditional moves lane by lane.
  const __m128d m = __m128d(c);
  return Pair(_mm_or_pd(_mm_and_pd(m, __m128d(a)), _mm_andnot_pd(m, __m128d(b))));
#else
  return Pair(((PairMask)a & c) | ((PairMask)b & ~c));
#endif
}

// std::max(x, 0.0) = (x < 0 ? 0 : x) and std::min(x, limit) = (limit < x ? limit : x), NaN and
// signed zeros included; maxpd/minpd with these operand orders are exactly that.
double max0(double x) { return std::max(x, 0.0); }
double min_of(double x, double limit) { return std::min(x, limit); }
Pair max0(Pair x) {
#if defined(__SSE2__)
  return Pair(_mm_max_pd(__m128d(Pair{}), __m128d(x)));
#else
  return pick(x < Pair{}, Pair{}, x);
#endif
}
Pair min_of(Pair x, Pair limit) {
#if defined(__SSE2__)
  return Pair(_mm_min_pd(__m128d(limit), __m128d(x)));
#else
  return pick(limit < x, limit, x);
#endif
}

double magnitude(double x) { return std::fabs(x); }
Pair magnitude(Pair x) { return Pair((PairMask)x & ~(PairMask)splat<Pair>(kSignBit)); }

// -0 counts as negative, so the choice is never "no direction".
double sign_of(double x) { return std::copysign(1.0, x); }
Pair sign_of(Pair x) { return Pair(((PairMask)x & (PairMask)splat<Pair>(kSignBit)) | (PairMask)splat<Pair>(1)); }

double root(double x) { return std::sqrt(x); }
Pair root(Pair x) {
#if defined(__SSE2__)
  return Pair(_mm_sqrt_pd(__m128d(x)));
#else
  return Pair{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

bool any(PairMask m) { return (m[0] | m[1]) != 0; }

bool all(bool m) { return m; }
bool all(PairMask m) { return (m[0] & m[1]) != 0; }

// Constant-jerk integration, p += v·τ + a·τ²/2 + j·τ³/6 etc., term by term in that order.
template <class T>
[[gnu::always_inline]] inline void advance(T& p, T& v, T& a, T jerk, T tau) {
  const T tau2 = tau * tau;
  p += v * tau + a * tau2 / 2 + jerk * tau2 * tau / 6;
  v += a * tau + jerk * tau2 / 2;
  a += jerk * tau;
}
// Jerk zero: 0·τ²·τ is ±0 or NaN, which /6 leaves as it is.
template <class T>
[[gnu::always_inline]] inline void coast(T& p, T& v, T& a, T tau) {
  const T zero = splat<T>(0);
  const T tau2 = tau * tau;
  p += v * tau + a * tau2 / 2 + zero * tau2 * tau;
  v += a * tau + zero * tau2 / 2;
  a += zero * tau;
}

// What a profile needs of its axis, with the terms that do not depend on the cruise velocity.
// A ramp between zero and the acceleration limit lasts A/J whatever the cruise velocity; with the
// peak at the limit, phase 1 depends only on its direction. Jerk terms of ±J differ only in sign.
template <class T>
struct AxisTerms {
  T p0, v0, a0, target, J, A;
  T limit;       // A, or NaN (matching no peak) for a limit that is not positive
  T twice_J;     // 2J
  T settle;      // a0|a0|/(2J): velocity gained while the acceleration returns to zero
  T a0_squared;  // f² (f = ±a0)
  T half_a0_squared;
  T ramp, ramp_squared, ramp_cubic, ramp_square, ramp_linear;  // A/J; J·τ³/6, J·τ²/2, J·τ of it
  T peak_offset;  // (2A² - f²)/(2J)
  T stop_offset;  // A²/J
  T rise_t1, rise_p, rise_v, rise_a;  // phase 1 and the state after it, upwards (e = +1)
  T fall_t1, fall_p, fall_v, fall_a;  // the same downwards
};

template <class X>
auto fields_of(X& x) {
  return std::tie(x.p0, x.v0, x.a0, x.target, x.J, x.A, x.limit, x.twice_J, x.settle, x.a0_squared,
                  x.half_a0_squared, x.ramp, x.ramp_squared, x.ramp_cubic, x.ramp_square, x.ramp_linear,
                  x.peak_offset, x.stop_offset, x.rise_t1, x.rise_p, x.rise_v, x.rise_a, x.fall_t1, x.fall_p,
                  x.fall_v, x.fall_a);
}

AxisTerms<double> terms_of(const OtgAxis& x) {
  AxisTerms<double> c;
  c.p0 = x.position;
  c.v0 = x.velocity;
  c.a0 = x.acceleration;
  c.target = x.target;
  c.J = x.max_jerk;
  c.A = x.max_acceleration;
  c.limit = c.A > 0 ? c.A : std::numeric_limits<double>::quiet_NaN();
  c.twice_J = 2 * c.J;
  c.settle = c.a0 * std::fabs(c.a0) / c.twice_J;
  c.a0_squared = c.a0 * c.a0;
  c.half_a0_squared = c.a0_squared / 2;
  c.ramp = c.A / c.J;
  c.ramp_squared = c.ramp * c.ramp;
  c.ramp_cubic = c.J * c.ramp_squared * c.ramp / 6;
  c.ramp_square = c.J * c.ramp_squared / 2;
  c.ramp_linear = c.J * c.ramp;
  c.peak_offset = (2 * c.A * c.A - c.a0_squared) / c.twice_J;
  c.stop_offset = c.A * c.A / c.J;
  for (const double e : {1.0, -1.0}) {
    const double t1 = max0((c.A - e * c.a0) / c.J);
    double p = c.p0, v = c.v0, a = c.a0;
    advance(p, v, a, e * c.J, t1);
    (e > 0 ? std::tie(c.rise_t1, c.rise_p, c.rise_v, c.rise_a) : std::tie(c.fall_t1, c.fall_p, c.fall_v, c.fall_a)) =
        std::tie(t1, p, v, a);
  }
  return c;
}

AxisTerms<Pair> pair_of(const AxisTerms<double>& a, const AxisTerms<double>& b) {
  AxisTerms<Pair> c;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    auto out = fields_of(c);
    const auto left = fields_of(a), right = fields_of(b);
    ((std::get<I>(out) = Pair{std::get<I>(left), std::get<I>(right)}), ...);
  }(std::make_index_sequence<std::tuple_size_v<decltype(fields_of(c))>>{});
  return c;
}

// Phases 1-3 and 5-7 for cruise velocity vc and the position where they end.
template <class T>
struct Shape {
  T e, s;
  T t1, t2, t3, t5, t6;  // t7 = t5
  T end;
};

template <class T>
[[gnu::always_inline]] inline Shape<T> shape_of(const AxisTerms<T>& x, T vc) {
  const T zero = splat<T>(0);
  Shape<T> sh;
  // v0 -> vc: e is the direction still needed after bringing a0 to zero at full jerk.
  const T delta = vc - x.v0;
  sh.e = sign_of(delta - x.settle);
  const T f = sh.e * x.a0;
  const T g = sh.e * delta;
  const T h = min_of(root(max0(x.J * g + x.half_a0_squared)), x.A);
  // vc -> 0 from zero acceleration.
  sh.s = sign_of(-vc);
  const T speed = magnitude(vc);
  const T w = min_of(root(max0(x.J * speed)), x.A);
  T p, v, a;
  if (all(h == x.limit)) {
    const auto rise = sh.e > zero;
    sh.t1 = pick(rise, x.rise_t1, x.fall_t1);
    p = pick(rise, x.rise_p, x.fall_p);
    v = pick(rise, x.rise_v, x.fall_v);
    a = pick(rise, x.rise_a, x.fall_a);
    sh.t2 = max0((g - x.peak_offset) / x.A);
    sh.t3 = x.ramp;
    coast(p, v, a, sh.t2);
    const T back = -sh.e;
    p += v * x.ramp + a * x.ramp_squared / 2 + back * x.ramp_cubic;
    v += a * x.ramp + back * x.ramp_square;
    a += back * x.ramp_linear;
  } else {
    sh.t1 = max0((h - f) / x.J);
    sh.t2 = pick(h > zero, max0((g - (splat<T>(2) * h * h - x.a0_squared) / x.twice_J) / h), zero);
    sh.t3 = h / x.J;
    p = x.p0, v = x.v0, a = x.a0;
    const T up = sh.e * x.J;
    advance(p, v, a, up, sh.t1);
    coast(p, v, a, sh.t2);
    advance(p, v, a, -up, sh.t3);
  }
  // Phases 5 and 7 last equally long with opposite jerks: their jerk terms differ only in sign.
  T tau, tau2, cubic, square, linear;
  if (all(w == x.limit)) {
    sh.t5 = tau = x.ramp;
    tau2 = x.ramp_squared;
    sh.t6 = max0((speed - x.stop_offset) / x.A);
    cubic = sh.s * x.ramp_cubic, square = sh.s * x.ramp_square, linear = sh.s * x.ramp_linear;
  } else {
    sh.t5 = tau = w / x.J;
    tau2 = tau * tau;
    sh.t6 = pick(w > zero, max0((speed - w * w / x.J) / w), zero);
    const T down = sh.s * x.J;
    cubic = down * tau2 * tau / 6, square = down * tau2 / 2, linear = down * tau;
  }
  p += v * tau + a * tau2 / 2 + cubic;
  v += a * tau + square;
  a += linear;
  coast(p, v, a, sh.t6);
  p += v * tau + a * tau2 / 2 + -cubic;
  sh.end = p;
  return sh;
}

template <class T>
[[gnu::always_inline]] inline T cruise_of(T vc, T shortfall) {
  const auto cruising = (vc != splat<T>(0)) & (magnitude(shortfall) >= splat<T>(1e-9));
  return pick(cruising, max0(shortfall / vc), splat<T>(0));
}

template <class T>
[[gnu::always_inline]] inline T duration_of(const Shape<T>& sh, T cruise) {
  T t = splat<T>(0);
  for (T d : {sh.t1, sh.t2, sh.t3, cruise, sh.t5, sh.t6, sh.t5}) t += d;
  return t;
}

template <class T>
Shape<double> lane(const Shape<T>& sh, int i) {
  if constexpr (std::is_same_v<T, double>) {
    return sh;
  } else {
    return {sh.e[i], sh.s[i], sh.t1[i], sh.t2[i], sh.t3[i], sh.t5[i], sh.t6[i], sh.end[i]};
  }
}

OtgProfile profile_from(const AxisTerms<double>& x, double vc, const Shape<double>& sh) {
  OtgProfile pr;
  pr.cruise_velocity = vc;
  pr.shortfall = x.target - sh.end;
  const double J = x.J;
  pr.phases = {{{sh.e * J, sh.t1},
                {0, sh.t2},
                {-sh.e * J, sh.t3},
                {0, cruise_of(vc, pr.shortfall)},
                {sh.s * J, sh.t5},
                {0, sh.t6},
                {-sh.s * J, sh.t5}}};
  return pr;
}

constexpr std::size_t kMaxAxes = 7;

// A shape wanted for the axis with the given terms and the cruise velocity vc.
struct Query {
  const AxisTerms<double>* axis;
  double vc;
};

// Shapes of all queries, two at a time.
template <std::size_t Capacity>
void shapes_of(std::span<const Query> queries, std::array<Shape<double>, Capacity>& out) {
  std::size_t i = 0;
  for (; i + 1 < queries.size(); i += 2) {
    const Query& a = queries[i];
    const Query& b = queries[i + 1];
    const Shape<Pair> sh = shape_of(pair_of(*a.axis, *b.axis), Pair{a.vc, b.vc});
    out[i] = lane(sh, 0);
    out[i + 1] = lane(sh, 1);
  }
  if (i < queries.size()) out[i] = shape_of(*queries[i].axis, queries[i].vc);
}

// Sign changes of the shortfall, bisected two at a time. A job narrows [lo, hi] while it is wider
// than its tolerance; `sign_lo` is the sign (±1) of the shortfall at lo.
struct BisectionPair {
  AxisTerms<Pair> axis;
  Pair lo, hi, tolerance, sign_lo;
  bool done = false;
};

void run_bisections(std::span<BisectionPair> pairs) {
  const Pair infinite = splat<Pair>(kInf);
  // Halving 2V down to 1e-10 V takes 35 steps; the cap only guards subnormal limits.
  for (int n = 0; n < 200; ++n) {
    bool moved = false;
    for (BisectionPair& b : pairs) {
      if (b.done) continue;
      const PairMask wide = b.hi - b.lo > b.tolerance;
      const Pair mid = (b.lo + b.hi) / 2;
      const PairMask inside = (mid > b.lo) & (mid < b.hi);
      // A midpoint that is no longer strictly inside ends the job as if the tolerance were met.
      b.tolerance = pick(wide & ~inside, infinite, b.tolerance);
      const PairMask move = wide & inside;
      if (!any(move)) {
        b.done = true;  // neither lane can move again
        continue;
      }
      moved = true;
      const PairMask same = sign_of(b.axis.target - shape_of(b.axis, mid).end) == b.sign_lo;
      b.lo = pick(move & same, mid, b.lo);
      b.hi = pick(move & ~same, mid, b.hi);
    }
    if (!moved) break;
  }
}

// Fastest profile of every axis; up to four bisections per axis, all run together.
void plan_time_optimal(std::span<const OtgAxis> axes, std::span<OtgProfile> profiles) {
  std::array<AxisTerms<double>, kMaxAxes> terms;
  std::array<std::size_t, kMaxAxes> moving;  // axes not at rest on their target
  std::size_t count = 0;
  for (std::size_t i = 0; i < axes.size(); ++i) {
    const OtgAxis& x = axes[i];
    profiles[i] = {};
    if (x.position == x.target && x.velocity == 0 && x.acceleration == 0) continue;
    terms[i] = terms_of(x);
    moving[count++] = i;
  }
  if (count == 0) return;

  // Full speed either way first: one of them usually neither overshoots nor falls short.
  std::array<Query, 2 * kMaxAxes> queries;
  std::array<Shape<double>, 3 * kMaxAxes> shapes;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = moving[k];
    queries[2 * k] = {&terms[i], axes[i].max_velocity};
    queries[2 * k + 1] = {&terms[i], -axes[i].max_velocity};
  }
  shapes_of(std::span(queries.data(), 2 * count), shapes);
  std::array<std::size_t, kMaxAxes> searched;
  std::array<bool, kMaxAxes> negative_at_top;
  std::size_t searches = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t i = moving[k];
    const double V = axes[i].max_velocity;
    profiles[i] = profile_from(terms[i], V, shapes[2 * k]);
    if (profiles[i].shortfall >= 0) continue;
    const bool top = std::signbit(profiles[i].shortfall);
    profiles[i] = profile_from(terms[i], -V, shapes[2 * k + 1]);
    if (profiles[i].shortfall <= 0) continue;
    negative_at_top[searches] = top;
    searched[searches++] = i;
  }
  if (searches == 0) return;

  // Between consecutive breakpoints the shortfall changes sign at most once.
  std::array<std::array<double, 5>, kMaxAxes> breaks;
  std::array<Query, 3 * kMaxAxes> inner;
  for (std::size_t k = 0; k < searches; ++k) {
    const std::size_t i = searched[k];
    const AxisTerms<double>& c = terms[i];
    const double V = axes[i].max_velocity;
    const double vb = c.v0 + c.settle;
    const double K = c.A * c.A / c.J;
    breaks[k] = {-V, std::clamp(vb - K, -V, V), std::clamp(vb, -V, V), std::clamp(vb + K, -V, V), V};
    for (std::size_t b = 0; b < 3; ++b) inner[3 * k + b] = {&c, breaks[k][b + 1]};
  }
  shapes_of(std::span(inner.data(), 3 * searches), shapes);

  struct Job {
    std::size_t axis;
    double lo, hi, tolerance, sign_lo;
  };
  std::array<Job, 4 * kMaxAxes> jobs;
  std::size_t job_count = 0;
  for (std::size_t k = 0; k < searches; ++k) {
    const std::size_t i = searched[k];
    std::array<bool, 5> negative{std::signbit(profiles[i].shortfall), false, false, false, negative_at_top[k]};
    for (std::size_t b = 1; b < 4; ++b) negative[b] = std::signbit(terms[i].target - shapes[3 * k + b - 1].end);
    for (std::size_t b = 0; b < 4; ++b) {
      if (!(breaks[k][b] < breaks[k][b + 1]) || negative[b] == negative[b + 1]) continue;
      jobs[job_count++] = {i, breaks[k][b], breaks[k][b + 1], 1e-10 * axes[i].max_velocity, negative[b] ? -1.0 : 1.0};
    }
  }
  if (job_count == 0) return;  // the profile for -V stands

  std::array<BisectionPair, 2 * kMaxAxes> pairs;
  const std::size_t pair_count = (job_count + 1) / 2;
  for (std::size_t p = 0; p < pair_count; ++p) {
    const Job& a = jobs[2 * p];
    const Job& b = jobs[std::min(2 * p + 1, job_count - 1)];  // an odd one out runs twice
    pairs[p] = {pair_of(terms[a.axis], terms[b.axis]), Pair{a.lo, b.lo}, Pair{a.hi, b.hi},
                Pair{a.tolerance, b.tolerance}, Pair{a.sign_lo, b.sign_lo}};
  }
  run_bisections(std::span(pairs.data(), pair_count));

  // The candidate of each interval is its last midpoint; the shortest wins, an earlier one a tie.
  std::array<Query, 4 * kMaxAxes> mids;
  for (std::size_t j = 0; j < job_count; ++j) {
    const BisectionPair& p = pairs[j / 2];
    mids[j] = {&terms[jobs[j].axis], (p.lo[j % 2] + p.hi[j % 2]) / 2};
  }
  std::array<Shape<double>, 4 * kMaxAxes> mid_shapes;
  shapes_of(std::span(mids.data(), job_count), mid_shapes);
  for (std::size_t j = 0; j < job_count; ++j) {
    const std::size_t i = jobs[j].axis;
    const OtgProfile candidate = profile_from(terms[i], mids[j].vc, mid_shapes[j]);
    const bool first = j == 0 || jobs[j - 1].axis != i;
    if (first || candidate.duration() < profiles[i].duration()) profiles[i] = candidate;
  }
}

// Slowing the cruise of a profile by a factor in [lo, hi], two axes at a time.
struct StretchPair {
  AxisTerms<Pair> axis;
  Pair vc, duration, lo, hi;
};

// The profile for factor·vc still reaches the target and lasts at least the duration.
[[gnu::always_inline]] inline PairMask acceptable(const StretchPair& s, Pair factor) {
  const Pair vc = factor * s.vc;
  const Shape<Pair> sh = shape_of(s.axis, vc);
  const Pair shortfall = s.axis.target - sh.end;
  return (s.vc * shortfall >= splat<Pair>(0)) & (duration_of(sh, cruise_of(vc, shortfall)) >= s.duration);
}

// Stretches every profile (other than those with zero cruise or already long enough) to `duration`.
void stretch_all(std::span<const OtgAxis> axes, std::span<OtgProfile> profiles, double duration) {
  std::array<AxisTerms<double>, kMaxAxes> terms;
  std::array<std::size_t, kMaxAxes> slowed;
  std::size_t count = 0;
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (profiles[i].cruise_velocity == 0 || !(duration > profiles[i].duration())) continue;
    terms[i] = terms_of(axes[i]);
    slowed[count++] = i;
  }
  if (count == 0) return;
  std::array<StretchPair, (kMaxAxes + 1) / 2> pairs;
  const std::size_t pair_count = (count + 1) / 2;
  for (std::size_t p = 0; p < pair_count; ++p) {
    const std::size_t a = slowed[2 * p], b = slowed[std::min(2 * p + 1, count - 1)];
    pairs[p] = {pair_of(terms[a], terms[b]), Pair{profiles[a].cruise_velocity, profiles[b].cruise_velocity},
                splat<Pair>(duration), splat<Pair>(1e-9), splat<Pair>(1)};
  }
  // Even the slowest cruise may not last long enough; such a profile stays as it is.
  std::array<bool, kMaxAxes> stretches{};
  for (std::size_t p = 0; p < pair_count; ++p) {
    const PairMask ok = acceptable(pairs[p], pairs[p].lo);
    stretches[2 * p] = ok[0] != 0;
    if (2 * p + 1 < count) stretches[2 * p + 1] = ok[1] != 0;
  }
  for (int n = 0; n < 40; ++n) {
    for (std::size_t p = 0; p < pair_count; ++p) {
      StretchPair& s = pairs[p];
      const Pair mid = (s.lo + s.hi) / 2;
      const PairMask ok = acceptable(s, mid);
      s.lo = pick(ok, mid, s.lo);
      s.hi = pick(ok, s.hi, mid);
    }
  }
  std::array<Query, kMaxAxes> finals;
  std::array<std::size_t, kMaxAxes> owner;
  std::size_t final_count = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (!stretches[k]) continue;
    const std::size_t i = slowed[k];
    const double vc = profiles[i].cruise_velocity;
    finals[final_count] = {&terms[i], pairs[k / 2].lo[k % 2] * vc};
    owner[final_count++] = i;
  }
  std::array<Shape<double>, kMaxAxes> shapes;
  shapes_of(std::span(finals.data(), final_count), shapes);
  for (std::size_t k = 0; k < final_count; ++k)
    profiles[owner[k]] = profile_from(terms[owner[k]], finals[k].vc, shapes[k]);
}

}  // namespace

namespace otg {

OtgProfile profile_for_cruise(const OtgAxis& x, double vc) {
  const AxisTerms<double> c = terms_of(x);
  return profile_from(c, vc, shape_of(c, vc));
}

OtgProfile time_optimal_profile(const OtgAxis& x) {
  OtgProfile p;
  plan_time_optimal(std::span(&x, 1), std::span(&p, 1));
  return p;
}

OtgProfile stretch_profile(const OtgAxis& x, const OtgProfile& profile, double duration) {
  OtgProfile p = profile;
  stretch_all(std::span(&x, 1), std::span(&p, 1), duration);
  return p;
}

double evaluate(OtgAxis& x, const OtgProfile& profile, double dt) {
  if (!(std::isfinite(dt) && dt > 0)) return x.position;
  if (dt >= profile.duration()) {
    x.position = x.target;
    x.velocity = 0;
    x.acceleration = 0;
    return x.position;
  }
  Kinematic k{x.position, x.velocity, x.acceleration};
  double left = dt;
  for (const OtgPhase& ph : profile.phases) {
    const double tau = std::min(ph.duration, left);
    k.advance(ph.jerk, tau);
    left -= tau;
  }
  x.position = k.p;
  x.velocity = std::clamp(k.v, -x.max_velocity, x.max_velocity);
  x.acceleration = std::clamp(k.a, -x.max_acceleration, x.max_acceleration);
  return x.position;
}

}  // namespace otg

template <std::size_t N>
Result<Otg<N>> Otg<N>::create(const std::array<OtgLimits, N>& limits, const Vector& positions, bool synchronise) {
  Otg g;
  g.synchronise_ = synchronise;
  for (std::size_t i = 0; i < N; ++i) {
    if (!limits[i].valid() || !std::isfinite(positions[i])) return fail(otg_limits_error(limits[i], positions[i]));
    OtgAxis& a = g.axes_[i];
    a.max_velocity = limits[i].max_velocity;
    a.max_acceleration = limits[i].max_acceleration;
    a.max_jerk = limits[i].max_jerk;
    a.position = a.target = positions[i];
  }
  return g;
}

template <std::size_t N>
Status Otg<N>::set_limits(const std::array<OtgLimits, N>& limits)
  requires(N == 6)
{
  if (!std::all_of(limits.begin(), limits.end(), [](const OtgLimits& l) { return l.valid(); })) {
    std::string text = "[";
    for (std::size_t i = 0; i < N; ++i) text += (i ? ", " : "") + field_form(limits[i]);
    return fail(Error::invalid_argument("otg: limits must be finite and positive, got " + text + "]"));
  }
  for (std::size_t i = 0; i < N; ++i) {
    axes_[i].max_velocity = limits[i].max_velocity;
    axes_[i].max_acceleration = limits[i].max_acceleration;
    axes_[i].max_jerk = limits[i].max_jerk;
  }
  return {};
}

template <std::size_t N>
Status Otg<N>::set_state(const Vector& positions, const Vector& velocities, const Vector& accelerations) {
  if (!all_finite(positions) || !all_finite(velocities) || !all_finite(accelerations))
    return fail(Error::invalid_argument("otg: state must be finite, got " + fmt::list(positions) + ", " +
                                        fmt::list(velocities) + ", " + fmt::list(accelerations)));
  for (std::size_t i = 0; i < N; ++i) {
    OtgAxis& a = axes_[i];
    a.position = positions[i];
    a.velocity = std::clamp(velocities[i], -a.max_velocity, a.max_velocity);
    a.acceleration = std::clamp(accelerations[i], -a.max_acceleration, a.max_acceleration);
  }
  return {};
}

template <std::size_t N>
Status Otg<N>::set_targets(const Vector& targets) {
  if (!all_finite(targets))
    return fail(Error::invalid_argument("otg: target must be finite, got " + fmt::list(targets)));
  for (std::size_t i = 0; i < N; ++i) axes_[i].target = targets[i];
  return {};
}

template <std::size_t N>
typename Otg<N>::Vector Otg<N>::step(double dt) {
  static_assert(N <= kMaxAxes);
  if (!(std::isfinite(dt) && dt > 0)) return positions();
  std::array<OtgProfile, N> profiles;
  plan_time_optimal(axes_, profiles);
  double longest = 0;
  for (const OtgProfile& p : profiles) longest = std::max(longest, p.duration());
  if (synchronise_ && dt < longest) stretch_all(axes_, profiles, longest);
  Vector out;
  for (std::size_t i = 0; i < N; ++i) out[i] = otg::evaluate(axes_[i], profiles[i], dt);
  return out;
}

template class Otg<6>;
template class Otg<7>;

OtgCoordinates<7> joint_coordinates(const std::array<double, 7>& target, const std::array<double, 7>& reference) {
  return {reference, target};
}

OtgCoordinates<6> cartesian_coordinates(const std::array<double, 7>& target, const std::array<double, 7>& reference) {
  auto rotation = [](const std::array<double, 7>& pose) {
    return Eigen::Quaterniond(pose[6], pose[3], pose[4], pose[5]).normalized().toRotationMatrix();
  };
  const Eigen::Vector3d r = model::log_rotation(rotation(target) * rotation(reference).transpose());
  return {{reference[0], reference[1], reference[2], 0, 0, 0}, {target[0], target[1], target[2], r[0], r[1], r[2]}};
}

std::array<OtgLimits, 6> cartesian_axis_limits(const OtgLimits& translation, const OtgLimits& rotation) {
  constexpr double kInvSqrt3 = 0.5773502691896258;
  const double sqrt3 = std::sqrt(3.0);
  const OtgLimits t{translation.max_velocity * kInvSqrt3, translation.max_acceleration * kInvSqrt3,
                    translation.max_jerk * kInvSqrt3};
  const OtgLimits r{rotation.max_velocity * 0.99 / sqrt3, rotation.max_acceleration * 0.99 / sqrt3,
                    rotation.max_jerk * 0.99 / sqrt3};
  return {t, t, t, r, r, r};
}

}  // namespace korvex
