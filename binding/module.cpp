// The Python module: argument conversion, the interpreter lock around the heavy
// work, and the statistics dict. Only binding/ knows about Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "checked.hpp"
#include "orv/hyperbolic_index.hpp"

namespace py = pybind11;
using orv::HyperbolicIndex;

namespace {

using F32Array = py::array_t<float, py::array::c_style>;

using orv_binding::checked;
using U64Array = py::array_t<uint64_t, py::array::c_style>;

void add_item_flat(HyperbolicIndex& ix, const F32Array& vector, uint64_t mask) {
    checked(ix);
    const float* data = vector.data();
    const int64_t len = int64_t(vector.size());
    const int ndim = int(vector.ndim());
    py::gil_scoped_release release;
    ix.add_item_flat(data, len, ndim, mask);
}

void add_item_and_link(HyperbolicIndex& ix, const F32Array& vector, uint64_t mask,
                       int32_t ef_construction) {
    checked(ix);
    const float* data = vector.data();
    const int64_t len = int64_t(vector.size());
    py::gil_scoped_release release;
    ix.add_item_and_link(data, len, mask, ef_construction);
}

std::vector<int32_t> custom_hnsw_search(const HyperbolicIndex& ix, const F32Array& query, int32_t k,
                                        uint64_t filter_mask, int32_t ef_search, float max_radius,
                                        float min_norm) {
    checked(ix);
    const float* data = query.data();
    const int64_t len = int64_t(query.size());
    py::gil_scoped_release release;
    return ix.custom_hnsw_search(data, len, k, filter_mask, ef_search, max_radius, min_norm);
}

std::vector<int32_t> filtered_search(const HyperbolicIndex& ix, const F32Array& query, int32_t k,
                                     uint64_t filter_mask, int32_t ef_search, float max_radius,
                                     float min_norm) {
    checked(ix);
    const float* data = query.data();
    const int64_t len = int64_t(query.size());
    py::gil_scoped_release release;
    return ix.filtered_search(data, len, k, filter_mask, ef_search, max_radius, min_norm);
}

std::vector<int32_t> hardware_flat_search(const HyperbolicIndex& ix, const F32Array& query,
                                          int32_t k, uint64_t filter_mask, float max_radius,
                                          float min_norm_sq) {
    checked(ix);
    const float* data = query.data();
    const int64_t len = int64_t(query.size());
    py::gil_scoped_release release;
    return ix.hardware_flat_search(data, len, k, filter_mask, max_radius, min_norm_sq);
}

py::dict get_stats(const HyperbolicIndex& ix) {
    checked(ix);
    const orv::IndexStats st = ix.get_stats();
    py::dict d;
    d["num_nodes"] = st.num_nodes;
    d["ep_id"] = st.ep_id;
    d["ep_layer"] = st.ep_layer;
    d["max_m"] = st.max_m;
    d["max_m_0"] = st.max_m_0;
    d["dimension"] = st.dimension;
    d["avg_degree_layer0"] = st.avg_degree_layer0;
    py::list dist;
    for (int64_t c : st.layer_distribution) dist.append(c);
    d["layer_distribution"] = dist;
    return d;
}

float compute_distance(const HyperbolicIndex& ix, const F32Array& query, int32_t node_id) {
    checked(ix);
    return ix.compute_distance(query.data(), int64_t(query.size()), node_id);
}

void update_masks(HyperbolicIndex& ix, const U64Array& new_masks) {
    checked(ix);
    ix.update_masks(new_masks.data(), int64_t(new_masks.size()));
}

// Taking self by reference makes the binding refuse an instance whose __init__
// never ran, instead of calling the method on a null object.
void save_index(const HyperbolicIndex& ix, const std::string& filename) {
    checked(ix);
    ix.save_index(filename);
}
void load_index(HyperbolicIndex& ix, const std::string& filename) {
    checked(ix).load_index(filename);
}
std::string get_metric(const HyperbolicIndex& ix) { return checked(ix).get_metric(); }
float get_stored_norm(const HyperbolicIndex& ix, int32_t node_id) {
    checked(ix);
    return ix.get_stored_norm(node_id);
}

}  // namespace

PYBIND11_MODULE(orv_core, m) {
    m.doc() = "Velmora \u2014 multi-metric HNSW vector index (Poincar\u00e9 / Euclidean / Cosine)";
    py::class_<HyperbolicIndex>(m, "HyperbolicIndex")
        .def(py::init<int32_t, float, int32_t, const std::string&>(), py::arg("dimension"),
             py::arg("curvature") = 1.0f, py::arg("M") = 16, py::arg("metric") = "poincare")
        .def("add_item_flat", &add_item_flat, py::arg("vector"), py::arg("mask") = uint64_t(0))
        .def("add_item_and_link", &add_item_and_link, py::arg("vector"),
             py::arg("mask") = uint64_t(0), py::arg("ef_construction") = 200)
        .def("custom_hnsw_search", &custom_hnsw_search, py::arg("query"), py::arg("k"),
             py::arg("filter_mask") = uint64_t(0), py::arg("ef_search") = 50,
             py::arg("max_radius") = -1.0f, py::arg("min_norm") = -1.0f)
        .def("filtered_search", &filtered_search, py::arg("query"), py::arg("k"),
             py::arg("filter_mask") = uint64_t(0), py::arg("ef_search") = 2000,
             py::arg("max_radius") = -1.0f, py::arg("min_norm") = -1.0f)
        .def("hardware_flat_search", &hardware_flat_search, py::arg("query"), py::arg("k"),
             py::arg("filter_mask"), py::arg("max_radius") = -1.0f, py::arg("min_norm_sq") = -1.0f)
        .def("save_index", &save_index, py::arg("filename"))
        .def("load_index", &load_index, py::arg("filename"))
        .def("get_stats", &get_stats)
        .def("get_metric", &get_metric)
        .def("compute_distance", &compute_distance, py::arg("query"), py::arg("node_id"))
        .def("get_stored_norm", &get_stored_norm, py::arg("node_id"))
        .def("update_masks", &update_masks, py::arg("new_masks"));
}
