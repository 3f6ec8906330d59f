// The batch_sample() entry point: converts the (ModelSpec, dict) pairs, compiles every model under
// the interpreter lock, then runs one NUTS chain per model on the worker pool without it.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch_record.hpp"
#include "convert.hpp"
#include "numpy_data.hpp"
#include "objects.hpp"
#include "sampler.hpp"

namespace vorpex {

namespace {

constexpr const char* kPair = "a (ModelSpec, dict) pair";

// One converted entry of `models`; the objects are held so that nothing the call reads can be
// freed while it runs, whatever the sequence does.
struct ModelArg {
  py::object spec;
  py::dict data;
};

bool is_text(py::handle h) {
  return PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr()) || PyByteArray_Check(h.ptr());
}

py::object sequence_item(py::handle seq, Py_ssize_t i) {
  PyObject* item = PySequence_GetItem(seq.ptr(), i);
  if (!item) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(item);
}

// `models` as a sequence of (ModelSpec, dict) pairs. A str is a sequence too, but never one of
// pairs, so text is refused up front like any other non-sequence; each pair may be any sequence
// of length two (a tuple or a list).
std::vector<ModelArg> convert_models(py::handle models) {
  const char* name = "models";
  if (is_text(models) || !PySequence_Check(models.ptr())) {
    argument_error(name, "expected a sequence of (ModelSpec, dict) pairs, got '" +
                             type_name(models) + "'");
  }
  const Py_ssize_t n = PySequence_Size(models.ptr());
  if (n < 0) throw py::error_already_set();
  std::vector<ModelArg> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    const py::object item = sequence_item(models, k);
    const std::string where = "item " + std::to_string(k) + ": ";
    if (is_text(item) || !PySequence_Check(item.ptr())) {
      argument_error(name, where + "expected " + kPair + ", got '" + type_name(item) + "'");
    }
    const Py_ssize_t len = PySequence_Size(item.ptr());
    if (len < 0) throw py::error_already_set();
    if (len != 2) {
      argument_error(name, where + "expected " + kPair + ", got a sequence of length " +
                               std::to_string(len));
    }
    py::object spec = sequence_item(item, 0);
    py::object data = sequence_item(item, 1);
    if (!py::isinstance<PyModelSpec>(spec)) {
      argument_error(name,
                     where + "'" + type_name(spec) + "' object is not an instance of 'ModelSpec'");
    }
    if (!PyDict_Check(data.ptr())) {
      argument_error(name, where + "'" + type_name(data) + "' object is not an instance of 'dict'");
    }
    out.push_back(ModelArg{std::move(spec), py::reinterpret_steal<py::dict>(data.release())});
  }
  return out;
}

py::list batch_sample_py(py::handle models, py::handle draws, py::handle warmup, py::handle seed,
                         py::handle show_progress) {
  const std::vector<ModelArg> args = convert_models(models);
  const std::uint64_t n_draws = arg_u64(draws, "draws");
  const std::uint64_t n_warmup = arg_u64(warmup, "warmup");
  const std::uint64_t base_seed = arg_u64(seed, "seed");
  const bool progress = arg_bool(show_progress, "show_progress");

  // Every model compiles before any samples: the first failure ends the call.
  std::vector<Graph> graphs;
  graphs.reserve(args.size());
  for (const ModelArg& a : args) {
    PyModelSpec& spec = a.spec.cast<PyModelSpec&>();
    SharedBorrow b(spec.borrow);
    graphs.push_back(
        compile_spec(spec.spec, std::optional<py::dict>(a.data), EntryPoint::BatchSample).graph);
  }

  std::vector<BatchModelResult> results;
  {
    py::gil_scoped_release release;
    results = batch_sample(std::move(graphs), n_draws, n_warmup, base_seed, progress);
  }

  py::list out(results.size());
  for (std::size_t k = 0; k < results.size(); ++k) {
    out[k] = make_batch_result(std::move(results[k]));
  }
  return out;
}

}  // namespace

void register_batch_sample(py::module_& m) {
  m.def("batch_sample", &batch_sample_py, py::arg("models"), py::arg("draws") = 500,
        py::arg("warmup") = 300, py::arg("seed") = 42, py::arg("show_progress") = true,
        "batch_sample(models, draws=500, warmup=300, seed=42, show_progress=True)\n--\n\n"
        "Run thousands of independent models in parallel on the worker thread pool.\n\n"
        "Each entry in `models` is a (ModelSpec, data_dict) pair. Each gets 1 NUTS chain.\n"
        "Returns a list of BatchResult objects.");
}

}  // namespace vorpex
