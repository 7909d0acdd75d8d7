#include "korvex/robot/target_control/tuning/arm_limits.hpp"

#include <string>

#include "korvex/format.hpp"

namespace korvex {
namespace {

constexpr std::array<OtgLimits, 7> kZk2Table{{
    {2.62, 9.999, 4999.999},
    {2.62, 9.999, 4999.999},
    {2.62, 9.999, 4999.999},
    {2.62, 9.999, 4999.999},
    {5.26, 9.999, 4999.999},
    {4.18, 9.999, 4999.999},
    {5.26, 9.999, 4999.999},
}};

constexpr std::array<OtgLimits, 7> kZk1Table{{
    {2.129003, 14.999, 7499.999},
    {2.151503, 7.499, 3749.999},
    {2.144003, 9.999, 4999.999},
    {2.136503, 12.499, 6249.999},
    {2.564003, 14.999, 7499.999},
    {2.549003, 19.999, 9999.999},
    {2.549003, 19.999, 9999.999},
}};

constexpr JointRange kZk2Range{
    {-2.7501, -1.7918, -2.9065, -3.0481, -2.8101, 0.54092, -3.0196},
    {2.7501, 1.7918, 2.9065, -0.1458, 2.8101, 4.5205, 3.0196},
};

constexpr JointRange kZk1Range{
    {-2.8973, -1.7628, -2.8973, -3.0718, -2.8973, -0.0175, -2.8973},
    {2.8973, 1.7628, 2.8973, -0.0698, 2.8973, 3.7525, 2.8973},
};

}  // namespace

ArmModel arm_model_of_version(std::uint16_t kxp_version) {
  return kxp_version == 5 ? ArmModel::ZK1 : ArmModel::ZK2;
}

const std::array<OtgLimits, 7>& joint_limit_table(ArmModel model) {
  return model == ArmModel::ZK1 ? kZk1Table : kZk2Table;
}

std::array<OtgLimits, 7> joint_budget(ArmModel model, double fraction) {
  std::array<OtgLimits, 7> out = joint_limit_table(model);
  for (auto& l : out) {
    l.max_velocity *= fraction;
    l.max_acceleration *= fraction;
    l.max_jerk *= fraction;
  }
  return out;
}

const JointRange& joint_range(ArmModel model) { return model == ArmModel::ZK1 ? kZk1Range : kZk2Range; }

Status check_joint_configuration(std::string_view name, const std::array<double, 7>& q, double margin,
                                 ArmModel model) {
  const JointRange& range = joint_range(model);
  for (std::size_t i = 0; i < 7; ++i) {
    const double low = range.lower[i] + margin;
    const double high = range.upper[i] - margin;
    if (q[i] >= low && q[i] <= high) continue;
    return fail(Error::invalid_argument("target control: the " + std::string(name) + " puts joint " +
                                        std::to_string(i + 1) + " at " + fmt::number(q[i]) + " rad, outside [" +
                                        fmt::number(low) + ", " + fmt::number(high) + "] (" + fmt::number(margin) +
                                        " rad inside the arm's limits)"));
  }
  return {};
}

}  // namespace korvex
