"""Vesk C Extension: holds, evaluates and trains small float32 computation graphs.

Type information for the native module. Names that begin with "_" are the
private interface of the modelling library that builds graphs on this module.
"""
from typing import Any, Dict, Iterator, List, Optional, SupportsIndex, Tuple, TypeVar, Union, final, type_check_only

import numpy as np
import numpy.typing as npt

# The loss of a numeric register until its _loss is set: "mean_squared_error".
DEFAULT_LOSS: str

# One (category, weight) pair of a categorical register. Any hashable value
# can be a category; a column of strings gives str categories.
_Category = Tuple[Any, float]

# The saved form of an Interaction or a Graph: a versioned tuple of plain
# values (and, for a graph, its interactions), read back by __setstate__;
# also the compact form that pickling saves (numbers in bytes).
_SavedState = Tuple[Any, ...]

_G = TypeVar("_G", bound="Graph")

# Not a module attribute: the class exists only as the type of Interaction.state.
@type_check_only
@final
class InteractionState:
    """The parameters of one interaction, as attributes and as a dictionary.

    Which attributes exist depends on the interaction's type:

    - "fixed": feature_min, feature_max, auto_adapt
    - "cat": categories
    - "linear", "tanh": w0, w1, bias
    - "gaussian": center0, center1, w0, w1
    - "sine": x0, k
    - "multiply": none

    Reading an attribute the type does not have raises AttributeError.
    Instances come only from Interaction.state.
    """

    feature_min: float
    feature_max: float
    auto_adapt: bool
    categories: List[_Category]
    w0: float
    w1: float
    bias: float
    center0: float
    center1: float
    x0: float
    k: float
    def _to_dict(self) -> Dict[str, Any]:
        """A new dictionary of the type's attributes, in the type's order."""
    def _from_dict(self, d: Dict[str, Any], /) -> None:
        """Sets every attribute of the type that is a key of d (a dict)."""

@final
class Interaction:
    """One node of a graph: a register ("fixed", "cat") or a mathematical
    interaction ("linear", "tanh", "gaussian", "sine", "multiply")."""

    def __init__(
        self,
        type: str,
        latticeloc: Tuple[int, int, int],
        gluamine: int = 0,
        name: Optional[str] = None,
    ) -> None: ...
    def _set_source(self, ix: int, src: int, /) -> None:
        """Sets source ix (0 or 1) to slot src; _set_source(0, -1) makes an
        input register."""
    @property
    def sources(self) -> Tuple[int, ...]: ...
    @property
    def _location(self) -> int: ...
    @property
    def _latticeloc(self) -> Tuple[int, int, int]: ...
    @property
    def state(self) -> InteractionState: ...
    @property
    def type(self) -> str: ...
    @property
    def _gluamine(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def _tooltip(self) -> str: ...
    @property
    def _loss(self) -> Union[str, bytes, None]:
        """The loss name last set on a register; None until set."""
    @_loss.setter
    def _loss(self, value: Union[str, bytes]) -> None: ...
    @property
    def _linkdata(self) -> Any: ...
    @_linkdata.setter
    def _linkdata(self, value: Any) -> None: ...
    @_linkdata.deleter
    def _linkdata(self) -> None: ...
    @property
    def activation(self) -> npt.NDArray[np.float32]: ...
    @property
    def depth(self) -> int: ...
    @property
    def _errcode(self) -> int: ...
    def __getstate__(self) -> _SavedState: ...
    def __setstate__(self, state: _SavedState, /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> Union[str, Tuple[Any, ...]]:
        """The compact form for pickling (from protocol 2)."""
    def __deepcopy__(self, memo: Optional[Dict[int, Any]], /) -> Interaction: ...

class Graph:
    """A fixed number of slots, each holding one Interaction; the last slot
    holds the output register."""

    def __init__(self, size: int = 10) -> None: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> Optional[Interaction]: ...
    def __setitem__(self, index: SupportsIndex, value: Interaction, /) -> None: ...
    def __delitem__(self, index: SupportsIndex, /) -> None: ...
    def __hash__(self) -> int: ...
    def __iter__(self) -> Iterator[Optional[Interaction]]:
        """The slots in order, None for an empty one."""
    @property
    def edge_count(self) -> int: ...
    def __getstate__(self) -> _SavedState: ...
    def __setstate__(self, state: _SavedState, /) -> None: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> Union[str, Tuple[Any, ...]]:
        """The compact form for pickling (from protocol 2), its interactions
        pickled by themselves."""
    def __copy__(self: _G) -> _G:
        """A new graph over the same interactions (copy.copy); copy.deepcopy
        copies the interactions too."""
    def __deepcopy__(self: _G, memo: Optional[Dict[int, Any]], /) -> _G:
        """A new graph over deep copies of the interactions (copy.deepcopy),
        with copy.deepcopy's memo."""
    def _query(
        self,
        xarray: Dict[str, npt.NDArray[Any]],
        yarray: Optional[npt.NDArray[Any]] = None,
    ) -> npt.NDArray[np.float32]:
        """Runs the graph once per sample of xarray (register name -> 1-d
        array) and returns one prediction per sample; with yarray, trains on
        every sample as well."""
