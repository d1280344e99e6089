"""Text vectors by LSA of the WordNet 3.0 glosses (Debian ``wordnet-base``), one row per synset."""

from __future__ import annotations

import re
from collections import Counter

import numpy as np
import scipy.sparse as sp
from scipy.linalg import solve_triangular
from threadpoolctl import threadpool_limits

from ._cache import cached
from ._sources import require, source_dir
from .dataset import Dataset

_DEBIAN_PACKAGE = "wordnet-base"
LEXICOGRAPHER_FILES = [
    "adj.all", "adj.pert", "adv.all", "noun.Tops", "noun.act", "noun.animal", "noun.artifact",
    "noun.attribute", "noun.body", "noun.cognition", "noun.communication", "noun.event",
    "noun.feeling", "noun.food", "noun.group", "noun.location", "noun.motive", "noun.object",
    "noun.person", "noun.phenomenon", "noun.plant", "noun.possession", "noun.process",
    "noun.quantity", "noun.relation", "noun.shape", "noun.state", "noun.substance", "noun.time",
    "verb.body", "verb.change", "verb.cognition", "verb.communication", "verb.competition",
    "verb.consumption", "verb.contact", "verb.creation", "verb.emotion", "verb.motion",
    "verb.perception", "verb.possession", "verb.social", "verb.stative", "verb.weather",
    "adj.ppl",
]  # fmt: skip
PARTS_OF_SPEECH = ["noun", "verb", "adj", "adv"]
GLOSS_LABELS = LEXICOGRAPHER_FILES + [f"pos.{p}" for p in PARTS_OF_SPEECH]
_POS_BIT = len(LEXICOGRAPHER_FILES)  # bit of PARTS_OF_SPEECH[0]; the others follow
_POS_OF_TAG = {"n": 0, "v": 1, "a": 2, "s": 2, "r": 3}
_TOKEN = re.compile(r"[a-z][a-z0-9]+")  # words of two or more characters, lower-cased
MIN_DOCS = 3  # a term must occur in this many base documents
MAX_DOC_SHARE = 0.05  # terms in more of the base documents are function words here
_OVERSAMPLE = 32
_POWER_STEPS = 6


def read_glosses(wordnet_dir=None) -> tuple[list[str], np.ndarray, list[str]]:
    """Every synset of data.{noun,verb,adj,adv}: (document text, mask, first lemma).

    The document is the synset's lemmas followed by its gloss (definition and examples). Mask
    bit i is ``GLOSS_LABELS[i]``: the lexicographer file (0-44), then the part of speech."""
    root = source_dir("WORDNET_DIR") if wordnet_dir is None else wordnet_dir
    docs, masks, words = [], [], []
    for pos in ("noun", "verb", "adj", "adv"):
        path = require(root / f"data.{pos}", _DEBIAN_PACKAGE)
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("  "):  # licence header
                    continue
                head, _, gloss = line.partition(" | ")
                tok = head.split()
                lemmas = tok[4 : 4 + 2 * int(tok[3], 16) : 2]
                docs.append(" ".join(lemmas).replace("_", " ") + " " + gloss)
                bits = (1 << int(tok[1])) | (1 << (_POS_BIT + _POS_OF_TAG[tok[2]]))
                masks.append(bits)
                words.append(lemmas[0])
    return docs, np.array(masks, dtype=np.uint64), words


def _term_counts(docs: list[str]) -> list[Counter]:
    return [Counter(_TOKEN.findall(doc.lower())) for doc in docs]


def _vocabulary(counts: list[Counter]) -> dict[str, int]:
    """Terms in at least MIN_DOCS and at most MAX_DOC_SHARE of the documents, sorted."""
    df = Counter(term for c in counts for term in c)
    top = MAX_DOC_SHARE * len(counts)
    return {t: i for i, t in enumerate(sorted(t for t, m in df.items() if MIN_DOCS <= m <= top))}


def _tf_idf(counts: list[Counter], vocab: dict[str, int], idf: np.ndarray | None):
    """Rows of (1 + log tf) * idf, L2-normalised, as CSR float64; idf from these rows if None."""
    indptr, indices, tf = [0], [], []
    for c in counts:
        terms = sorted((vocab[t], n) for t, n in c.items() if t in vocab)
        indices += [t for t, _ in terms]
        tf += [n for _, n in terms]
        indptr.append(len(indices))
    x = sp.csr_matrix(
        (1.0 + np.log(np.array(tf, dtype=np.float64)), np.array(indices, dtype=np.int64), indptr),
        shape=(len(counts), len(vocab)),
    )
    if idf is None:
        df = np.bincount(x.indices, minlength=len(vocab))
        idf = np.log(len(counts) / df)
    x = x @ sp.diags(idf)
    norms = np.sqrt(np.asarray(x.multiply(x).sum(axis=1)).ravel())
    return sp.diags(1.0 / np.maximum(norms, 1e-300)) @ x, idf


