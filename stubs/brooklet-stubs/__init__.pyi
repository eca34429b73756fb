"""Muskingum flood routing of hydrographs through river reaches."""

# Type information for the `brooklet` extension module, installed beside it as a stub-only
# package. `reach` is an attribute of `brooklet`, not an importable submodule, so it is typed
# as an object here: `from brooklet import reach` and `brooklet.reach` check, while
# `import brooklet.reach` is refused as it is at run time.

import datetime
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

__all__ = ["reach"]

# What the float conversion accepts: float, int, bool, NumPy scalars, anything with
# __float__ or __index__.
_FloatLike: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _NumberSequence(Protocol):
    """A sequence of numbers: list, tuple, range, bytes, a one-dimensional NumPy array, ..."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _FloatLike: ...

@final
@type_check_only
class _ReachModule:
    __name__: str
    __all__: list[str]

    @staticmethod
    def muskingum_routing(
        inflow: _NumberSequence,
        k: datetime.timedelta,
        x: _FloatLike,
        time_step: datetime.timedelta,
        sub_reaches: SupportsIndex,
        initial_outflow: _FloatLike,
    ) -> list[float]:
        """Route an inflow hydrograph through a reach by the Muskingum method.

        inflow: flows at successive routing intervals, in any flow unit.
        k: storage constant (travel time) of the whole reach.
        x: weighting factor, usually 0.1 to 0.3; outside [0.0, 0.5] a UserWarning is issued.
        time_step: the routing interval.
        sub_reaches: number of equal parts the reach is routed through, one after the other.
        initial_outflow: outflow at the first interval, in the unit of `inflow`.

        Returns the outflow hydrograph as a new list of floats as long as `inflow`.
        """

reach: _ReachModule
