// Method descriptors forwarding to pybind11 functions (see methods.hpp for why).
#include "methods.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"

namespace vorpex {

namespace {

// A METH_FASTCALL | METH_KEYWORDS C function receives no closure, so each forwarded method gets
// its own trampoline instantiation reading its target from a fixed slot. Slots are filled at
// import (under the interpreter lock) and never released: the module lives for the process.
constexpr std::size_t kSlots = 128;
std::array<PyObject*, kSlots> g_targets{};
std::array<bool, kSlots> g_is_init{};
std::size_t g_used = 0;

// Whether the instance's native record has been constructed. An instance made by `__new__`
// alone holds none, and pybind11 would hand its methods uninitialised storage to read.
bool is_constructed(PyObject* self) {
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  return inst->get_value_and_holder().holder_constructed();
}

PyObject* forward(PyObject* fn, bool is_init, PyObject* self, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
  // The descriptor has already checked that `self` is an instance of the class.
  if (is_init && is_constructed(self)) {
    // Constructing again would drop the record without destroying it (and bypass the borrow
    // rule); a fresh instance is what the caller wants.
    PyErr_Format(PyExc_TypeError, "%s.__init__() called on an instance that is already initialized",
                 Py_TYPE(self)->tp_name);
    return nullptr;
  }
  if (!is_init && !is_constructed(self)) {
    PyErr_Format(PyExc_TypeError, "%s instance is not initialized: create it by calling the class",
                 Py_TYPE(self)->tp_name);
    return nullptr;
  }
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const auto total = static_cast<std::size_t>(nargs + nkw);
  std::array<PyObject*, 16> small{};
  std::vector<PyObject*> large;
  PyObject** buf = small.data();
  if (total + 1 > small.size()) {
    try {
      large.resize(total + 1);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    buf = large.data();
  }
  buf[0] = self;
  std::copy(args, args + total, buf + 1);
  return PyObject_Vectorcall(fn, buf, static_cast<std::size_t>(nargs) + 1, kwnames);
}

template <std::size_t I>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return forward(g_targets[I], g_is_init[I], self, args, nargs, kwnames);
}

using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<FastCallKw, kSlots> make_trampolines(std::index_sequence<I...>) {
  return {&trampoline<I>...};
}
constexpr auto kTrampolines = make_trampolines(std::make_index_sequence<kSlots>{});

}  // namespace

void add_method_descriptor(py::handle cls, const char* name, py::handle method) {
  if (g_used == kSlots) internal_error("too many methods for method descriptors");
  PyObject* fn = method.ptr();
  if (PyInstanceMethod_Check(fn)) fn = PyInstanceMethod_GET_FUNCTION(fn);
  if (!PyCFunction_Check(fn)) internal_error("method descriptor target is not a builtin function");
  // The pybind11 function's own PyMethodDef holds the docstring we gave it.
  const char* doc = reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_doc;
  Py_INCREF(fn);
  const std::size_t slot = g_used++;
  g_targets[slot] = fn;
  g_is_init[slot] = std::string_view(name) == "__init__";
  auto* def = new PyMethodDef{};  // lives as long as the type, like a static method table
  def->ml_name = (new std::string(name))->c_str();
  def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kTrampolines[slot]));
  def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
  def->ml_doc = doc;
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  py::object descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, def));
  if (!descr) throw py::error_already_set();
  if (PyObject_SetAttrString(cls.ptr(), def->ml_name, descr.ptr()) != 0) {
    throw py::error_already_set();
  }
}

namespace {

extern "C" PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "%s: No constructor defined!", type->tp_name);
  return nullptr;
}

}  // namespace

void forbid_python_construction(py::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  type->tp_new = &refuse_new;
  PyType_Modified(type);
}

void init_as_method_descriptor(py::handle cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  PyObject* init = PyDict_GetItemString(type->tp_dict, "__init__");  // borrowed
  if (!init) internal_error("class has no __init__ to expose");
  add_method_descriptor(cls, "__init__", init);
}

}  // namespace vorpex
