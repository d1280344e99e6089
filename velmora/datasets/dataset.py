"""The :class:`Dataset` every loader returns."""

from __future__ import annotations

import dataclasses

import numpy as np

from .exact import ground_truth


@dataclasses.dataclass(eq=False)
class Dataset:
    """Base and query vectors with their filter masks.

    ``base`` and ``queries`` are float32 C-contiguous (n x d); masks are uint64 with bit i set for
    label ``label_names[i]``. WordNet sets also carry ``words`` (first lemma of each base row),
    ``offsets`` (WordNet synset offsets), ``query_ids`` (base row each query was drawn from) and
    ``edges`` (direct hypernym pairs (child row, parent row), int64).
    """

    name: str
    metric: str
    base: np.ndarray
    queries: np.ndarray
    base_masks: np.ndarray
    query_masks: np.ndarray
    label_names: list[str]
    words: list[str] | None = None
    offsets: np.ndarray | None = None
    query_ids: np.ndarray | None = None
    edges: np.ndarray | None = None
    lemma_rows: dict[str, int] = dataclasses.field(default_factory=dict, repr=False)

    @property
    def n(self) -> int:
        return self.base.shape[0]

    @property
    def dim(self) -> int:
        return self.base.shape[1]

    def ground_truth(self, k: int, filter_mask=None) -> tuple[np.ndarray, np.ndarray]:
        """Exact k nearest neighbours of ``self.queries``; see :func:`ground_truth`."""
        return ground_truth(self, k, filter_mask)

    def index_of(self, lemma: str) -> int:
        """Base row of the most frequent sense of ``lemma`` present here (e.g. "dog")."""
        try:
            return self.lemma_rows[lemma]
        except KeyError:
            raise KeyError(f"{lemma!r} names no synset of {self.name}") from None
