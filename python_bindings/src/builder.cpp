// The ModelBuilder and ModelSpec classes: argument conversion and delegation to the model records.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

#include "convert.hpp"
#include "methods.hpp"
#include "numpy_data.hpp"
#include "objects.hpp"

namespace vorpex {

namespace {

// A number by the interpreter's float conversion, else a ParamRef's name, else the caller's
// ValueError. A failed float conversion is not reported: the ValueError explains both options.
std::optional<Hyper> hyper_or_none(py::handle value) {
  if (const auto v = try_float(value)) return Hyper{hyper::Fixed{*v}};
  if (py::isinstance<PyParamRef>(value)) {
    auto& ref = value.cast<PyParamRef&>();
    SharedBorrow b(ref.borrow);
    return Hyper{hyper::FromParam{ref.name}};
  }
  return std::nullopt;
}

Hyper extract_hyper(py::handle value, const char* arg) {
  if (auto h = hyper_or_none(value)) return std::move(*h);
  throw py::value_error("'" + std::string(arg) +
                        "' must be a float or a ParamRef (e.g. from normal_prior / "
                        "half_normal_prior)");
}

py::object declare_scalar(PyModelBuilder& self, PriorSpec prior) {
  std::string name = prior_name(prior);
  self.builder.add_prior(std::move(prior));
  return py::cast(PyParamRef{std::move(name), {}});
}

py::object normal_prior(PyModelBuilder& self, py::handle name, py::handle mu, py::handle sigma) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  Hyper m = extract_hyper(mu, "mu");
  Hyper s = extract_hyper(sigma, "sigma");
  return declare_scalar(self, prior::Normal{std::move(n), std::move(m), std::move(s)});
}

py::object half_normal_prior(PyModelBuilder& self, py::handle name, py::handle sigma) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  Hyper s = extract_hyper(sigma, "sigma");
  return declare_scalar(self, prior::HalfNormal{std::move(n), std::move(s)});
}

py::object student_t_prior(PyModelBuilder& self, py::handle name, py::handle nu, py::handle mu,
                           py::handle sigma) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  const double nu_v = arg_float(nu, "nu");
  const double mu_v = arg_float(mu, "mu");
  const double sigma_v = arg_float(sigma, "sigma");
  return declare_scalar(self, prior::StudentT{std::move(n), nu_v, mu_v, sigma_v});
}

py::object uniform_prior(PyModelBuilder& self, py::handle name, py::handle lower,
                         py::handle upper) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  const double lo = arg_float(lower, "lower");
  const double hi = arg_float(upper, "upper");
  return declare_scalar(self, prior::Uniform{std::move(n), lo, hi});
}

py::object bernoulli_prior(PyModelBuilder& self, py::handle name, py::handle p) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  const double p_v = arg_float(p, "p");
  return declare_scalar(self, prior::Bernoulli{std::move(n), p_v});
}

py::object poisson_prior(PyModelBuilder& self, py::handle name, py::handle lam) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  const double lam_v = arg_float(lam, "lam");
  return declare_scalar(self, prior::Poisson{std::move(n), lam_v});
}

py::object gamma_prior(PyModelBuilder& self, py::handle name, py::handle alpha, py::handle beta) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  const double a = arg_float(alpha, "alpha");
  const double r = arg_float(beta, "beta");
  return declare_scalar(self, prior::Gamma{std::move(n), a, r});
}

py::object beta_prior(PyModelBuilder& self, py::handle name, py::handle alpha, py::handle beta) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  const double a = arg_float(alpha, "alpha");
  const double c = arg_float(beta, "beta");
  return declare_scalar(self, prior::Beta{std::move(n), a, c});
}

py::object vector_normal_prior(PyModelBuilder& self, py::handle name, py::handle n,
                               py::handle mu, py::handle sigma) {
  ExclusiveBorrow b(self.borrow);
  std::string nm = arg_string(name, "name");
  const std::size_t len = arg_size(n, "n");
  const double mu_v = arg_float(mu, "mu");
  const double sigma_v = arg_float(sigma, "sigma");
  self.builder.add_prior(prior::VectorNormal{nm, len, mu_v, sigma_v});
  return py::cast(PyVectorParamRef{std::move(nm), len, {}});
}

