"""Data-set loaders, exact ground truth and Poincaré-ball helpers."""

import re

import numpy as np
import pytest

from velmora import datasets, hyperbolic
from velmora.datasets import _cache

HAVE_WORDNET = (datasets.WORDNET_DIR / "data.noun").is_file()
HAVE_FASHION = (datasets.FASHION_DIR / "train-images-idx3-ubyte.gz").is_file()
needs_wordnet = pytest.mark.skipif(
    not HAVE_WORDNET, reason="WordNet missing: apt-get install -y wordnet-base"
)
needs_fashion = pytest.mark.skipif(
    not HAVE_FASHION, reason="Fashion-MNIST missing: apt-get install -y dataset-fashion-mnist"
)


@pytest.fixture(scope="module", autouse=True)
def private_cache(tmp_path_factory):
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VELMORA_CACHE", str(tmp_path_factory.mktemp("cache")))
        yield


@pytest.fixture(scope="module", params=[10, 32])
def mammals(request):
    if not HAVE_WORDNET:
        pytest.skip("WordNet missing: apt-get install -y wordnet-base")
    return datasets.wordnet_mammals(dim=request.param)


@pytest.fixture(scope="module")
def fashion():
    if not HAVE_FASHION:
        pytest.skip("Fashion-MNIST missing: apt-get install -y dataset-fashion-mnist")
    return datasets.fashion_mnist(n_queries=20)


def random_dataset(metric, n=300, nq=25, d=6, seed=3):
    rng = np.random.default_rng(seed)
    if metric == "poincare":
        base = hyperbolic.shrink_to_ball(ball_points(n, d, seed), 0.98)
        queries = hyperbolic.shrink_to_ball(ball_points(nq, d, seed + 1), 0.98)
    else:
        base = rng.standard_normal((n, d)).astype(np.float32)
        queries = rng.standard_normal((nq, d)).astype(np.float32)
    base[0] = 0.0  # a zero vector: cosine distance 1 against everything
    masks = rng.integers(0, 8, n).astype(np.uint64)
    return datasets.Dataset(
        "random", metric, base, queries, masks, np.zeros(nq, np.uint64), ["a", "b", "c"]
    )


def direct_distances(metric, queries, base):
    """Every query-base distance, one pair at a time, in float64."""
    out = np.empty((len(queries), len(base)))
    for i, q in enumerate(queries.astype(np.float64)):
        for j, v in enumerate(base.astype(np.float64)):
            if metric == "poincare":
                out[i, j] = hyperbolic.poincare_distance(q, v)
            elif metric == "euclidean":
                out[i, j] = np.sum((q - v) ** 2)
            else:
                p = np.linalg.norm(q) * np.linalg.norm(v)
                out[i, j] = 1.0 if p < 1e-8 else 1.0 - q @ v / p
    return out


def popcount(masks):
    return np.array([int(m).bit_count() for m in masks])


def check_layout(ds, n, nq, d):
    assert ds.base.shape == (n, d) and ds.queries.shape == (nq, d)
    for a in (ds.base, ds.queries):
        assert a.dtype == np.float32 and a.flags.c_contiguous
    assert ds.base_masks.shape == (n,) and ds.query_masks.shape == (nq,)
    assert ds.base_masks.dtype == np.uint64 and ds.query_masks.dtype == np.uint64
    assert np.all(popcount(ds.base_masks) == 1) and np.all(popcount(ds.query_masks) == 1)
    assert int(np.max(ds.base_masks)) < 1 << len(ds.label_names)


# --- WordNet ---------------------------------------------------------------------------------


@needs_wordnet
def test_mammal_layout_and_categories(mammals):
    check_layout(mammals, 1182, 100, mammals.dim)
    assert len(mammals.words) == len(mammals.offsets) == mammals.n
    graph = datasets.read_noun_graph()
    rows = np.searchsorted(graph.offsets, mammals.offsets)
    assert np.array_equal(graph.offsets[rows], mammals.offsets)
    bits = np.log2(mammals.base_masks.astype(np.float64)).astype(int)
    assert np.array_equal(bits + 3, graph.lexfiles[rows])
    assert np.array_equal(mammals.query_masks, mammals.base_masks[mammals.query_ids])
    dog = mammals.index_of("dog")
    assert mammals.offsets[dog] == 2084071
    assert mammals.label_names[bits[dog]] == "noun.animal"


@needs_wordnet
def test_mammal_hierarchy_is_the_mammal_subtree(mammals):
    root = mammals.index_of("mammal")
    children, parents = mammals.edges[:, 0], mammals.edges[:, 1]
    assert root not in children
    assert set(children.tolist()) == set(range(mammals.n)) - {root}
    assert np.all(mammals.base[root] == 0.0)
    norms = np.linalg.norm(mammals.base, axis=1)
    assert np.mean(norms[parents] < norms[children]) > 0.95  # general nouns lie nearer the centre


