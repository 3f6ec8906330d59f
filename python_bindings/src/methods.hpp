// Re-exposes a class's pybind11 methods as CPython method descriptors, like a built-in type's.
// The descriptors also refuse to run a method on an instance whose record was never constructed
// (made by `ModelBuilder.__new__` alone) and to run `__init__` a second time.
//
// pybind11 functions carry their function record as `__self__`, so `inspect` takes every one of
// them for a bound method: with a "name($self, ...)" text signature it drops `$self`, and for an
// actually bound method it then drops the next parameter as well (`b.normal_prior` would show
// `(mu, sigma)`). A method descriptor has no `__self__` until bound, so `inspect.signature`
// reports `(self, name, mu, sigma)` on the class, `(name, mu, sigma)` on an instance, and the
// class's own signature through `__init__`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace vorpex {

namespace py = pybind11;

// Sets attribute `name` of `cls` to a method descriptor with the docstring of `method` (a
// pybind11 function made with py::is_method) that forwards every call to it.
void add_method_descriptor(py::handle cls, const char* name, py::handle method);

// Defines method `name` of `cls` as a method descriptor. The pybind11 function behind it is
// named "Class.name", so pybind11's own argument-shape errors read "Class.name(): ...". The
// docstring (one of `extra`) must be the text-signature form "name($self, ...)\n--\n\n...".
template <class T, class F, class... Extra>
void def_method(py::class_<T>& cls, const char* name, F&& f, const Extra&... extra) {
  const std::string qualified = py::str(cls.attr("__name__")).cast<std::string>() + "." + name;
  py::cpp_function cf(py::method_adaptor<T>(std::forward<F>(f)), py::name(qualified.c_str()),
                      py::is_method(cls), extra...);
  add_method_descriptor(cls, name, cf);
}

// Makes `cls` refuse to create instances from Python, both by a call and through `__new__`
// (also `copy` and `pickle`): a pybind11 instance made without a constructor holds no record,
// and its methods would read uninitialised storage. The module's own functions still create
// instances, which pybind11 allocates without the type's `__new__`.
void forbid_python_construction(py::handle cls);

// Replaces a pybind11 `__init__` already defined on `cls` (py::init) by a method descriptor, so
// `inspect.signature(cls)` reads its text signature.
void init_as_method_descriptor(py::handle cls);

}  // namespace vorpex
