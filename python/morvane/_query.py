"""What `read_bufr` is asked for: columns, filters and the header keys.

Keys are named as ecCodes names them: a Table B abbreviation for a data
element, an ecCodes header key (dataCategory, typicalDate, ...) for a field
of sections 0 to 3, or a computed key (data_datetime, WMO_station_id).
"""

from __future__ import annotations

import datetime
from collections.abc import Callable, Iterable, Mapping
from typing import Any

import numpy as np

import _morvane

from ._reader import dated_year

# Header keys in the order ecCodes lists them, each read from the parsed
# message; `edition` is the octet as found (2, 3 or 4).
HeaderGetter = Callable[[_morvane.BufrMessage, int], Any]

HEADER_KEYS: dict[str, HeaderGetter] = {
    "edition": lambda m, ed: ed,
    "masterTableNumber": lambda m, ed: m.master_table_number,
    "bufrHeaderCentre": lambda m, ed: m.originating_centre,
    "bufrHeaderSubCentre": lambda m, ed: m.originating_subcentre,
    "updateSequenceNumber": lambda m, ed: m.update_sequence_number,
    "dataCategory": lambda m, ed: m.data_category,
    # Edition 3 headers have no such field (ecCodes reads it as absent).
    "internationalDataSubCategory": lambda m, ed: m.international_data_subcategory if ed >= 4 else None,
    "dataSubCategory": lambda m, ed: m.local_data_subcategory,
    "masterTablesVersionNumber": lambda m, ed: m.master_tables_version_number,
    "localTablesVersionNumber": lambda m, ed: m.local_tables_version_number,
    "typicalYear": lambda m, ed: m.typical_year,
    "typicalMonth": lambda m, ed: m.typical_month,
    "typicalDay": lambda m, ed: m.typical_day,
    "typicalHour": lambda m, ed: m.typical_hour,
    "typicalMinute": lambda m, ed: m.typical_minute,
    "typicalSecond": lambda m, ed: m.typical_second,
    "typicalDate": lambda m, ed: f"{dated_year(m):04d}{m.typical_month:02d}{m.typical_day:02d}",
    "typicalTime": lambda m, ed: f"{m.typical_hour:02d}{m.typical_minute:02d}{m.typical_second:02d}",
    "numberOfSubsets": lambda m, ed: m.number_of_subsets,
    "observedData": lambda m, ed: int(m.observed_data),
    "compressedData": lambda m, ed: int(m.compressed_data),
}

# Computed keys: the keys they are made of, in the order ecCodes lists the
# computed columns.
COMPUTED_KEYS: dict[str, tuple[str, ...]] = {
    "data_datetime": ("year", "month", "day", "hour", "minute", "second"),
    "WMO_station_id": ("blockNumber", "stationNumber"),
}

# The message's position in the input, counted from 1, as a pseudo-key.
COUNT_KEY = "count"


class Filter:
    """A condition on one key's values; a missing value never matches."""

    def matches(self, values: np.ndarray, present: np.ndarray) -> np.ndarray:
        raise NotImplementedError

    def match_one(self, value: Any) -> bool:
        if value is None:
            return False
        if isinstance(value, str):
            arr = np.array([value], dtype=object)
        else:
            arr = np.array([value])
        return bool(self.matches(arr, np.ones(1, dtype=bool))[0])


class ValueFilter(Filter):
    def __init__(self, wanted: Any) -> None:
        if isinstance(wanted, Iterable) and not isinstance(wanted, (str, bytes)):
            self.wanted = set(wanted)
        else:
            self.wanted = {wanted}
        self._numbers = np.array([float(w) for w in self.wanted if isinstance(w, (int, float, np.number))
                                  and not isinstance(w, bool)], dtype=np.float64)

    def matches(self, values: np.ndarray, present: np.ndarray) -> np.ndarray:
        if values.dtype == object:
            flat = values.reshape(-1)
            hit = np.fromiter((v in self.wanted for v in flat), dtype=bool,
                              count=flat.size).reshape(values.shape)
        elif self._numbers.size <= 4:
            hit = np.zeros(values.shape, dtype=bool)
            for number in self._numbers:
                hit |= values == number
        else:
            hit = np.isin(values, self._numbers)
        out: np.ndarray = hit & present
        return out

    def __repr__(self) -> str:
        return f"ValueFilter({sorted(self.wanted, key=repr)})"


class FilterError(ValueError):
    """A filter that cannot be applied to its key's values."""


def _kind_of(values: np.ndarray, present: np.ndarray) -> str:
    if values.dtype.kind in "biuf":
        return "numbers"
    if values.dtype.kind == "M":
        return "times"
    sample = next((v for v, p in zip(values.reshape(-1).tolist(), present.reshape(-1).tolist()) if p), None)
    if isinstance(sample, str):
        return "text"
    return "times" if isinstance(sample, (datetime.datetime, datetime.date)) else f"{type(sample).__name__} values"


