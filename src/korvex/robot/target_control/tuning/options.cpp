#include "korvex/robot/target_control/tuning/options.hpp"

#include <cmath>
#include <span>

#include "korvex/format.hpp"

namespace korvex {
namespace {

// `Name { a: 1.0, b: [1.0, 2.0] }`: the record form shared by every message.
class Record {
 public:
  explicit Record(std::string_view name) : text_(name) { text_ += " { "; }
  Record& number(std::string_view field, double x) { return raw(field, fmt::list_number(x)); }
  Record& count(std::string_view field, std::uint64_t n) { return raw(field, std::to_string(n)); }
  Record& list(std::string_view field, std::span<const double> xs) { return raw(field, fmt::list(xs)); }
  std::string done() { return std::move(text_) + " }"; }

 private:
  Record& raw(std::string_view field, const std::string& value) {
    if (!first_) text_ += ", ";
    first_ = false;
    text_ += field;
    text_ += ": ";
    text_ += value;
    return *this;
  }
  std::string text_;
  bool first_ = true;
};

bool finite_positive(double x) { return std::isfinite(x) && x > 0; }

}  // namespace

bool OtgLimits::valid() const {
  return finite_positive(max_velocity) && finite_positive(max_acceleration) && finite_positive(max_jerk);
}

ImpedanceGains ImpedanceGains::scaled(double s) {
  const double r = s / 750;
  const double q = std::sqrt(r);
  ImpedanceGains g = CARTESIAN;
  g.cartesian_stiffness = {s, s, s, 15 * r, 15 * r, 15 * r};
  g.cartesian_damping = {50 * q, 50 * q, 90 * q, 2 * q, 2 * q, 2 * q};
  return g;
}

ImpedanceOptions ImpedanceOptions::joint_defaults() { return ImpedanceOptions{}; }

ImpedanceOptions ImpedanceOptions::cartesian_defaults() {
  ImpedanceOptions o;
  o.gains = ImpedanceGains::CARTESIAN;
  return o;
}

std::string field_form(const OtgLimits& l) {
  return Record("OtgLimits")
      .number("max_velocity", l.max_velocity)
      .number("max_acceleration", l.max_acceleration)
      .number("max_jerk", l.max_jerk)
      .done();
}

std::string field_form(const ImpedanceGains& g) {
  return Record("ImpedanceGains")
      .list("cartesian_stiffness", g.cartesian_stiffness)
      .list("cartesian_damping", g.cartesian_damping)
      .list("joint_stiffness", g.joint_stiffness)
      .list("joint_damping", g.joint_damping)
      .done();
}

std::string field_form(const Leash& l) {
  return Record("Leash").number("translation", l.translation).number("rotation", l.rotation).number("joint", l.joint).done();
}

std::string field_form(const Settle& s) {
  return Record("Settle").number("tolerance", s.tolerance).count("cycles", s.cycles).done();
}

std::string field_form(const IkOptions& ik) {
  return Record("IkOptions")
      .number("damping", ik.damping)
      .number("nullspace_gain", ik.nullspace_gain)
      .count("iterations", ik.iterations)
      .number("tolerance", ik.tolerance)
      .number("rotation_weight", ik.rotation_weight)
      .done();
}

}  // namespace korvex
