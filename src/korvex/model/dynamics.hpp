#pragma once
// Rigid-body dynamics of a NativeBackend with a payload on the flange.
#include <array>

#include "korvex/model/native_backend.hpp"

namespace korvex::model {

//! The backend's inertias with the payload (I_total about its centre of mass F_x_Ctotal, in the
//! flange frame) added to joint 7.
std::array<LinkInertia, kJointCount> with_payload(const NativeBackend& model, const Mat3& I_total,
                                                  const Vec3& F_x_Ctotal, double m_total);

//! Joint torques for q, dq, ddq under gravity_earth (base frame) [N m].
Vec7 inverse_dynamics(const NativeBackend& model, const Vec7& q, const Vec7& dq, const Vec7& ddq,
                      const Vec3& gravity_earth, const Mat3& I_total, const Vec3& F_x_Ctotal, double m_total);

//! C(q, dq) dq = ID(q, dq, 0, g) - ID(q, 0, 0, g) [N m].
Vec7 coriolis(const NativeBackend& model, const Vec7& q, const Vec7& dq, const Mat3& I_total, const Vec3& F_x_Ctotal,
              const Vec3& gravity_earth, double m_total);

//! Torques that hold the arm against gravity_earth [N m].
Vec7 gravity(const NativeBackend& model, const Vec7& q, const Vec3& gravity_earth, const Vec3& F_x_Ctotal,
             double m_total);

//! Joint-space mass matrix, 7x7 column-major [kg m^2].
Mat7 mass_matrix(const NativeBackend& model, const Vec7& q, const Mat3& I_total, const Vec3& F_x_Ctotal,
                 double m_total);

}  // namespace korvex::model