@needs_wordnet
def test_all_squared_norms_inside_the_boundary(mammals):
    assert hyperbolic.count_beyond(mammals.base) == 0
    assert hyperbolic.count_beyond(mammals.queries) == 0
    assert hyperbolic.stored_sq_norms(mammals.base).max() <= np.float32(0.99)


@needs_wordnet
def test_queries_are_close_perturbations_of_their_source(mammals):
    source = mammals.base[mammals.query_ids]
    d = hyperbolic.poincare_distance(mammals.queries, source)
    np.testing.assert_allclose(d, 0.1, atol=2e-3)


@needs_wordnet
def test_mammal_embedding_quality(mammals):
    # Observed: dim 10 mean rank 3.07, MAP 0.906; dim 32 mean rank 2.98, MAP 0.917.
    scores = datasets.embedding_quality(mammals)
    assert scores["pairs"] == 6542
    assert scores["map"] > 0.85
    assert scores["mean_rank"] < 4.0


@needs_wordnet
def test_cache_returns_the_same_data(mammals):
    again = datasets.wordnet_mammals(dim=mammals.dim)
    assert np.array_equal(again.base, mammals.base)
    assert again.words == mammals.words
    assert list(datasets.cache_dir().glob(f"wordnet_mammals-d{mammals.dim}-*.npz"))


@needs_wordnet
def test_mammal_ground_truth_matches_direct_computation(mammals):
    ids, dists = mammals.ground_truth(10)
    full = direct_distances("poincare", mammals.queries[:8], mammals.base)
    np.testing.assert_allclose(dists[:8], np.sort(full, axis=1)[:, :10], rtol=1e-9)
    assert np.array_equal(ids[:8, 0], mammals.query_ids[:8])


