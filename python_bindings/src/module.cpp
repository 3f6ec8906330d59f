// Entry point of the extension module `vorpex`: registers the classes and functions.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(vorpex, m) {
  m.doc() = "Bayesian inference with NUTS and static HMC on a compiled model graph.";
}