class RangeFilter(Filter):
    """slice(lo, hi): lo <= value <= hi, either end open when None."""

    def __init__(self, bounds: slice, key: str | None = None) -> None:
        self.low, self.high = bounds.start, bounds.stop
        self.key = key

    def matches(self, values: np.ndarray, present: np.ndarray) -> np.ndarray:
        try:
            return self._matches(values, present)
        except TypeError:
            # e.g. `--where data_datetime=2020:2021` (times against numbers) or
            # number bounds on a text key: the user's range, not the data, is at fault
            shown = f"{self.key}=" if self.key else ""
            low, high = ("" if b is None else b for b in (self.low, self.high))
            raise FilterError(f"filter {shown}{low}:{high}: its bounds cannot be compared with "
                              f"{_kind_of(values, present)}") from None

    def _matches(self, values: np.ndarray, present: np.ndarray) -> np.ndarray:
        hit = present.copy()
        if values.dtype == object:
            flat, out = values.reshape(-1), hit.reshape(-1)
            for i, v in enumerate(flat):
                if out[i]:
                    out[i] = ((self.low is None or not v < self.low)
                              and (self.high is None or not v > self.high))
            return out.reshape(values.shape)
        with np.errstate(invalid="ignore"):
            if self.low is not None:
                hit &= ~(values < self.low)
            if self.high is not None:
                hit &= ~(values > self.high)
        return hit

    def __repr__(self) -> str:
        return f"RangeFilter({self.low}, {self.high})"


class CallableFilter(Filter):
    """A user function, called once per distinct present value."""

    def __init__(self, function: Callable[[Any], Any]) -> None:
        self.function = function

    def matches(self, values: np.ndarray, present: np.ndarray) -> np.ndarray:
        hit = np.zeros(values.shape, dtype=bool)
        if not present.any():
            return hit
        chosen = values[present]
        if chosen.dtype == object:
            verdict = {v: bool(self.function(v)) for v in set(chosen.tolist())}
            hit[present] = [verdict[v] for v in chosen.tolist()]
        else:
            distinct, inverse = np.unique(chosen, return_inverse=True)
            answers = np.array([bool(self.function(v)) for v in distinct.tolist()], dtype=bool)
            hit[present] = answers[inverse]
        return hit


def make_filter(condition: Any, key: str | None = None) -> Filter:
    if isinstance(condition, Filter):
        return condition
    if isinstance(condition, slice):
        return RangeFilter(condition, key)
    if callable(condition):
        return CallableFilter(condition)
    return ValueFilter(condition)


class Query:
    """Columns and filters, resolved once for a whole read."""

    def __init__(self, columns: str | Iterable[str], filters: Mapping[str, Any] | None,
                 required_columns: bool | Iterable[str]) -> None:
        self.columns: tuple[str, ...] = (columns,) if isinstance(columns, str) else tuple(columns)
        if not self.columns:
            raise ValueError("read_bufr needs at least one column")
        self.filters: dict[str, Filter] = {k: make_filter(v, k) for k, v in (filters or {}).items()}
        if required_columns is True:
            self.required = frozenset(self.columns)
        elif required_columns is False:
            self.required = frozenset()
        elif isinstance(required_columns, Iterable) and not isinstance(required_columns, str):
            self.required = frozenset(required_columns)
        else:
            raise TypeError("required_columns must be a bool or an iterable of keys")
        wanted = set(self.columns) | set(self.filters)
        self.column_set = frozenset(self.columns)
        self.computed = tuple(k for k in COMPUTED_KEYS if k in wanted)
        for key in self.computed:
            wanted |= set(COMPUTED_KEYS[key])
        # Keys whose values are looked at, whether shown or not
        self.keys = frozenset(wanted - set(COMPUTED_KEYS))
        self.header_keys = tuple(k for k in HEADER_KEYS if k in self.keys)
        self.header_filters = {k: f for k, f in self.filters.items() if k in HEADER_KEYS}
        # Filters tested while walking a message's keys (computed ones are tested on rows)
        self.walk_filters = {k: f for k, f in self.filters.items() if k not in COMPUTED_KEYS}
        self.filter_names = frozenset(self.walk_filters)
        self.count_filter = self.filters.get(COUNT_KEY)
        # Keys whose values are gathered: the columns and the parts of the
        # computed ones, which are made of their parts, never gathered themselves
        parts = {p for k in self.computed for p in COMPUTED_KEYS[k]}
        self.gathered: tuple[str, ...] = tuple(sorted((set(self.columns) | parts) - set(self.computed)))
        # What the rows' layout in a template, and so a batch's frame plan,
        # depend on: the same for equal queries, however they were given
        self.layout_form = (self.keys, self.gathered, self.column_set, self.header_keys, self.filter_names)


# Queries without filters, by their columns and required_columns: a read of
# many small files asks the same each time.
_QUERIES: dict[tuple[tuple[str, ...], bool], Query] = {}
_QUERIES_KEPT = 256


def query_of(columns: str | Iterable[str], filters: Mapping[str, Any] | None,
             required_columns: bool | Iterable[str]) -> Query:
    """The Query of these arguments; one without filters is made once."""
    if filters or not isinstance(required_columns, bool):
        return Query(columns, filters, required_columns)
    names = (columns,) if isinstance(columns, str) else tuple(columns)
    key = (names, required_columns)
    try:
        found = _QUERIES.get(key)
    except TypeError:  # an unhashable column name: Query says what is wrong
        return Query(names, filters, required_columns)
    if found is None:
        found = Query(names, filters, required_columns)
        if len(_QUERIES) >= _QUERIES_KEPT:
            _QUERIES.clear()
        _QUERIES[key] = found
    return found
