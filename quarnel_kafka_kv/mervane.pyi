"""Dictionary-style access to a JSON store."""
from typing import Any, Hashable, Iterable, Iterator, Mapping

from .quillet import KafkaJsonCompaction

class Kollection:
    """A data-free view of one collection: coll[key], coll[key] = value, del coll[key], `key in
    coll`, iter(coll), len(coll), keys(), values(), items() and get()."""

    kdb: KafkaJsonCompaction
    name: Hashable

    def __init__(self, kdb: KafkaJsonCompaction, name: Hashable) -> None: ...
    def __contains__(self, item: object) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
    def keys(self) -> list[str]: ...
    def values(self) -> Iterator[Any]:
        """Lazy: keys are listed when first advanced, each value read when produced."""
    def items(self) -> Iterator[tuple[str, Any]]:
        """Lazy: keys are listed when first advanced, each value read when produced."""
    def __getitem__(self, key: str) -> Any:
        """The value, or None when missing (never KeyError)."""
    def get(self, key: str, default: Any = None) -> Any: ...
    def __setitem__(self, key: str, value: Any) -> None: ...
    def __delitem__(self, key: str) -> None: ...
    def update(self, other: Mapping[str, Any] | Iterable[tuple[str, Any]] = (), /, **kwargs: Any) -> None:
        """dict.update as one batch (set_collection_values): other's items, then kwargs; None deletes."""

class KafkaDB(KafkaJsonCompaction):
    """A store used as a dictionary of collections."""

    collections: dict[Hashable, Kollection]

    def __enter__(self) -> "KafkaDB": ...
    def __getitem__(self, key: Hashable) -> Kollection: ...
    def __setitem__(self, key: Hashable, value: dict[str, Any]) -> None:
        """Merge the dict into the collection in one batch (set_collection_values); None deletes."""
    def __contains__(self, name: object) -> bool:
        """Whether name is one of get_collections()."""
    def __iter__(self) -> Iterator[str]: ...
    def __len__(self) -> int: ...
