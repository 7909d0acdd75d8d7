#include <benchmark/benchmark.h>

#include "korvex/model/dynamics.hpp"
#include "korvex/model/kinematics.hpp"

namespace korvex::model {
namespace {

const NativeBackend& zk1() {
  static const NativeBackend model = NativeBackend::builtin_zk1();
  return model;
}

constexpr Vec7 kQ{0.1, -0.4, 0.2, -2.1, 0.3, 1.7, 0.8};
constexpr Vec7 kDq{0.3, -0.2, 0.5, 0.1, -0.6, 0.4, 0.9};
constexpr Vec3 kGravity{0.0, 0.0, -9.81};
constexpr Mat3 kInertia{0.001, 0, 0, 0, 0.0025, 0, 0, 0, 0.0017};
constexpr Vec3 kCentre{0.01, 0.0, 0.03};
constexpr double kMass = 0.73;
const Pose kTool{0.7071067811865476, -0.7071067811865475, 0, 0, 0.7071067811865475, 0.7071067811865476, 0, 0,
                 0, 0, 1, 0, 0, 0, 0.1034, 1};

void BM_InverseDynamics(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(inverse_dynamics(zk1(), kQ, kDq, kDq, kGravity, kInertia, kCentre, kMass));
  }
}
BENCHMARK(BM_InverseDynamics);

void BM_Coriolis(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zk1().coriolis(kQ, kDq, kInertia, kCentre, kGravity, kMass));
}
BENCHMARK(BM_Coriolis);

void BM_Gravity(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zk1().gravity(kQ, kGravity, kCentre, kMass));
}
BENCHMARK(BM_Gravity);

void BM_MassMatrix(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zk1().mass(kQ, kInertia, kCentre, kMass));
}
BENCHMARK(BM_MassMatrix);

void BM_EePose(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zk1().ee_pose(kQ, kTool));
}
BENCHMARK(BM_EePose);

void BM_EeZeroJacobian(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(zk1().ee_zero_jacobian(kQ, kTool));
}
BENCHMARK(BM_EeZeroJacobian);

// One impedance controller cycle's model work.
void BM_ControllerCycle(benchmark::State& state) {
  const ModelBackend& model = zk1();
  for (auto _ : state) {
    benchmark::DoNotOptimize(model.ee_pose(kQ, kTool));
    benchmark::DoNotOptimize(model.ee_zero_jacobian(kQ, kTool));
    benchmark::DoNotOptimize(model.coriolis(kQ, kDq, kInertia, kCentre, kGravity, kMass));
  }
}
BENCHMARK(BM_ControllerCycle);

}  // namespace
}  // namespace korvex::model
