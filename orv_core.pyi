"""Velmora — multi-metric HNSW vector index (Poincaré / Euclidean / Cosine)"""

import typing

import numpy
import numpy.typing

class HyperbolicIndex:
    def __init__(
        self,
        dimension: typing.SupportsInt | typing.SupportsIndex,
        curvature: typing.SupportsFloat | typing.SupportsIndex = 1.0,
        M: typing.SupportsInt | typing.SupportsIndex = 16,
        metric: str = "poincare",
    ) -> None: ...
    def add_item_flat(
        self,
        vector: typing.Annotated[numpy.typing.ArrayLike, numpy.float32],
        mask: typing.SupportsInt | typing.SupportsIndex = 0,
    ) -> None: ...
    def add_item_and_link(
        self,
        vector: typing.Annotated[numpy.typing.ArrayLike, numpy.float32],
        mask: typing.SupportsInt | typing.SupportsIndex = 0,
        ef_construction: typing.SupportsInt | typing.SupportsIndex = 200,
    ) -> None: ...
    def custom_hnsw_search(
        self,
        query: typing.Annotated[numpy.typing.ArrayLike, numpy.float32],
        k: typing.SupportsInt | typing.SupportsIndex,
        filter_mask: typing.SupportsInt | typing.SupportsIndex = 0,
        ef_search: typing.SupportsInt | typing.SupportsIndex = 50,
        max_radius: typing.SupportsFloat | typing.SupportsIndex = -1.0,
        min_norm: typing.SupportsFloat | typing.SupportsIndex = -1.0,
    ) -> list[int]: ...
    def filtered_search(
        self,
        query: typing.Annotated[numpy.typing.ArrayLike, numpy.float32],
        k: typing.SupportsInt | typing.SupportsIndex,
        filter_mask: typing.SupportsInt | typing.SupportsIndex = 0,
        ef_search: typing.SupportsInt | typing.SupportsIndex = 2000,
        max_radius: typing.SupportsFloat | typing.SupportsIndex = -1.0,
        min_norm: typing.SupportsFloat | typing.SupportsIndex = -1.0,
    ) -> list[int]: ...
    def hardware_flat_search(
        self,
        query: typing.Annotated[numpy.typing.ArrayLike, numpy.float32],
        k: typing.SupportsInt | typing.SupportsIndex,
        filter_mask: typing.SupportsInt | typing.SupportsIndex,
        max_radius: typing.SupportsFloat | typing.SupportsIndex = -1.0,
        min_norm_sq: typing.SupportsFloat | typing.SupportsIndex = -1.0,
    ) -> list[int]: ...
    def save_index(self, filename: str) -> None: ...
    def load_index(self, filename: str) -> None: ...
    def get_stats(self) -> dict: ...
    def get_metric(self) -> str: ...
    def compute_distance(
        self,
        query: typing.Annotated[numpy.typing.ArrayLike, numpy.float32],
        node_id: typing.SupportsInt | typing.SupportsIndex,
    ) -> float: ...
    def get_stored_norm(self, node_id: typing.SupportsInt | typing.SupportsIndex) -> float: ...
    def update_masks(
        self, new_masks: typing.Annotated[numpy.typing.ArrayLike, numpy.uint64]
    ) -> None: ...