def _orthonormal(a: np.ndarray) -> np.ndarray:
    """Orthonormal columns spanning those of ``a``, by Cholesky QR done twice: two Gram
    products cost far less than a Householder QR of a tall matrix here."""
    for _ in range(2):
        lower = np.linalg.cholesky(a.T @ a)
        a = solve_triangular(lower, a.T, lower=True).T
    return np.ascontiguousarray(a)


def svd_components(x, dim: int, seed: int) -> np.ndarray:
    """The top ``dim`` right singular vectors of sparse ``x`` (n_terms x dim), by seeded
    subspace iteration on x^T x and a Rayleigh-Ritz step; each column's largest entry is made
    positive so that the signs are fixed."""
    rng = np.random.default_rng(seed)
    q = _orthonormal(rng.standard_normal((x.shape[1], dim + _OVERSAMPLE)))
    for _ in range(_POWER_STEPS):
        q = _orthonormal(x.T @ (x @ q))
    _, vectors = np.linalg.eigh(q.T @ (x.T @ (x @ q)))
    v = q @ vectors[:, ::-1][:, :dim]
    rows = np.argmax(np.abs(v), axis=0)
    return v * np.sign(v[rows, np.arange(dim)])


def _build_gloss(dim: int, n_queries: int, seed: int) -> dict:
    docs, masks, words = read_glosses()
    if not 0 < n_queries < len(docs) // 2:
        raise ValueError(f"n_queries must be in 1..{len(docs) // 2 - 1}, got {n_queries}")
    counts = _term_counts(docs)
    nonempty = np.flatnonzero([len(c) > 0 for c in counts])
    rng = np.random.default_rng(seed)
    query_rows = np.sort(rng.choice(nonempty, n_queries, replace=False))
    base_rows = np.setdiff1d(nonempty, query_rows)
    vocab = _vocabulary([counts[i] for i in base_rows])
    x_base, idf = _tf_idf([counts[i] for i in base_rows], vocab, None)
    kept = np.diff(x_base.indptr) > 0  # rows all of whose terms fell out of the vocabulary
    base_rows, x_base = base_rows[kept], x_base[kept]
    x_queries, _ = _tf_idf([counts[i] for i in query_rows], vocab, idf)
    kept = np.diff(x_queries.indptr) > 0
    query_rows, x_queries = query_rows[kept], x_queries[kept]
    components = svd_components(x_base, dim, seed + 1)
    return {
        "base": np.ascontiguousarray(x_base @ components, dtype=np.float32),
        "queries": np.ascontiguousarray(x_queries @ components, dtype=np.float32),
        "base_masks": masks[base_rows], "query_masks": masks[query_rows],
        "base_rows": base_rows, "query_rows": query_rows,
        "words": np.frombuffer("\n".join(words[i] for i in base_rows).encode(), dtype=np.uint8),
        "n_terms": np.array(len(vocab)),
    }  # fmt: skip


def _build_one_thread(dim: int, n_queries: int) -> dict:
    """The build with BLAS on one thread: OpenBLAS's sums differ in their last bits with the
    thread count, and the vectors must be the same bytes whatever the caller's setting."""
    with threadpool_limits(1):
        return _build_gloss(dim, n_queries, 0)


def wordnet_glosses(metric: str = "cosine", dim: int = 128, n_queries: int = 10000) -> Dataset:
    """LSA vectors of the 117 659 WordNet 3.0 synsets' lemmas and glosses, ``dim`` dimensions.

    Document = the synset's lemmas and gloss; tokens are lower-cased runs of letters and digits
    of two or more characters. ``n_queries`` documents drawn at random (seed 0) are held out as
    queries; the vocabulary (terms in >= 3 base documents and in at most 5 % of them: 34 486),
    the IDF and the SVD come from the base documents only. Rows are the TF-IDF rows
    ((1 + log tf) * log(N / df), unit length) projected on the top ``dim`` right singular
    vectors of the base matrix (seeded subspace iteration), so their norms (0-1) are the share
    of the document kept: cosine and squared Euclidean rank neighbours differently. Documents
    with no vocabulary term are dropped (2 base rows and no query by default), which leaves
    107 657 base rows. Masks: bit i = ``GLOSS_LABELS[i]``, the lexicographer file (bits 0-44)
    and the part of speech (bits 45-48, satellites as adj). ``metric`` is "euclidean" or
    "cosine" (same vectors). ``words`` is the first lemma of each base row.

    First build 10 s on a quiet 2-core machine, up to 40 s on a busy one (dim 128), then cached
    (63 MB). The same bytes on every build: BLAS runs on one thread for it.
    """
    if metric not in ("euclidean", "cosine"):
        raise ValueError(f"wordnet_glosses serves the euclidean and cosine metrics, not {metric!r}")
    a = cached(f"wordnet_glosses-d{dim}-q{n_queries}", lambda: _build_one_thread(dim, n_queries))
    return Dataset(
        name="wordnet_glosses", metric=metric, base=a["base"], queries=a["queries"],
        base_masks=a["base_masks"], query_masks=a["query_masks"],
        label_names=list(GLOSS_LABELS), words=a["words"].tobytes().decode().split("\n"),
    )  # fmt: skip
