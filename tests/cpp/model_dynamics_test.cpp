#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <random>
#include <vector>

#include "korvex/model/dynamics.hpp"
#include "korvex/model/kinematics.hpp"

namespace korvex::model {
namespace {

using Vector7 = Eigen::Matrix<double, 7, 1>;
using Matrix7 = Eigen::Matrix<double, 7, 7>;

const NativeBackend& zk1() {
  static const NativeBackend model = NativeBackend::builtin_zk1();
  return model;
}

constexpr Vec3 kGravity{0.0, 0.0, -9.81};
constexpr Vec3 kNoGravity{};
constexpr Mat3 kNoInertia{};
constexpr Vec3 kOrigin{};

// No payload, and a payload off the flange axis.
struct Payload {
  Mat3 I_total;
  Vec3 F_x_Ctotal;
  double m_total;
};
const Payload kPayloads[] = {
    {kNoInertia, kOrigin, 0.0},
    {{0.02, 0.001, -0.003, 0.001, 0.03, 0.002, -0.003, 0.002, 0.01}, {0.03, -0.05, 0.08}, 1.7},
};

struct Sample {
  Vec7 q, dq, ddq;
};

std::vector<Sample> samples(int count) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> angle(-2.8, 2.8), rate(-2.0, 2.0);
  std::vector<Sample> out(count);
  for (auto& s : out) {
    for (std::size_t k = 0; k < kJointCount; ++k) s.q[k] = angle(rng), s.dq[k] = rate(rng), s.ddq[k] = rate(rng);
  }
  return out;
}

Vector7 vec(const Vec7& v) { return Eigen::Map<const Vector7>(v.data()); }
Matrix7 mat(const Mat7& m) { return Eigen::Map<const Matrix7>(m.data()); }

TEST(ModelDynamics, ZeroCases) {
  const NativeBackend& m = zk1();
  for (const Payload& p : kPayloads) {
    for (const Sample& s : samples(4)) {
      EXPECT_EQ(m.coriolis(s.q, Vec7{}, p.I_total, p.F_x_Ctotal, kGravity, p.m_total), Vec7{});
      EXPECT_EQ(m.gravity(s.q, kNoGravity, p.F_x_Ctotal, p.m_total), Vec7{});
    }
  }
}

TEST(ModelDynamics, GravityIsInverseDynamicsAtRest) {
  const NativeBackend& m = zk1();
  for (const Payload& p : kPayloads) {
    for (const Sample& s : samples(4)) {
      EXPECT_EQ(inverse_dynamics(m, s.q, Vec7{}, Vec7{}, kGravity, p.I_total, p.F_x_Ctotal, p.m_total),
                m.gravity(s.q, kGravity, p.F_x_Ctotal, p.m_total));
    }
  }
}

TEST(ModelDynamics, MassMatrix) {
  const NativeBackend& m = zk1();
  for (const Payload& p : kPayloads) {
    for (const Sample& s : samples(8)) {
      const Matrix7 M = mat(m.mass(s.q, p.I_total, p.F_x_Ctotal, p.m_total));
      EXPECT_EQ(M, M.transpose());
      EXPECT_EQ(Eigen::LLT<Matrix7>(M).info(), Eigen::Success);
      // Composite rigid body result against Newton-Euler without gravity and velocity.
      const Vector7 tau = vec(inverse_dynamics(m, s.q, Vec7{}, s.ddq, kNoGravity, p.I_total, p.F_x_Ctotal, p.m_total));
      EXPECT_LT((M * vec(s.ddq) - tau).cwiseAbs().maxCoeff(), 1e-13);
      // With gravity on: M a = ID(q, 0, a, g) - g(q).
      const Vector7 with_g = vec(inverse_dynamics(m, s.q, Vec7{}, s.ddq, kGravity, p.I_total, p.F_x_Ctotal, p.m_total));
      const Vector7 g = vec(m.gravity(s.q, kGravity, p.F_x_Ctotal, p.m_total));
      EXPECT_LT((M * vec(s.ddq) - (with_g - g)).cwiseAbs().maxCoeff(), 1e-12);
    }
  }
}

TEST(ModelDynamics, EquationOfMotionSplits) {
  const NativeBackend& m = zk1();
  for (const Payload& p : kPayloads) {
    for (const Sample& s : samples(6)) {
      const Vector7 full = vec(inverse_dynamics(m, s.q, s.dq, s.ddq, kGravity, p.I_total, p.F_x_Ctotal, p.m_total));
      const Vector7 parts = mat(m.mass(s.q, p.I_total, p.F_x_Ctotal, p.m_total)) * vec(s.ddq) +
                            vec(m.coriolis(s.q, s.dq, p.I_total, p.F_x_Ctotal, kGravity, p.m_total)) +
                            vec(m.gravity(s.q, kGravity, p.F_x_Ctotal, p.m_total));
      EXPECT_LT((full - parts).cwiseAbs().maxCoeff(), 1e-12);
    }
  }
}

TEST(ModelDynamics, CoriolisIdentities) {
  const NativeBackend& m = zk1();
  for (const Payload& p : kPayloads) {
    for (const Sample& s : samples(6)) {
      const Vector7 c = vec(m.coriolis(s.q, s.dq, p.I_total, p.F_x_Ctotal, kGravity, p.m_total));
      // Quadratic in dq, and independent of gravity.
      Vec7 twice = s.dq;
      for (double& x : twice) x *= 2.0;
      EXPECT_LT((vec(m.coriolis(s.q, twice, p.I_total, p.F_x_Ctotal, kGravity, p.m_total)) - 4.0 * c)
                    .cwiseAbs().maxCoeff(), 1e-12);
      EXPECT_LT((vec(m.coriolis(s.q, s.dq, p.I_total, p.F_x_Ctotal, kNoGravity, p.m_total)) - c)
                    .cwiseAbs().maxCoeff(), 1e-12);
      // Power balance: dq . C(q, dq) dq = dq . dM/dt dq / 2, dM/dt by central differences along dq.
      constexpr double h = 1e-6;
      Vec7 plus = s.q, minus = s.q;
      for (std::size_t k = 0; k < kJointCount; ++k) plus[k] += h * s.dq[k], minus[k] -= h * s.dq[k];
      const Matrix7 dM = (mat(m.mass(plus, p.I_total, p.F_x_Ctotal, p.m_total)) -
                          mat(m.mass(minus, p.I_total, p.F_x_Ctotal, p.m_total))) / (2 * h);
      const Vector7 dq = vec(s.dq);
      EXPECT_NEAR(dq.dot(c), 0.5 * dq.dot(dM * dq), 1e-7);
      // C = (dM/dt) dq - d/dq (dq' M dq / 2) holds component-wise: check it joint by joint.
      Vector7 dT;
      for (std::size_t k = 0; k < kJointCount; ++k) {
        Vec7 a = s.q, b = s.q;
        a[k] += h;
        b[k] -= h;
        dT[k] = 0.5 * dq.dot((mat(m.mass(a, p.I_total, p.F_x_Ctotal, p.m_total)) -
                              mat(m.mass(b, p.I_total, p.F_x_Ctotal, p.m_total))) / (2 * h) * dq);
      }
      EXPECT_LT((c - (dM * dq - dT)).cwiseAbs().maxCoeff(), 1e-7);
    }
  }
}

TEST(ModelDynamics, PayloadActsAsPointMassOnGravity) {
  const NativeBackend& m = zk1();
  const Vec3 c{0.04, -0.03, 0.12};
  const double mass = 2.5;
  for (const Sample& s : samples(5)) {
    const Vector7 change = vec(m.gravity(s.q, kGravity, c, mass)) - vec(m.gravity(s.q, kGravity, kOrigin, 0.0));
    // Holding a point mass at c needs J_c^T (-m g).
    Pose at_c = kIdentityPose;
    std::copy(c.begin(), c.end(), at_c.begin() + 12);
    const Jacobian J = m.ee_zero_jacobian(s.q, at_c);
    const Eigen::Matrix<double, 3, 7> Jv = Eigen::Map<const Eigen::Matrix<double, 6, 7>>(J.data()).topRows<3>();
    const Vector7 expected = Jv.transpose() * (-mass * Eigen::Vector3d(kGravity.data()));
    EXPECT_LT((change - expected).cwiseAbs().maxCoeff(), 1e-13);
  }
}

TEST(ModelDynamics, PayloadInertiaIsUsedUnsymmetrised) {
  // Only I_total's (2, 1) element differs: the mass matrix sees it as written.
  const NativeBackend& m = zk1();
  Mat3 skewed = kPayloads[1].I_total;
  skewed[5] += 0.01;  // column 1, row 2
  const Sample s = samples(1)[0];
  const Matrix7 a = mat(m.mass(s.q, kPayloads[1].I_total, kPayloads[1].F_x_Ctotal, 1.7));
  const Matrix7 b = mat(m.mass(s.q, skewed, kPayloads[1].F_x_Ctotal, 1.7));
  EXPECT_GT((a - b).cwiseAbs().maxCoeff(), 1e-4);
}

}  // namespace
}  // namespace korvex::model
