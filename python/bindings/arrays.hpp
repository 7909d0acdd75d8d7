#pragma once
// Array arguments: numbers read from a float64 array, another numeric array or nested sequences,
// then checked against the shape the argument must have.
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

namespace korvex::python {

namespace py = pybind11;

//! The shape of an array argument and, when they fit, its values in C order.
struct Numbers {
  static constexpr std::size_t kCapacity = 16;
  static constexpr int kMaxDims = 64;

  int ndim = 0;
  std::array<Py_ssize_t, kMaxDims> dims;  // left uninitialised: filled up to ndim
  std::size_t size = 0;  //!< product of dims
  std::array<double, kCapacity> values;

  bool is_vector(std::size_t n) const { return ndim == 1 && size == n; }
  bool is_matrix(std::size_t rows, std::size_t cols) const {
    return ndim == 2 && static_cast<std::size_t>(dims[0]) == rows && static_cast<std::size_t>(dims[1]) == cols;
  }
};

//! Reads `obj` as an array of numbers; `depth` is 1 for a vector argument, 2 for a matrix (the
//! nesting of plain sequences it accepts). Raises TypeError naming `name` when it is not one.
void read_numbers(const char* name, py::handle obj, int depth, Numbers& out);

//! TypeError "argument '{name}': {reason}", the form of every conversion failure.
[[noreturn]] void raise_conversion_error(const char* name, const std::string& reason);

//! A float argument; raises TypeError naming `name` when it is not a number.
double read_double(const char* name, py::handle obj);

//! "[6]", "[4, 3]".
std::string shape_text(const Numbers& numbers);

//! The values of an n-vector; otherwise ValueError "korvex: {name} has {n} elements, got shape {shape}".
template <std::size_t N>
std::array<double, N> vector_values(const char* name, const Numbers& numbers);
void raise_element_message(const char* name, std::size_t n, const Numbers& numbers);

//! The values of a (n, n) matrix stored column-major (element c * n + r is M[r, c]); otherwise
//! ValueError "korvex: {name} has shape (n, n), got {shape}".
template <std::size_t N>
std::array<double, N * N> column_major_values(const char* name, const Numbers& numbers);
void raise_shape_message(const char* name, std::size_t rows, std::size_t cols, const Numbers& numbers);

template <std::size_t N>
std::array<double, N> vector_values(const char* name, const Numbers& numbers) {
  if (!numbers.is_vector(N)) raise_element_message(name, N, numbers);
  std::array<double, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = numbers.values[i];
  return out;
}

template <std::size_t N>
std::array<double, N * N> column_major_values(const char* name, const Numbers& numbers) {
  if (!numbers.is_matrix(N, N)) raise_shape_message(name, N, N, numbers);
  std::array<double, N * N> out;
  for (std::size_t r = 0; r < N; ++r)
    for (std::size_t c = 0; c < N; ++c) out[c * N + r] = numbers.values[r * N + c];
  return out;
}

}  // namespace korvex::python
