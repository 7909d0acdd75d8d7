// Per-cycle cost of shaping one command of each kind, with filtering and rate limiting on.
#include <benchmark/benchmark.h>

#include "korvex/model/rotation.hpp"
#include "korvex/robot/shaping.hpp"

namespace korvex {
namespace {

RobotState moving_state() {
  RobotState s;
  s.O_T_EE_c = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.3, 0.0, 0.5, 1};
  s.q_d = {0, -0.3, 0, -2.0, 0, 1.9, 0.8};
  s.dq_d = {0.1, -0.05, 0.02, 0.1, 0, 0.03, -0.1};
  s.tau_J_d = {1, -2, 3, -4, 0.5, -0.6, 0.7};
  s.O_dP_EE_c = {0.05, 0, 0.01, 0, 0.1, 0};
  s.elbow_c = {0.1, 1};
  return s;
}

JointVelocityLimits limits() {
  JointVelocityLimits l;
  l.joints.fill({2.5, 0.1, 10.0, 2.8, -2.8});
  return l;
}

void BM_ShapeTorques(benchmark::State& bench) {
  const RobotState s = moving_state();
  CommandShaper shaper(10, limits(), 100, true);
  const Torques command{{1.2, -2.1, 3.05, -3.9, 0.52, -0.61, 0.69}, false};
  for (auto _ : bench) benchmark::DoNotOptimize(shaper.shape_torques(command, s));
}
BENCHMARK(BM_ShapeTorques);

void BM_ShapeJointPositions(benchmark::State& bench) {
  const RobotState s = moving_state();
  CommandShaper shaper(10, limits(), 100, true);
  JointPositions command{s.q_d, false};
  command.q[0] += 1e-4;
  for (auto _ : bench) benchmark::DoNotOptimize(shaper.shape_joint_positions(command, s));
}
BENCHMARK(BM_ShapeJointPositions);

void BM_ShapeCartesianPose(benchmark::State& bench) {
  const RobotState s = moving_state();
  CommandShaper shaper(10, limits(), 100, true);
  CartesianPose command{s.O_T_EE_c, Vec2{0.1, 1.0}, false};
  const Eigen::Matrix3d R = model::exp_rotation({0, 0, 1e-4});
  for (int c = 0; c < 3; ++c)
    for (int r = 0; r < 3; ++r) command.O_T_EE[static_cast<std::size_t>(4 * c + r)] = R(r, c);
  command.O_T_EE[12] += 5e-5;
  for (auto _ : bench) benchmark::DoNotOptimize(shaper.shape_cartesian_pose(command, s));
}
BENCHMARK(BM_ShapeCartesianPose);

}  // namespace
}  // namespace korvex
