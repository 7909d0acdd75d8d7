#pragma once
// Shared by every binding file: the error conversion, array helpers, fixed-length sequences.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "korvex/error.hpp"
#include "korvex/wire/robot/state.hpp"

namespace korvex::python {

namespace py = pybind11;

//! The one conversion of an error value into a Python exception; always throws.
[[noreturn]] void raise_error(Error error);

template <class T>
T unwrap(Result<T>&& result) {
  if (!result) raise_error(std::move(result.error()));
  return std::move(*result);
}

inline void unwrap(Status&& status) {
  if (!status) raise_error(std::move(status.error()));
}

//! Runs `f` with the interpreter lock released; the lock is back before the result is used.
template <class F>
auto without_gil(F&& f) {
  py::gil_scoped_release release;
  return std::forward<F>(f)();
}

//! Python code can no longer call the class; C++ still creates instances.
void forbid_instantiation(py::handle cls);

//! Calls `add` with the module's __name__ reading "korvex", so classes report that module.
template <class F>
void as_korvex(py::module_& m, F&& add) {
  py::object own_name = m.attr("__name__");
  m.attr("__name__") = "korvex";
  try {
    std::forward<F>(add)();
  } catch (...) {
    m.attr("__name__") = own_name;
    throw;
  }
  m.attr("__name__") = own_name;
}

//! A new C-contiguous float64 array of the given shape (1 to 3 dimensions).
py::array new_array(std::initializer_list<Py_intptr_t> shape);
double* array_data(py::array& a);

//! (n,) copy of n doubles.
py::array vector(const double* data, std::size_t n);
template <std::size_t N>
py::array vector(const std::array<double, N>& v) {
  return vector(v.data(), N);
}
//! (n, n) matrix of n*n doubles stored column-major: M[r, c] = data[c * n + r].
py::array column_major(const double* data, std::size_t n);
//! (rows, cols) matrix of doubles stored row by row.
py::array row_major(const double* data, std::size_t rows, std::size_t cols);

//! Names of the set flags, in the record's order.
py::list flag_names(const Errors& errors);

//! A Python text in UTF-8, invalid bytes replaced.
py::str text(const std::string& s);

//! A sequence of exactly N numbers; its caster checks the length before anything is sent.
template <std::size_t N>
struct Doubles {
  std::array<double, N> values{};
};

std::string length_message(std::size_t expected, std::size_t actual);

}  // namespace korvex::python

namespace pybind11::detail {

template <std::size_t N>
struct type_caster<korvex::python::Doubles<N>> {
  PYBIND11_TYPE_CASTER(korvex::python::Doubles<N>, io_name("collections.abc.Sequence[float]", "list[float]"));

  bool load(handle src, bool convert) {
    PyObject* obj = src.ptr();
    if (obj == nullptr || !PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) ||
        PyByteArray_Check(obj))
      return false;
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
      PyErr_Clear();
      return false;
    }
    if (static_cast<std::size_t>(size) != N)
      throw value_error(korvex::python::length_message(N, static_cast<std::size_t>(size)));
    for (std::size_t i = 0; i < N; ++i) {
      auto item = reinterpret_steal<object>(PySequence_GetItem(obj, static_cast<Py_ssize_t>(i)));
      if (!item) {
        PyErr_Clear();
        return false;
      }
      make_caster<double> element;
      if (!element.load(item, convert)) return false;
      value.values[i] = cast_op<double>(element);
    }
    return true;
  }

  static handle cast(const korvex::python::Doubles<N>& src, return_value_policy, handle) {
    list out(N);
    for (std::size_t i = 0; i < N; ++i) out[i] = float_(src.values[i]);
    return out.release();
  }
};

}  // namespace pybind11::detail
