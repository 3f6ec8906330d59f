// ParamRef, VectorParamRef and Expr: the operators that build mean expressions. Each operator
// copies the trees it includes, so later use of an operand never changes a result.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "convert.hpp"
#include "objects.hpp"

namespace vorpex {

namespace {

py::object not_implemented() { return py::reinterpret_borrow<py::object>(Py_NotImplemented); }

py::object make_expr(MuExpr e) { return py::cast(PyExpr{std::move(e), {}}); }

// The operand's tree when it is an Expr or a ParamRef (a ParamRef adds as a ParamTerm).
std::optional<MuExpr> term_of(py::handle h) {
  if (py::isinstance<PyExpr>(h)) {
    auto& e = h.cast<PyExpr&>();
    SharedBorrow b(e.borrow);
    return e.expr;
  }
  if (py::isinstance<PyParamRef>(h)) {
    auto& r = h.cast<PyParamRef&>();
    SharedBorrow b(r.borrow);
    return param_term(r.name);
  }
  return std::nullopt;
}

std::optional<std::string> key_of(py::handle h) {
  if (!PyUnicode_Check(h.ptr())) return std::nullopt;
  return arg_string(h, "data_key");
}

// ParamRef + other (forward) and other + ParamRef (reflected): in both the ParamRef's term
// comes first, as the forward form of the left operand's slot would put it.
py::object param_add(PyParamRef& self, py::object other) {
  SharedBorrow b(self.borrow);
  auto rhs = term_of(other);
  if (!rhs) throw py::value_error("unsupported operand type for + with ParamRef");
  return make_expr(sum(param_term(self.name), std::move(*rhs)));
}

py::object param_mul(PyParamRef& self, py::object other) {
  SharedBorrow b(self.borrow);
  auto key = key_of(other);
  if (!key) return not_implemented();
  return make_expr(param_times_data(self.name, std::move(*key)));
}

template <class Ref>
py::object ref_matmul(Ref& self, py::object other) {
  SharedBorrow b(self.borrow);
  auto key = key_of(other);
  if (!key) return not_implemented();
  return make_expr(matrix_times_param(self.name, std::move(*key)));
}

py::object expr_add(PyExpr& self, py::object other) {
  SharedBorrow b(self.borrow);
  if (!py::isinstance<PyExpr>(other) && !py::isinstance<PyParamRef>(other)) {
    throw py::value_error("unsupported operand type for + with Expr");
  }
  return make_expr(sum(self.expr, *term_of(other)));
}

// other + Expr where the left operand's own slot declined: a ParamRef goes first; another
// Expr falls back to the forward rule.
py::object expr_radd(PyExpr& self, py::object other) {
  if (py::isinstance<PyParamRef>(other)) {
    SharedBorrow b(self.borrow);
    return make_expr(sum(*term_of(other), self.expr));
  }
  return expr_add(self, std::move(other));
}

}  // namespace

void register_handles(py::module_& m) {
  py::class_<PyParamRef>(m, "ParamRef", py::is_final(), "")
      .def("__add__", &param_add, py::is_operator())
      .def("__radd__", &param_add, py::is_operator())
      .def("__mul__", &param_mul, py::is_operator())
      .def("__matmul__", &ref_matmul<PyParamRef>, py::is_operator());

  py::class_<PyVectorParamRef>(m, "VectorParamRef", py::is_final(), "")
      .def("__matmul__", &ref_matmul<PyVectorParamRef>, py::is_operator());

  py::class_<PyExpr>(m, "Expr", py::is_final(), "")
      .def("__add__", &expr_add, py::is_operator())
      .def("__radd__", &expr_radd, py::is_operator());
}

}  // namespace vorpex
