"""Benchmark data sets for velmora, built from Debian-packaged sources and cached on disk.

Loaders return a :class:`Dataset`; :func:`ground_truth` gives exact k nearest neighbours by brute
force in float64, optionally under an "all-of" filter mask.

- :func:`wordnet_nouns` / :func:`wordnet_mammals`: the WordNet 3.0 noun hierarchy (package
  ``wordnet-base``) embedded in the Poincaré ball by :func:`embed_hierarchy`; mask bit i is the
  lexicographer category ``NOUN_CATEGORIES[i]`` (file number i + 3).
- :func:`fashion_mnist`: Fashion-MNIST (package ``dataset-fashion-mnist``), euclidean or cosine.
- :func:`wordnet_glosses`: 128-d LSA vectors of the WordNet glosses (``wordnet-base``), euclidean
  or cosine; mask bits are the lexicographer file and the part of speech (``GLOSS_LABELS``).
- :func:`synthetic_mixture`: up to millions of rows of a seeded mixture of low-rank Gaussian
  clusters, euclidean or cosine; any prefix of the rows is cheap to draw.

Caches live in ``$VELMORA_CACHE`` or ``~/.cache/velmora``; delete a file there to rebuild it.
The loaders read ``WORDNET_DIR`` and ``FASHION_DIR`` from here at each call, so assigning them
points the loaders at other copies of the sources.
"""

from pathlib import Path

from ._cache import cache_dir
from .dataset import Dataset
from .embedding import embed_hierarchy, reconstruction_scores
from .exact import METRICS, ground_truth, pair_distances
from .fashion import FASHION_CLASSES, fashion_mnist
from .gloss import GLOSS_LABELS, LEXICOGRAPHER_FILES, read_glosses, wordnet_glosses
from .hierarchy import ancestor_sets, descendants, spanning_tree, topological_order
from .synthetic import SYNTHETIC_LABELS, synthetic_mixture
from .wordnet import (
    MAMMAL_OFFSET,
    NOUN_CATEGORIES,
    NounGraph,
    embedding_quality,
    read_first_senses,
    read_noun_graph,
    subgraph,
    wordnet_mammals,
    wordnet_nouns,
)

WORDNET_DIR = Path("/usr/share/wordnet")
FASHION_DIR = Path("/usr/share/datasets/fashion-mnist")

__all__ = [
    "FASHION_CLASSES", "FASHION_DIR", "GLOSS_LABELS", "LEXICOGRAPHER_FILES", "MAMMAL_OFFSET",
    "METRICS", "NOUN_CATEGORIES", "SYNTHETIC_LABELS", "WORDNET_DIR", "Dataset", "NounGraph",
    "ancestor_sets", "cache_dir", "descendants", "embed_hierarchy", "embedding_quality",
    "fashion_mnist", "ground_truth", "pair_distances", "read_first_senses", "read_glosses",
    "read_noun_graph", "reconstruction_scores", "spanning_tree", "subgraph", "synthetic_mixture",
    "topological_order", "wordnet_glosses", "wordnet_mammals", "wordnet_nouns",
]  # fmt: skip
