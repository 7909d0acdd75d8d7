#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

#include "korvex/model/builtin_zk1.hpp"
#include "korvex/model/dynamics.hpp"
#include "korvex/model/kinematics.hpp"
#include "support/allocations.hpp"

namespace korvex::model {
namespace {

// The control thread calls these every cycle: none may touch the heap.
TEST(ModelAllocation, CycleOperationsDoNotAllocate) {
  const NativeBackend model = NativeBackend::builtin_zk1();
  const ModelBackend& backend = model;
  const Vec7 q{0.1, -0.4, 0.2, -2.1, 0.3, 1.7, 0.8};
  const Mat3 I{0.001, 0, 0, 0, 0.002, 0, 0, 0, 0.003};
  const Vec3 c{0.0, 0.0, 0.05}, g{0.0, 0.0, -9.81};
  double sink = 0.0;

  const long before = korvex::testing::allocations();
  sink += backend.coriolis(q, q, I, c, g, 0.5)[0];
  sink += backend.gravity(q, g, c, 0.5)[1];
  sink += backend.mass(q, I, c, 0.5)[2];
  for (std::size_t f = 0; f < kFrameCount; ++f) {
    const Frame frame = static_cast<Frame>(f);
    sink += pose(model, frame, q, kIdentityPose, kIdentityPose)[12];
    sink += zero_jacobian(model, frame, q)[3];
    sink += body_jacobian(model, frame, q)[4];
  }
  sink += link_poses(model, q)[7][13] + hand_pose(model, q)[14];
  EXPECT_EQ(korvex::testing::allocations() - before, 0);
  EXPECT_TRUE(std::isfinite(sink));
  // The counter does see the heap.
  const auto probe = NativeBackend::from_urdf(builtin_zk1_urdf());
  EXPECT_GT(korvex::testing::allocations() - before, 0);
}

}  // namespace
}  // namespace korvex::model
