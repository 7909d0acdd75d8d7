#include "convert.hpp"

#include "register.hpp"

#include <cstring>

#include "korvex/robot/robot_impl/exception.hpp"
#include "korvex/wire/robot/move_status.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex::python {
namespace {

// Created once per process (the module supports one interpreter) and never freed.
PyObject* korvex_error = nullptr;
PyObject* control_exception = nullptr;

constexpr const char* kKorvexErrorDoc =
    "Any error of the library; `str(e)` is the library's own message and `e.kind` names the error "
    "variant.";
constexpr const char* kControlExceptionDoc =
    "A motion ended abnormally; `e.reason` is the reflex reason, `e.errors` its flag names.";

void set(py::handle obj, const char* name, py::handle value) {
  if (PyObject_SetAttrString(obj.ptr(), name, value.ptr()) != 0) throw py::error_already_set();
}

}  // namespace

void add_exceptions(py::module_& m) {
  if (korvex_error == nullptr) {
    korvex_error = PyErr_NewExceptionWithDoc("korvex.KorvexError", kKorvexErrorDoc, PyExc_Exception, nullptr);
    if (korvex_error == nullptr) throw py::error_already_set();
    control_exception =
        PyErr_NewExceptionWithDoc("korvex.ControlException", kControlExceptionDoc, korvex_error, nullptr);
    if (control_exception == nullptr) throw py::error_already_set();
  }
  m.add_object("KorvexError", py::handle(korvex_error));
  m.add_object("ControlException", py::handle(control_exception));
}

void raise_error(Error error) {
  const std::string_view key = kind_key(error.kind());
  const ControlException* control = error.control_exception();
  PyObject* type = control != nullptr ? control_exception : korvex_error;
  auto exc = py::reinterpret_steal<py::object>(PyObject_CallOneArg(type, text(error.message()).ptr()));
  if (!exc) throw py::error_already_set();
  if (control != nullptr) {
    set(exc, "reason", text(control->last_motion_errors.display()));
    set(exc, "errors", flag_names(control->last_motion_errors));
    if (control->move_status) {
      const std::string_view name = move_status_name(*control->move_status);
      set(exc, "move_status", py::str(name.data(), name.size()));
    } else {
      set(exc, "move_status", py::none());
    }
  }
  set(exc, "kind", py::str(key.data(), key.size()));
  PyErr_SetObject(type, exc.ptr());
  throw py::error_already_set();
}

py::list flag_names(const Errors& errors) {
  py::list names;
  for (std::size_t i = 0; i < Errors::kCount; ++i)
    if (errors.flags[i]) names.append(py::str(Errors::kNames[i].data(), Errors::kNames[i].size()));
  return names;
}

void forbid_instantiation(py::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_new = nullptr;
  type->tp_flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Modified(type);
}

py::array new_array(std::initializer_list<Py_intptr_t> shape) {
  auto& api = py::detail::npy_api::get();
  PyObject* descr = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_DOUBLE_);
  if (descr == nullptr) throw py::error_already_set();
  // NewFromDescr steals the descriptor; a null strides pointer means C order.
  PyObject* arr = api.PyArray_NewFromDescr_(api.PyArray_Type_, descr, static_cast<int>(shape.size()),
                                            const_cast<Py_intptr_t*>(shape.begin()), nullptr, nullptr, 0,
                                            nullptr);
  if (arr == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::array>(arr);
}

double* array_data(py::array& a) { return reinterpret_cast<double*>(py::detail::array_proxy(a.ptr())->data); }

py::array vector(const double* data, std::size_t n) {
  py::array out = new_array({static_cast<Py_intptr_t>(n)});
  std::memcpy(array_data(out), data, n * sizeof(double));
  return out;
}

py::array column_major(const double* data, std::size_t n) {
  const auto dim = static_cast<Py_intptr_t>(n);
  py::array out = new_array({dim, dim});
  double* dst = array_data(out);
  for (std::size_t r = 0; r < n; ++r)
    for (std::size_t c = 0; c < n; ++c) dst[r * n + c] = data[c * n + r];
  return out;
}

py::array row_major(const double* data, std::size_t rows, std::size_t cols) {
  py::array out = new_array({static_cast<Py_intptr_t>(rows), static_cast<Py_intptr_t>(cols)});
  std::memcpy(array_data(out), data, rows * cols * sizeof(double));
  return out;
}

py::str text(const std::string& s) {
  PyObject* out = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  if (out == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(out);
}

std::string length_message(std::size_t expected, std::size_t actual) {
  return "expected a sequence of length " + std::to_string(expected) + " (got " + std::to_string(actual) + ")";
}

}  // namespace korvex::python
