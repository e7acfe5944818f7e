// The extension module drov_def._core: the Runtime class, the structure
// classes made from the generated tables, the list type, and the module's
// functions.  The classes' per-call paths (attributes, construction,
// encode, decode) are direct CPython calls in the other files of this
// folder; pybind11 builds the module and its functions here.
#include <pybind11/pybind11.h>

#include "core.h"

namespace py = pybind11;

namespace drovpy {
size_t registry_size(); // lists.cpp
}

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled part of drov_def: import drov_def, not this.";
    if (!drovpy::runtime_type_init(m.ptr()) || !drovpy::record_types_init(m.ptr()) ||
        !drovpy::list_types_init(m.ptr()))
        throw py::error_already_set();
    m.attr("CTX_NONE") = py::int_(DROV_DEF_CTX_NONE);
    m.def(
        "default_runtime",
        [] {
            drovpy::RuntimeObject *rt = drovpy::default_runtime();
            if (rt == nullptr) throw py::error_already_set();
            return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(rt));
        },
        "The calling thread's runtime, which records use unless given runtime=: no state tracking, every\n"
        "structure's highest variant, malloc blocks.  Made at the thread's first use; it goes with the\n"
        "thread once no record made through it is left.");
    m.def("_listed_views", [] { return drovpy::registry_size(); },
          "How many views of list elements exist (for tests of lifetimes).");
    m.def(
        "_set_error_class", [](py::object cls) { drovpy::ErrorClass = cls.release().ptr(); },
        "The exception class the library's failures raise (drov_def.Error).");
}