def test_embedding_of_a_balanced_tree_ranks_ancestors_first():
    parents, frontier = [[]], [0]
    for _ in range(4):
        frontier = [len(parents) + i for i in range(3 * len(frontier))]
        parents += [[(c - 1) // 3] for c in frontier]
    X = datasets.embed_hierarchy(parents, dim=10)
    assert np.all(np.sum(X * X, axis=1) <= 0.99 + 1e-12)
    scores = datasets.reconstruction_scores(X, parents)
    assert scores["pairs"] == 3 * 1 + 9 * 2 + 27 * 3 + 81 * 4  # ancestors of each level
    assert scores["mean_rank"] < 1.5  # observed 1.12


def test_dag_helpers():
    # 0 -> 1 -> 2 -> 4 and 0 -> 3 -> 4: node 4 has two parents; the longer path goes through 2.
    parents = [[], [0], [1], [0], [3, 2]]
    assert datasets.ancestor_sets(parents) == [set(), {0}, {0, 1}, {0}, {0, 1, 2, 3}]
    assert datasets.spanning_tree(parents) == [-1, 0, 1, 0, 2]
    assert datasets.descendants(parents, 1).tolist() == [1, 2, 4]
    with pytest.raises(ValueError, match="cycle"):
        datasets.topological_order([[1], [0]])


def test_cycle_error_names_its_rows():
    with pytest.raises(ValueError, match="cycle through rows") as caught:
        datasets.topological_order([[], [3], [1], [2]])
    assert set(re.findall(r"\d+", str(caught.value))) == {"1", "2", "3"}


def test_cache_builds_once_and_keeps_no_temporary_file(tmp_path, monkeypatch):
    monkeypatch.setenv("VELMORA_CACHE", str(tmp_path))
    builds = []
    first = _cache.cached("t", lambda: builds.append(1) or {"x": np.arange(3)})
    again = _cache.cached("t", lambda: builds.append(1) or {"x": np.arange(3)})
    assert builds == [1] and np.array_equal(again["x"], first["x"])
    assert [p.name for p in tmp_path.iterdir()] == [f"t-v{_cache.CACHE_VERSION}.npz"]

    def fail_midway(f, **arrays):
        f.write(b"half a file")
        raise OSError("disk full")

    monkeypatch.setattr(_cache.np, "savez", fail_midway)
    with pytest.raises(OSError, match="disk full"):
        _cache.cached("bad", lambda: {"x": np.arange(3)})
    assert [p.name for p in tmp_path.iterdir()] == [f"t-v{_cache.CACHE_VERSION}.npz"]


def test_missing_sources_name_the_package(tmp_path, monkeypatch):
    monkeypatch.setenv("VELMORA_CACHE", str(tmp_path / "cache"))
    monkeypatch.setattr(datasets, "WORDNET_DIR", tmp_path)
    monkeypatch.setattr(datasets, "FASHION_DIR", tmp_path)
    with pytest.raises(FileNotFoundError, match="wordnet-base"):
        datasets.wordnet_mammals()
    with pytest.raises(FileNotFoundError, match="dataset-fashion-mnist"):
        datasets.fashion_mnist()


# --- Fashion-MNIST ---------------------------------------------------------------------------


@needs_fashion
def test_fashion_layout(fashion):
    check_layout(fashion, 60000, 20, 784)
    assert fashion.base.min() == 0.0 and fashion.base.max() == 1.0
    labels = np.log2(fashion.base_masks.astype(np.float64)).astype(int)
    assert np.array_equal(np.bincount(labels), np.full(10, 6000))
    assert fashion.label_names[9] == "Ankle boot"
    assert datasets.fashion_mnist("cosine", n_queries=3).metric == "cosine"
    with pytest.raises(ValueError):
        datasets.fashion_mnist("poincare")


@needs_fashion
@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_fashion_ground_truth_matches_direct_computation(fashion, metric):
    ds = datasets.Dataset(**{**vars(fashion), "metric": metric, "queries": fashion.queries[:4]})
    ids, dists = ds.ground_truth(5)
    sub = np.sort(np.unique(np.concatenate([ids.ravel(), np.arange(0, 60000, 50)])))
    full = direct_distances(metric, ds.queries, ds.base[sub])
    np.testing.assert_allclose(dists, np.sort(full, axis=1)[:, :5], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(datasets.pair_distances(metric, ds.queries, ds.base[ids[:, 0]]),
                               dists[:, 0], rtol=1e-12)  # fmt: skip


# --- Ground truth on random data -------------------------------------------------------------


@pytest.mark.parametrize("metric", ["poincare", "euclidean", "cosine"])
def test_ground_truth_matches_direct_computation(metric):
    ds = random_dataset(metric)
    ids, dists = datasets.ground_truth(ds, 7)
    full = direct_distances(metric, ds.queries, ds.base)
    expected = np.lexsort((np.broadcast_to(np.arange(ds.n), full.shape), full), axis=1)[:, :7]
    assert ids.dtype == np.int64 and dists.dtype == np.float64
    assert np.array_equal(ids, expected)
    np.testing.assert_allclose(dists, np.take_along_axis(full, expected, axis=1), rtol=1e-10)


@pytest.mark.parametrize("metric", ["poincare", "euclidean", "cosine"])
@pytest.mark.parametrize("filter_mask", [0, 1, 5, 7])
def test_filtered_ground_truth_returns_only_matching_rows(metric, filter_mask):
    ds = random_dataset(metric)
    ids, dists = datasets.ground_truth(ds, 10, filter_mask=filter_mask)
    match = (ds.base_masks & np.uint64(filter_mask)) == np.uint64(filter_mask)
    full = direct_distances(metric, ds.queries, ds.base)
    full[:, ~match] = np.inf
    np.testing.assert_allclose(dists, np.sort(full, axis=1)[:, :10], rtol=1e-10)
    assert np.all(match[ids])


def test_filtered_ground_truth_pads_with_minus_one():
    ds = random_dataset("euclidean")
    ds.base_masks[:] = 0
    ds.base_masks[[5, 9, 11]] = 6
    ids, dists = datasets.ground_truth(ds, 5, filter_mask=2)
    assert np.all(np.sort(ids[:, :3], axis=1) == [5, 9, 11])
    assert np.all(ids[:, 3:] == -1) and np.all(np.isinf(dists[:, 3:]))


def test_per_query_filters_and_k_beyond_n():
    ds = random_dataset("euclidean", n=12, nq=4)
    filters = np.array([1, 2, 4, 0], dtype=np.uint64)
    ids, _ = datasets.ground_truth(ds, 20, filter_mask=filters)
    for row, f in zip(ids, filters):
        found = row[row >= 0]
        assert sorted(found) == [i for i in range(12) if ds.base_masks[i] & f == f]


# --- Poincaré helpers ------------------------------------------------------------------------


def ball_points(n=400, d=8, seed=5):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal((n, d))
    return X / np.linalg.norm(X, axis=1, keepdims=True) * np.tanh(rng.uniform(0, 6, (n, 1)))


def test_count_beyond_uses_the_float32_squared_norm():
    bound = np.float32(0.995)
    x = np.float32(np.sqrt(0.995))
    while x * x < bound:  # smallest float32 whose float32 square reaches the bound
        x = np.nextafter(x, np.float32(1))
    while np.nextafter(x, np.float32(0)) ** 2 >= bound:
        x = np.nextafter(x, np.float32(0))
    below = np.nextafter(x, np.float32(0))
    rows = np.array([[x, 0.0], [below, 0.0], [0.0, 0.0]], dtype=np.float32)
    assert hyperbolic.count_beyond(rows) == 1
    assert hyperbolic.count_beyond(rows, bound=0.5) == 2
    assert hyperbolic.count_beyond(np.ones((3, 4), np.float32)) == 3


def test_shrink_keeps_norm_order_and_directions():
    X = hyperbolic.push_to_boundary(ball_points())
    assert np.linalg.norm(X.astype(np.float64), axis=1).max() == pytest.approx(1 - 1e-5)
    assert hyperbolic.count_beyond(X) > len(X) // 3
    Y = hyperbolic.shrink_to_ball(X, 0.99)
    assert hyperbolic.count_beyond(Y) == 0
    assert hyperbolic.stored_sq_norms(Y).max() <= np.float32(0.99)
    nx = np.linalg.norm(X.astype(np.float64), axis=1)
    ny = np.linalg.norm(Y.astype(np.float64), axis=1)
    order = np.argsort(nx, kind="stable")
    assert np.all(np.diff(ny[order]) >= -1e-7)  # increasing up to float32 rounding of Y
    assert ny[order[-1]] - ny[order[len(X) // 2]] > 0.01
    cos = np.sum(X * Y, axis=1) / (nx * ny)
    np.testing.assert_allclose(cos, 1.0, atol=1e-6)


def test_shrink_leaves_an_inside_embedding_alone_and_respects_tight_bounds():
    X = hyperbolic.shrink_to_ball(ball_points(), 0.9)
    np.testing.assert_array_equal(hyperbolic.shrink_to_ball(X, 0.95), X)
    near_one = np.full((50, 3), 1.0, np.float32) / np.float32(np.sqrt(3.0)) * np.float32(0.9999)
    assert hyperbolic.stored_sq_norms(hyperbolic.shrink_to_ball(near_one, 0.995)).max() <= (
        np.float32(0.995)
    )


@needs_wordnet
def test_shrink_mostly_keeps_nearest_neighbours(mammals):
    X = mammals.base
    Y = hyperbolic.shrink_to_ball(X, 0.95)
    q = np.arange(0, mammals.n, 7)

    def knn(Z):
        d = hyperbolic.poincare_distance(Z[q][:, None, :], Z[None, :, :])
        return np.argsort(d, axis=1, kind="stable")[:, 1:11]

    overlap = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(knn(X), knn(Y))])
    assert overlap > 0.75  # observed 0.85 (dim 10) and 0.88 (dim 32)


def test_push_then_shrink_round_trips():
    X = hyperbolic.shrink_to_ball(ball_points(), 0.99)
    back = hyperbolic.shrink_to_ball(hyperbolic.push_to_boundary(X), 0.99)
    np.testing.assert_allclose(back, X, atol=1e-4)


def test_mobius_translation_is_an_isometry():
    X = ball_points(20)
    Y = ball_points(20, seed=6) * 0.3
    d = hyperbolic.poincare_distance(X, hyperbolic.mobius_add(X, Y))
    np.testing.assert_allclose(d, hyperbolic.poincare_distance(np.zeros_like(Y), Y), rtol=1e-9)


def test_lorentz_inner_product_gives_poincare_distance_and_neighbours():
    base = hyperbolic.shrink_to_ball(ball_points(500), 0.99).astype(np.float64)
    queries = hyperbolic.shrink_to_ball(ball_points(40, seed=9), 0.99).astype(np.float64)
    ip = hyperbolic.lorentz_mips_queries(queries) @ hyperbolic.to_lorentz(base).T
    d = hyperbolic.poincare_distance(queries[:, None, :], base[None, :, :])
    np.testing.assert_allclose(np.arccosh(-ip), d, rtol=1e-6, atol=1e-6)
    assert np.array_equal(np.argmax(ip, axis=1), np.argmin(d, axis=1))
    top = np.argsort(-ip, axis=1)[:, :10]
    assert np.array_equal(top, np.argsort(d, axis=1)[:, :10])


def test_poincare_distance_known_values():
    assert hyperbolic.poincare_distance([0.0, 0.0], [0.5, 0.0]) == pytest.approx(np.log(3.0))
    assert hyperbolic.poincare_distance([0.3, 0.1], [0.3, 0.1]) == 0.0
    # min_gap reads a point beyond the sphere as just inside, and leaves points inside alone
    assert np.isnan(hyperbolic.poincare_distance([0.0, 0.0], [1.5, 0.0]))
    far = hyperbolic.poincare_distance([0.0, 0.0], [1.5, 0.0], min_gap=1e-15)
    assert far == pytest.approx(np.arccosh(1.0 + 2.0 * 2.25 / 1e-15))
    inside = hyperbolic.poincare_distance([0.2, 0.1], [-0.5, 0.3], min_gap=1e-15)
    assert inside == hyperbolic.poincare_distance([0.2, 0.1], [-0.5, 0.3])
    np.testing.assert_allclose(hyperbolic.hyperbolic_radius([[0.5, 0.0]]), [np.log(3.0)])
