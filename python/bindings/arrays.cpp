#include "arrays.hpp"

#include <pybind11/numpy.h>

#include <cstring>
#include <string>

namespace korvex::python {
namespace {

// The message of the pending Python error, which is cleared.
std::string pending_message() {
  py::error_already_set e;
  return py::str(e.value()).cast<std::string>();
}

bool is_text(PyObject* obj) { return PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj); }

[[noreturn]] void text_error(const char* name, PyObject* obj) {
  raise_conversion_error(name, std::string("Can't extract `") + Py_TYPE(obj)->tp_name + "` to `Vec`");
}

void put(Numbers& out, std::size_t i, double v) {
  if (i < Numbers::kCapacity) out.values[i] = v;
}

double element(const char* name, PyObject* item) {
  if (PyFloat_Check(item)) return PyFloat_AS_DOUBLE(item);
  // float() of a one-element array works but is deprecated; it is not a number here.
  if (py::detail::npy_api::get().PyArray_Check_(item) && py::detail::array_proxy(item)->nd > 0)
    raise_conversion_error(name, std::string("must be real number, not ") + Py_TYPE(item)->tp_name);
  const double v = PyFloat_AsDouble(item);
  if (v == -1.0 && PyErr_Occurred()) raise_conversion_error(name, pending_message());
  return v;
}

bool numeric_kind(char kind) { return kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b'; }

// A numeric NumPy array: its shape, and its values when it has one or two axes and fits.
// Returns false for other element types, which are read element by element.
bool read_array(PyObject* obj, Numbers& out) {
  auto* a = py::detail::array_proxy(obj);
  auto* d = py::detail::array_descriptor_proxy(a->descr);
  if (!numeric_kind(d->kind)) return false;
  out.ndim = a->nd;
  out.size = 1;
  for (int i = 0; i < a->nd; ++i) {
    out.dims[static_cast<std::size_t>(i)] = a->dimensions[i];
    out.size *= static_cast<std::size_t>(a->dimensions[i]);
  }
  if ((a->nd != 1 && a->nd != 2) || out.size > Numbers::kCapacity || out.size == 0) return true;
  const Py_ssize_t rows = a->dimensions[0];
  const Py_ssize_t cols = a->nd == 2 ? a->dimensions[1] : 1;
  if (d->type_num == py::detail::npy_api::NPY_DOUBLE_ && (d->byteorder == '=' || d->byteorder == '|')) {
    const Py_ssize_t row_stride = a->strides[0];
    const Py_ssize_t col_stride = a->nd == 2 ? a->strides[1] : 0;
    std::size_t k = 0;
    for (Py_ssize_t r = 0; r < rows; ++r)
      for (Py_ssize_t c = 0; c < cols; ++c)
        std::memcpy(&out.values[k++], a->data + r * row_stride + c * col_stride, sizeof(double));
    return true;
  }
  auto cast = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(obj);
  if (!cast) throw py::error_already_set();
  std::memcpy(out.values.data(), cast.data(), out.size * sizeof(double));
  return true;
}

}  // namespace

void raise_conversion_error(const char* name, const std::string& reason) {
  throw py::type_error(std::string("argument '") + name + "': " + reason);
}

void read_numbers(const char* name, py::handle handle, int depth, Numbers& out) {
  PyObject* obj = handle.ptr();
  if (py::detail::npy_api::get().PyArray_Check_(obj) && read_array(obj, out)) return;
  if (is_text(obj)) text_error(name, obj);
  if (!PySequence_Check(obj))
    raise_conversion_error(name, std::string("'") + Py_TYPE(obj)->tp_name + "' object cannot be converted to 'Sequence'");
  auto seq = py::reinterpret_steal<py::object>(PySequence_Fast(obj, "not a sequence"));
  if (!seq) raise_conversion_error(name, pending_message());
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
  PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
  out.ndim = 1;
  out.dims[0] = n;
  out.size = static_cast<std::size_t>(n);
  // A flat sequence given for a matrix is read as a vector, so that its shape can be reported.
  if (depth == 1 || (n > 0 && (PyFloat_Check(items[0]) || PyLong_Check(items[0])))) {
    for (Py_ssize_t i = 0; i < n; ++i) put(out, static_cast<std::size_t>(i), element(name, items[i]));
    return;
  }
  if (n == 0) return;
  Numbers row;
  Py_ssize_t cols = 0;
  std::size_t k = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (is_text(item)) text_error(name, item);
    if (PyFloat_Check(item) || PyLong_Check(item) || !PySequence_Check(item))
      raise_conversion_error(name, std::string("'") + Py_TYPE(item)->tp_name + "' object cannot be converted to 'Sequence'");
    read_numbers(name, item, 1, row);
    if (row.ndim != 1) raise_conversion_error(name, "every row must be a sequence of numbers");
    if (i == 0) cols = row.dims[0];
    if (row.dims[0] != cols)
      raise_conversion_error(name, "rows of different lengths (" + std::to_string(cols) + " and " +
                                 std::to_string(row.dims[0]) + ")");
    for (std::size_t c = 0; c < row.size && c < Numbers::kCapacity; ++c) put(out, k++, row.values[c]);
  }
  out.ndim = 2;
  out.dims[1] = cols;
  out.size = static_cast<std::size_t>(n) * static_cast<std::size_t>(cols);
}

double read_double(const char* name, py::handle handle) {
  PyObject* obj = handle.ptr();
  if (PyFloat_Check(obj)) return PyFloat_AS_DOUBLE(obj);
  return element(name, obj);
}

std::string shape_text(const Numbers& numbers) {
  std::string out = "[";
  for (int i = 0; i < numbers.ndim; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(numbers.dims[static_cast<std::size_t>(i)]);
  }
  return out + "]";
}

void raise_element_message(const char* name, std::size_t n, const Numbers& numbers) {
  throw py::value_error(std::string("korvex: ") + name + " has " + std::to_string(n) + " elements, got shape " +
                        shape_text(numbers));
}

void raise_shape_message(const char* name, std::size_t rows, std::size_t cols, const Numbers& numbers) {
  throw py::value_error(std::string("korvex: ") + name + " has shape (" + std::to_string(rows) + ", " +
                        std::to_string(cols) + "), got " + shape_text(numbers));
}

}  // namespace korvex::python
