// Model: pure computations with the GIL held; every argument is converted first, then checked in order.
#include "model.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "arrays.hpp"
#include "convert.hpp"
#include "fastcall.hpp"
#include "korvex/format.hpp"
#include "korvex/model/dynamics.hpp"
#include "korvex/model/kinematics.hpp"
#include "register.hpp"

namespace korvex::python {
namespace {

using model::Frame;

constexpr Vec3 kDefaultGravity = {0.0, 0.0, -9.81};

// A frame argument after conversion: the text was a str; whether it names a frame is checked later.
struct FrameArg {
  py::handle text;
  std::optional<Frame> frame;
};

FrameArg read_frame(py::handle obj) {
  if (!PyUnicode_Check(obj.ptr()))
    raise_conversion_error("frame", std::string("'") + Py_TYPE(obj.ptr())->tp_name +
                                        "' object cannot be converted to 'PyString'");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (data == nullptr) {  // lone surrogates: no frame has them
    PyErr_Clear();
    return {obj, std::nullopt};
  }
  return {obj, model::frame_from_name(std::string_view(data, static_cast<std::size_t>(size)))};
}

std::string frame_names() {
  std::string out = "[";
  for (std::size_t i = 0; i < model::kFrameCount; ++i) {
    if (i > 0) out += ", ";
    out += fmt::quoted(model::kFrameNames[i]);
  }
  return out + "]";
}

Frame check_frame(const FrameArg& arg) {
  if (arg.frame) return *arg.frame;
  auto bytes = py::reinterpret_steal<py::bytes>(PyUnicode_AsEncodedString(arg.text.ptr(), "utf-8", "backslashreplace"));
  if (!bytes) throw py::error_already_set();
  throw py::value_error("korvex: frame must be one of " + frame_names() + ", got " +
                        fmt::quoted(std::string(bytes)));
}

// An optional argument: nothing when None.
std::optional<Numbers> read_optional(const char* name, py::handle obj, int depth) {
  if (obj.is_none()) return std::nullopt;
  std::optional<Numbers> out(std::in_place);
  read_numbers(name, obj, depth, *out);
  return out;
}

template <std::size_t N>
std::array<double, N> vector_or(const char* name, const std::optional<Numbers>& numbers,
                                const std::array<double, N>& absent) {
  return numbers ? vector_values<N>(name, *numbers) : absent;
}

template <std::size_t N>
std::array<double, N * N> matrix_or(const char* name, const std::optional<Numbers>& numbers,
                                    const std::array<double, N * N>& absent) {
  return numbers ? column_major_values<N>(name, *numbers) : absent;
}

// The converted and checked arguments of the frame methods.
struct FrameCall {
  Frame frame;
  Vec7 q;
  Pose F_T_EE;
  Pose EE_T_K;
};

FrameCall frame_call(py::handle frame, py::handle q, py::handle F_T_EE, py::handle EE_T_K) {
  const FrameArg f = read_frame(frame);
  Numbers q_numbers;
  read_numbers("q", q, 1, q_numbers);
  const auto f_t_ee = read_optional("F_T_EE", F_T_EE, 2);
  const auto ee_t_k = read_optional("EE_T_K", EE_T_K, 2);
  FrameCall call;
  call.frame = check_frame(f);
  call.q = vector_values<7>("q", q_numbers);
  call.F_T_EE = matrix_or<4>("F_T_EE", f_t_ee, model::kIdentityPose);
  call.EE_T_K = matrix_or<4>("EE_T_K", ee_t_k, model::kIdentityPose);
  return call;
}

Vec7 joint_vector(const char* name, py::handle obj) {
  Numbers numbers;
  read_numbers(name, obj, 1, numbers);
  return vector_values<7>(name, numbers);
}

py::array jacobian_array(const model::Jacobian& J) {
  py::array out = new_array({6, 7});
  double* dst = array_data(out);
  for (std::size_t i = 0; i < 6; ++i)
    for (std::size_t j = 0; j < 7; ++j) dst[i * 7 + j] = J[6 * j + i];
  return out;
}

void put_pose(double* dst, const Pose& p) {
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t c = 0; c < 4; ++c) dst[r * 4 + c] = p[c * 4 + r];
}

py::array pose_array(const Pose& p) {
  py::array out = new_array({4, 4});
  put_pose(array_data(out), p);
  return out;
}

constexpr const char* kClassDoc =
    "The kinematics and dynamics of the connected robot (`Robot.model()`), computed natively\n"
    "on both an ZK2 and an ZK1. Frames are `'joint1'..'joint7'`, `'flange'`, `'ee'` and\n"
    "`'stiffness'`; the optional transforms default to the identity (pass `state.F_T_EE`\n"
    "and `state.EE_T_K` for the mounted tool), the payload to nothing attached (pass\n"
    "`state.I_total`, `state.m_total`, `state.F_x_Ctotal`) and gravity to `(0, 0, -9.81)`.\n"
    "Jacobians are `(6, 7)`, linear rows first; poses `(4, 4)` as `RobotState.O_T_EE`.";

// Method bodies: bind, convert every argument, check in argument order, compute.

const ModelHandle& model_of(py::handle self) { return self.cast<const ModelHandle&>(); }

constexpr Parameters<4> kFrameParameters{"", {"frame", "q", "F_T_EE", "EE_T_K"}, 2};

template <class Compute>
py::object frame_method(const char* name, py::handle self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Compute compute) {
  Parameters<4> p = kFrameParameters;
  p.method = name;
  const auto a = bind_arguments(p, args, nargs, kwnames);
  const FrameCall c = frame_call(a[0], a[1], py::handle(a[2] ? a[2] : Py_None), py::handle(a[3] ? a[3] : Py_None));
  return compute(model_of(self).backend, c);
}

py::object pose_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return frame_method("pose", self, args, nargs, kwnames, [](const model::NativeBackend& b, const FrameCall& c) {
    return pose_array(model::pose(b, c.frame, c.q, c.F_T_EE, c.EE_T_K));
  });
}

