#include "korvex/model/dynamics.hpp"

#include <Eigen/Geometry>

#include "korvex/model/kinematics.hpp"

namespace korvex::model {
namespace {

using Transforms = std::array<RigidTransform, kJointCount>;
using Inertias = std::array<LinkInertia, kJointCount>;

// Recursive Newton-Euler (Luh, Walker, Paul 1980; Featherstone, Rigid Body Dynamics Algorithms,
// ch. 5): gravity enters as the base acceleration -g.
Vec7 rnea(const Transforms& X, const std::array<Eigen::Vector3d, kJointCount>& axes, const Inertias& inertias,
          const Vec7& dq, const Vec7& ddq, const Vec3& g) {
  std::array<Eigen::Vector3d, kJointCount> f, n;
  Eigen::Vector3d w = Eigen::Vector3d::Zero();
  Eigen::Vector3d dw = Eigen::Vector3d::Zero();
  Eigen::Vector3d a(-g[0], -g[1], -g[2]);
  for (std::size_t k = 0; k < kJointCount; ++k) {
    const Eigen::Matrix3d Rt = X[k].R.transpose();
    const Eigen::Vector3d& p = X[k].p;
    const Eigen::Vector3d wdq = axes[k] * dq[k];
    const Eigen::Vector3d w_k = Rt * w + wdq;
    const Eigen::Vector3d dw_k = Rt * dw + w_k.cross(wdq) + axes[k] * ddq[k];
    const Eigen::Vector3d a_k = Rt * (a + dw.cross(p) + w.cross(w.cross(p)));
    w = w_k;
    dw = dw_k;
    a = a_k;

    const LinkInertia& body = inertias[k];
    f[k] = body.mass * a + dw.cross(body.h) + w.cross(w.cross(body.h));
    n[k] = body.I * dw + w.cross(body.I * w) + body.h.cross(a);
  }

  Vec7 tau;
  Eigen::Vector3d F = Eigen::Vector3d::Zero();
  Eigen::Vector3d N = Eigen::Vector3d::Zero();
  for (std::size_t k = kJointCount; k-- > 0;) {
    if (k + 1 < kJointCount) {
      const RigidTransform& next = X[k + 1];
      const Eigen::Vector3d RF = next.R * F;
      N = n[k] + next.R * N + next.p.cross(RF);
      F = f[k] + RF;
    } else {
      N = n[k];
      F = f[k];
    }
    tau[k] = axes[k].dot(N);
  }
  return tau;
}

}  // namespace

Inertias with_payload(const NativeBackend& model, const Mat3& I_total, const Vec3& F_x_Ctotal, double m_total) {
  Inertias inertias = model.inertias();
  const Eigen::Vector3d c(F_x_Ctotal[0], F_x_Ctotal[1], F_x_Ctotal[2]);
  LinkInertia payload;
  payload.mass = m_total;
  payload.h = m_total * c;
  payload.I = Eigen::Map<const Eigen::Matrix3d>(I_total.data());  // column-major, used unsymmetrised
  // - m [c]x [c]x = m (|c|^2 I - c c^T)
  payload.I -= m_total * (c * c.transpose());
  payload.I.diagonal().array() += m_total * c.squaredNorm();
  inertias[kJointCount - 1] = inertias[kJointCount - 1] + payload.moved(model.flange());
  return inertias;
}

Vec7 inverse_dynamics(const NativeBackend& model, const Vec7& q, const Vec7& dq, const Vec7& ddq,
                      const Vec3& gravity_earth, const Mat3& I_total, const Vec3& F_x_Ctotal, double m_total) {
  return rnea(local_transforms(model, q), model.axes(), with_payload(model, I_total, F_x_Ctotal, m_total), dq, ddq,
              gravity_earth);
}

Vec7 coriolis(const NativeBackend& model, const Vec7& q, const Vec7& dq, const Mat3& I_total, const Vec3& F_x_Ctotal,
              const Vec3& gravity_earth, double m_total) {
  // Both evaluations see the same transforms and payload, so the gravity terms cancel exactly.
  const Transforms X = local_transforms(model, q);
  const Inertias inertias = with_payload(model, I_total, F_x_Ctotal, m_total);
  constexpr Vec7 zero{};
  const Vec7 moving = rnea(X, model.axes(), inertias, dq, zero, gravity_earth);
  const Vec7 still = rnea(X, model.axes(), inertias, zero, zero, gravity_earth);
  Vec7 tau;
  for (std::size_t k = 0; k < kJointCount; ++k) tau[k] = moving[k] - still[k];
  return tau;
}

Vec7 gravity(const NativeBackend& model, const Vec7& q, const Vec3& gravity_earth, const Vec3& F_x_Ctotal,
             double m_total) {
  constexpr Mat3 no_rotational_inertia{};
  constexpr Vec7 zero{};
  return rnea(local_transforms(model, q), model.axes(), with_payload(model, no_rotational_inertia, F_x_Ctotal, m_total),
              zero, zero, gravity_earth);
}

// Composite rigid body algorithm (Featherstone, Rigid Body Dynamics Algorithms, ch. 6).
Mat7 mass_matrix(const NativeBackend& model, const Vec7& q, const Mat3& I_total, const Vec3& F_x_Ctotal,
                 double m_total) {
  const Transforms X = local_transforms(model, q);
  const auto& axes = model.axes();
  Inertias C = with_payload(model, I_total, F_x_Ctotal, m_total);
  for (std::size_t k = kJointCount - 1; k-- > 0;) C[k] = C[k] + C[k + 1].moved(X[k + 1]);

  Mat7 M;
  for (std::size_t i = 0; i < kJointCount; ++i) {
    const Eigen::Vector3d& a = axes[i];
    Eigen::Vector3d F = a.cross(C[i].h);
    Eigen::Vector3d N = C[i].I * a;
    M[i * kJointCount + i] = a.dot(N);
    for (std::size_t j = i; j-- > 0;) {
      F = X[j + 1].R * F;
      N = X[j + 1].R * N + X[j + 1].p.cross(F);
      const double m = axes[j].dot(N);
      M[i * kJointCount + j] = m;
      M[j * kJointCount + i] = m;
    }
  }
  return M;
}

}  // namespace korvex::model
