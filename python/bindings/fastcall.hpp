#pragma once
// Methods called in tight Python loops, registered as vectorcall method descriptors: pybind11's
// dispatcher costs more than the computation behind them, keyword arguments most of all.
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

namespace korvex::python {

namespace py = pybind11;

//! Positional-or-keyword parameters of one method; the first `required` have no default.
template <std::size_t N>
struct Parameters {
  const char* method;
  std::array<const char*, N> names;
  std::size_t required;
};

//! The arguments of one vectorcall by parameter, null where absent; raises CPython's TypeErrors.
template <std::size_t N>
std::array<PyObject*, N> bind_arguments(const Parameters<N>& p, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  const auto method = [&p] { return std::string(p.method) + "()"; };
  if (static_cast<std::size_t>(nargs) > N)
    throw py::type_error(method() + " takes at most " + std::to_string(N) + (N == 1 ? " argument (" : " arguments (") + std::to_string(nargs) +
                         " given)");
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t i = 0;
    while (i < N && PyUnicode_CompareWithASCIIString(key, p.names[i]) != 0) ++i;
    if (i == N) throw py::type_error(method() + " got an unexpected keyword argument '" + py::str(key).cast<std::string>() + "'");
    if (slots[i] != nullptr) throw py::type_error(method() + " got multiple values for argument '" + p.names[i] + "'");
    slots[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < p.required; ++i)
    if (slots[i] == nullptr)
      throw py::type_error(method() + " missing required argument '" + p.names[i] + "' (pos " + std::to_string(i + 1) +
                           ")");
  return slots;
}

//! A METH_FASTCALL | METH_KEYWORDS function around `Body(self, args, nargs, kwnames) -> py::object`,
//! with C++ exceptions turned into Python ones as pybind11 does.
template <py::object (*Body)(py::handle, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* vectorcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return Body(self, args, nargs, kwnames).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

//! Adds the methods (a static table: the descriptors keep pointers into it) to `cls`.
template <std::size_t N>
void add_methods(py::handle cls, std::array<PyMethodDef, N>& methods) {
  for (PyMethodDef& def : methods) {
    auto descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def));
    if (!descr) throw py::error_already_set();
    if (PyObject_SetAttrString(cls.ptr(), def.ml_name, descr.ptr()) != 0) throw py::error_already_set();
  }
}

//! A method table entry for `vectorcall_method<Body>`.
template <py::object (*Body)(py::handle, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef fast_method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&vectorcall_method<Body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace korvex::python
