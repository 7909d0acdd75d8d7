#include "method_descriptors.hpp"

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace korvex::python {
namespace {

namespace py = pybind11;

constexpr std::size_t kSlots = 96;

// Slot i: the pybind11 function behind method table entry i. Filled once at import, never freed: the
// descriptors point into the table for the life of the process.
struct Slot {
  PyObject* function = nullptr;
  PyMethodDef def{};
  std::string name, doc;
};
std::array<Slot, kSlots> g_slots;
std::size_t g_used = 0;

template <std::size_t I>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound = PyMethod_New(g_slots[I].function, self);
  if (bound == nullptr) return nullptr;
  PyObject* result = PyObject_Vectorcall(bound, args, static_cast<std::size_t>(nargs), kwnames);
  Py_DECREF(bound);
  return result;
}

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<FastWithKeywords, sizeof...(I)> trampolines(std::index_sequence<I...>) {
  return {&trampoline<I>...};
}
constexpr auto kTrampolines = trampolines(std::make_index_sequence<kSlots>{});

}  // namespace

void use_method_descriptors(py::handle cls) {
  // The class __dict__ is a mapping proxy, not a dict: walk its items().
  std::vector<std::pair<std::string, py::object>> methods;
  for (py::handle item : cls.attr("__dict__").attr("items")()) {
    const auto pair = py::reinterpret_borrow<py::tuple>(item);
    const std::string name = py::str(pair[0]);
    const py::object value = pair[1];
    if (name == "__init__" || !PyInstanceMethod_Check(value.ptr())) continue;
    methods.emplace_back(name, py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(value.ptr())));
  }
  for (auto& [name, function] : methods) {
    if (!PyCFunction_Check(function.ptr())) continue;
    if (g_used == kSlots) throw std::runtime_error("korvex: too many methods for the descriptor table");
    Slot& slot = g_slots[g_used];
    // The raw docstring still holds the "name($self, ...)\n--\n\n" signature line.
    const char* raw = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml->ml_doc;
    slot.name = name;
    slot.doc = raw ? raw : "";
    slot.function = function.release().ptr();
    slot.def = {slot.name.c_str(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kTrampolines[g_used])),
                METH_FASTCALL | METH_KEYWORDS, slot.doc.c_str()};
    auto descr = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &slot.def));
    if (!descr || PyObject_SetAttrString(cls.ptr(), slot.name.c_str(), descr.ptr()) != 0)
      throw py::error_already_set();
    ++g_used;
  }
}

}  // namespace korvex::python