py::object body_jacobian_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return frame_method("body_jacobian", self, args, nargs, kwnames,
                      [](const model::NativeBackend& b, const FrameCall& c) {
                        return jacobian_array(model::body_jacobian(b, c.frame, c.q, c.F_T_EE, c.EE_T_K));
                      });
}

py::object zero_jacobian_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return frame_method("zero_jacobian", self, args, nargs, kwnames,
                      [](const model::NativeBackend& b, const FrameCall& c) {
                        return jacobian_array(model::zero_jacobian(b, c.frame, c.q, c.F_T_EE, c.EE_T_K));
                      });
}

py::handle or_none(PyObject* arg) { return arg != nullptr ? arg : Py_None; }

// m_total may be omitted, but None is not a number.
double mass_argument(PyObject* arg) { return arg != nullptr ? read_double("m_total", arg) : 0.0; }

py::object mass_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Parameters<4> p{"mass", {"q", "I_total", "m_total", "F_x_Ctotal"}, 1};
  const auto a = bind_arguments(p, args, nargs, kwnames);
  Numbers q;
  read_numbers("q", a[0], 1, q);
  const auto inertia = read_optional("I_total", or_none(a[1]), 2);
  const double mass = mass_argument(a[2]);
  const auto centre = read_optional("F_x_Ctotal", or_none(a[3]), 1);
  const Vec7 qv = vector_values<7>("q", q);
  const Mat3 I = matrix_or<3>("I_total", inertia, Mat3{});
  const Vec3 c = vector_or<3>("F_x_Ctotal", centre, Vec3{});
  const model::Mat7 M = model::mass_matrix(model_of(self).backend, qv, I, c, mass);
  return column_major(M.data(), 7);
}

py::object coriolis_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Parameters<6> p{"coriolis", {"q", "dq", "I_total", "m_total", "F_x_Ctotal", "gravity_earth"}, 2};
  const auto a = bind_arguments(p, args, nargs, kwnames);
  Numbers q, dq;
  read_numbers("q", a[0], 1, q);
  read_numbers("dq", a[1], 1, dq);
  const auto inertia = read_optional("I_total", or_none(a[2]), 2);
  const double mass = mass_argument(a[3]);
  const auto centre = read_optional("F_x_Ctotal", or_none(a[4]), 1);
  const auto g = read_optional("gravity_earth", or_none(a[5]), 1);
  const Vec7 qv = vector_values<7>("q", q);
  const Vec7 dqv = vector_values<7>("dq", dq);
  const Mat3 I = matrix_or<3>("I_total", inertia, Mat3{});
  const Vec3 c = vector_or<3>("F_x_Ctotal", centre, Vec3{});
  const Vec3 gv = vector_or<3>("gravity_earth", g, kDefaultGravity);
  return vector(model::coriolis(model_of(self).backend, qv, dqv, I, c, gv, mass));
}

