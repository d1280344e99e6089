// velmora._native: the batch calls over orv_core.HyperbolicIndex objects. The
// velmora package has already converted dtypes and shapes; this file only
// turns arrays into blocks, releases the interpreter lock and relays Ctrl-C.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>

#include "checked.hpp"
#include "orv/batch.hpp"
#include "orv/parallel_build.hpp"

namespace py = pybind11;
using orv::HyperbolicIndex;
using orv_binding::checked;

namespace {

using F32Matrix = py::array_t<float, py::array::c_style>;
using U64Vector = py::array_t<uint64_t, py::array::c_style>;
using Clock = std::chrono::steady_clock;

// How often a running batch takes the interpreter lock back to look for
// Ctrl-C and to move the progress bar.
constexpr auto CHECK_EVERY = std::chrono::milliseconds(50);

orv::RowBlock rows_of(const F32Matrix& a) {
    if (a.ndim() != 2)
        throw py::value_error("expected a 2-D array, got " + std::to_string(a.ndim()) +
                              " dimensions");
    return {a.data(), int64_t(a.shape(0)), int64_t(a.shape(1))};
}

orv::MaskBlock masks_of(const U64Vector& m, bool each) {
    return {m.data(), int64_t(m.size()), each};
}

// Between rows: every CHECK_EVERY, the pending signals and the progress
// callback, with the lock held. A Python error stops the batch and stays set.
struct BatchWatch {
    py::object progress;
    Clock::time_point next = Clock::now() + CHECK_EVERY;
    bool stopped = false;

    bool operator()(int64_t done) {
        if (Clock::now() < next) return true;
        next = Clock::now() + CHECK_EVERY;
        py::gil_scoped_acquire hold;
        try {
            if (!progress.is_none()) progress(done);
        } catch (py::error_already_set& e) {
            e.restore();
            stopped = true;
            return false;
        }
        if (PyErr_CheckSignals() != 0) stopped = true;
        return !stopped;
    }
};

void put_stats(py::dict& out, const orv::ParallelBuildStats& st) {
    out["rows"] = st.rows;
    out["reused"] = st.reused;
    out["plan_seconds"] = st.plan_seconds;
    out["commit_seconds"] = st.commit_seconds;
    out["replan_seconds"] = st.replan_seconds;
    out["wait_seconds"] = st.wait_seconds;
}

// stats, when a dict, gets where the time of a parallel build went.
int64_t add_items(HyperbolicIndex& ix, const F32Matrix& rows, const U64Vector& masks,
                  bool masks_each, int32_t ef_construction, bool linked, py::object progress,
                  int32_t threads, std::optional<py::dict> stats) {
    checked(ix);
    if (threads < 1)
        throw py::value_error("threads must be at least 1, got " + std::to_string(threads));
    const orv::RowBlock block = rows_of(rows);
    const orv::MaskBlock mb = masks_of(masks, masks_each);
    BatchWatch watch{std::move(progress)};
    orv::ParallelBuildStats st;
    int64_t done;
    {
        py::gil_scoped_release release;
        done =
            orv::add_batch(ix, block, mb, ef_construction, linked, std::ref(watch), threads, &st);
    }
    if (stats) put_stats(*stats, st);
    if (!watch.stopped) return done;
    py::error_already_set e;
    if (!e.matches(PyExc_KeyboardInterrupt)) throw e;
    const std::string msg = "add_items interrupted: the index holds the " + std::to_string(done) +
                            " rows inserted before it, of " + std::to_string(block.rows);
    PyErr_SetString(PyExc_KeyboardInterrupt, msg.c_str());
    throw py::error_already_set();
}

py::tuple search(const HyperbolicIndex& ix, const F32Matrix& queries, const U64Vector& filters,
                 bool filters_each, const std::string& method, int32_t k,
                 std::optional<int32_t> ef_search, float max_radius, float min_norm,
                 int32_t threads) {
    checked(ix);
    const orv::RowBlock block = rows_of(queries);
    orv::BatchQuery opt;
    opt.method = orv::search_method_from_name(method);
    opt.k = k;
    opt.ef_search = ef_search.value_or(orv::default_ef_search(opt.method));
    opt.max_radius = max_radius;
    opt.min_norm = min_norm;
    if (k < 0) throw py::value_error("k must be at least 0, got " + std::to_string(k));
    py::array_t<int64_t> ids({py::ssize_t(block.rows), py::ssize_t(k)});
    py::array_t<float> dists({py::ssize_t(block.rows), py::ssize_t(k)});
    int64_t* id_out = ids.mutable_data();
    float* dist_out = dists.mutable_data();
    {
        py::gil_scoped_release release;
        orv::search_batch(ix, block, masks_of(filters, filters_each), opt, threads, id_out,
                          dist_out);
    }
    return py::make_tuple(ids, dists);
}

void seed(HyperbolicIndex& ix, uint32_t value) { orv::seed_levels(checked(ix), value); }

py::bytes get_rng_state(const HyperbolicIndex& ix) {
    return py::bytes(orv::get_level_state(checked(ix)));
}

void set_rng_state(HyperbolicIndex& ix, const py::bytes& state) {
    orv::set_level_state(checked(ix), std::string(state));
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native batch calls of the velmora package";
    // The index class is registered by orv_core; its registration is shared.
    py::module_::import("orv_core");
    m.def("add_items", &add_items, py::arg("index"), py::arg("rows"), py::arg("masks"),
          py::arg("masks_each"), py::arg("ef_construction"), py::arg("linked"), py::arg("progress"),
          py::arg("threads") = 1, py::arg("stats") = py::none());
    m.def("search", &search, py::arg("index"), py::arg("queries"), py::arg("filters"),
          py::arg("filters_each"), py::arg("method"), py::arg("k"), py::arg("ef_search"),
          py::arg("max_radius"), py::arg("min_norm"), py::arg("threads"));
    m.def("seed", &seed, py::arg("index"), py::arg("seed"));
    m.def("get_rng_state", &get_rng_state, py::arg("index"));
    m.def("set_rng_state", &set_rng_state, py::arg("index"), py::arg("state"));
    m.def("usable_cores", &orv::usable_cores);
}