void normal_likelihood(PyModelBuilder& self, py::handle name, py::handle mu_expr,
                       py::handle sigma, py::handle observed_key) {
  ExclusiveBorrow b(self.borrow);
  std::string n = arg_string(name, "name");
  std::string key = arg_string(observed_key, "observed_key");
  std::optional<MuExpr> mean;
  if (py::isinstance<PyExpr>(mu_expr)) {
    auto& e = mu_expr.cast<PyExpr&>();
    SharedBorrow eb(e.borrow);
    mean = e.expr;
  } else if (py::isinstance<PyParamRef>(mu_expr)) {
    auto& ref = mu_expr.cast<PyParamRef&>();
    SharedBorrow rb(ref.borrow);
    mean = param_term(ref.name);
  } else {
    throw py::value_error("mu_expr must be an Expr (e.g. beta * 'x') or a ParamRef");
  }
  std::optional<Hyper> s = hyper_or_none(sigma);
  if (!s) throw py::value_error("sigma must be a float or a ParamRef (e.g. from half_normal_prior)");
  self.builder.add_likelihood(
      LikelihoodSpec{std::move(n), std::move(*mean), std::move(*s), std::move(key)});
}

py::object build(PyModelBuilder& self) {
  SharedBorrow b(self.borrow);
  return py::cast(PyModelSpec{self.builder.build(), {}});
}

}  // namespace

void register_model_builder(py::module_& m) {
  py::class_<PyModelBuilder> builder(m, "ModelBuilder", py::is_final(),
                                     "ModelBuilder(data=None)\n--\n\n");
  builder.def(py::init([](py::handle data) {
                const std::optional<py::dict> d = arg_dict_or_none(data, "data");
                PyModelBuilder out;
                if (d) out.builder.data = parse_data_dict(*d);
                return out;
              }),
              py::arg("data") = py::none(), "__init__($self, data=None)\n--\n\n");
  init_as_method_descriptor(builder);
  def_method(builder, "normal_prior", &normal_prior, py::arg("name"), py::arg("mu"),
             py::arg("sigma"), "normal_prior($self, name, mu, sigma)\n--\n\n");
  def_method(builder, "half_normal_prior", &half_normal_prior, py::arg("name"), py::arg("sigma"),
             "half_normal_prior($self, name, sigma)\n--\n\n");
  def_method(builder, "student_t_prior", &student_t_prior, py::arg("name"), py::arg("nu"),
             py::arg("mu") = 0.0, py::arg("sigma") = 1.0,
             "student_t_prior($self, name, nu, mu=0.0, sigma=1.0)\n--\n\n");
  def_method(builder, "uniform_prior", &uniform_prior, py::arg("name"), py::arg("lower") = 0.0,
             py::arg("upper") = 1.0, "uniform_prior($self, name, lower=0.0, upper=1.0)\n--\n\n");
  def_method(builder, "bernoulli_prior", &bernoulli_prior, py::arg("name"), py::arg("p") = 0.5,
             "bernoulli_prior($self, name, p=0.5)\n--\n\n");
  def_method(builder, "poisson_prior", &poisson_prior, py::arg("name"), py::arg("lam"),
             "poisson_prior($self, name, lam)\n--\n\n");
  def_method(builder, "gamma_prior", &gamma_prior, py::arg("name"), py::arg("alpha"),
             py::arg("beta"), "gamma_prior($self, name, alpha, beta)\n--\n\n");
  def_method(builder, "beta_prior", &beta_prior, py::arg("name"), py::arg("alpha"),
             py::arg("beta"), "beta_prior($self, name, alpha, beta)\n--\n\n");
  def_method(builder, "vector_normal_prior", &vector_normal_prior, py::arg("name"), py::arg("n"),
             py::arg("mu") = 0.0, py::arg("sigma") = 1.0,
             "vector_normal_prior($self, name, n, mu=0.0, sigma=1.0)\n--\n\n");
  def_method(builder, "normal_likelihood", &normal_likelihood, py::arg("name"),
             py::arg("mu_expr"), py::arg("sigma"), py::arg("observed_key"),
             "normal_likelihood($self, name, mu_expr, sigma, observed_key)\n--\n\n");
  def_method(builder, "build", &build, "build($self)\n--\n\n");

  py::class_<PyModelSpec>(m, "ModelSpec", py::is_final(), "");
}

}  // namespace vorpex