py::object gravity_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Parameters<4> p{"gravity", {"q", "m_total", "F_x_Ctotal", "gravity_earth"}, 1};
  const auto a = bind_arguments(p, args, nargs, kwnames);
  Numbers q;
  read_numbers("q", a[0], 1, q);
  const double mass = mass_argument(a[1]);
  const auto centre = read_optional("F_x_Ctotal", or_none(a[2]), 1);
  const auto g = read_optional("gravity_earth", or_none(a[3]), 1);
  const Vec7 qv = vector_values<7>("q", q);
  const Vec3 c = vector_or<3>("F_x_Ctotal", centre, Vec3{});
  const Vec3 gv = vector_or<3>("gravity_earth", g, kDefaultGravity);
  return vector(model::gravity(model_of(self).backend, qv, gv, c, mass));
}

py::object link_poses_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Parameters<1> p{"link_poses", {"q"}, 1};
  const auto a = bind_arguments(p, args, nargs, kwnames);
  const std::array<Pose, 8> poses = model::link_poses(model_of(self).backend, joint_vector("q", a[0]));
  py::array out = new_array({8, 4, 4});
  double* dst = array_data(out);
  for (const Pose& pose : poses) {
    put_pose(dst, pose);
    dst += 16;
  }
  return out;
}

py::object hand_pose_method(py::handle self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Parameters<1> p{"hand_pose", {"q"}, 1};
  const auto a = bind_arguments(p, args, nargs, kwnames);
  return pose_array(model::hand_pose(model_of(self).backend, joint_vector("q", a[0])));
}

std::array<PyMethodDef, 8> methods = {
    fast_method<&pose_method>("pose",
                              "pose($self, frame, q, F_T_EE=None, EE_T_K=None)\n--\n\n"
                              "Pose of `frame` in the base frame, `(4, 4)`."),
    fast_method<&body_jacobian_method>("body_jacobian",
                                       "body_jacobian($self, frame, q, F_T_EE=None, EE_T_K=None)\n--\n\n"
                                       "Body Jacobian of `frame`, `(6, 7)`, expressed in `frame` itself."),
    fast_method<&zero_jacobian_method>("zero_jacobian",
                                       "zero_jacobian($self, frame, q, F_T_EE=None, EE_T_K=None)\n--\n\n"
                                       "Zero Jacobian of `frame`, `(6, 7)`, expressed in the base frame."),
    fast_method<&mass_method>("mass",
                              "mass($self, q, I_total=None, m_total=0.0, F_x_Ctotal=None)\n--\n\n"
                              "Mass matrix, `(7, 7)`, kg m^2."),
    fast_method<&coriolis_method>(
        "coriolis",
        "coriolis($self, q, dq, I_total=None, m_total=0.0, F_x_Ctotal=None, gravity_earth=None)\n--\n\n"
        "Coriolis torques `C(q, dq) dq`, `(7,)`, Nm."),
    fast_method<&gravity_method>("gravity",
                                 "gravity($self, q, m_total=0.0, F_x_Ctotal=None, gravity_earth=None)\n--\n\n"
                                 "Gravity torques, `(7,)`, Nm."),
    fast_method<&link_poses_method>(
        "link_poses",
        "link_poses($self, q)\n--\n\n"
        "The frames korvex_description hangs `link0..link7`'s meshes on, `(8, 4, 4)`: the\n"
        "base (identity) and `joint1..joint7`."),
    fast_method<&hand_pose_method>(
        "hand_pose",
        "hand_pose($self, q)\n--\n\n"
        "The frame korvex_description hangs the hand mesh on: the flange yawed by -45 deg\n"
        "about its `z`, `(4, 4)`."),
};

}  // namespace

void add_model(py::module_& m) {
  py::class_<ModelHandle> cls(m, "Model", kClassDoc);
  forbid_instantiation(cls);
  add_methods(cls, methods);
  cls.def("__repr__", [](const ModelHandle&) { return "Model()"; }, "__repr__($self)\n--\n\n");
}


}  // namespace korvex::python
