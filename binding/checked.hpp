// Shared by both modules: an instance made with __new__ alone has no index
// behind it, yet pybind11 still hands over a reference to its storage.
#pragma once

#include <pybind11/pybind11.h>

#include "orv/hyperbolic_index.hpp"

namespace orv_binding {

// Constructed instances are the ones registered with the binding library.
template <class T>
T& checked(T& ix) {
    namespace py = pybind11;
    static const py::detail::type_info* info =
        py::detail::get_type_info(typeid(orv::HyperbolicIndex), true);
    if (!py::detail::get_object_handle(&ix, info))
        throw py::type_error("HyperbolicIndex.__init__() was not called on this instance");
    return ix;
}

}  // namespace orv_binding
