"""Computed columns, over all rows at once.

Each key's rows come as (values, held, valid): the values, whether the row
holds the key at all, and whether its value is not missing. A computed value
exists only where its parts allow it, as in pdbufr: the date needs year,
month and day; hour, minute and second default to 0 when the row does not
hold them, but a held missing one, or an impossible date, gives no value.
"""

from __future__ import annotations

import numpy as np

from . import _columnar

Part = tuple[np.ndarray, np.ndarray, np.ndarray]
TIME_KEYS = ("year", "month", "day", "hour", "minute", "second")


def _as_float(values: np.ndarray, valid: np.ndarray) -> np.ndarray:
    if values.dtype == object:
        out = np.zeros(len(values))
        for i in np.flatnonzero(valid):
            try:
                out[i] = float(values[i])
            except (TypeError, ValueError):
                valid[i] = False
        return out
    return np.where(valid, values, 0).astype(np.float64, copy=False)


_FLOAT = np.dtype(np.float64)
_BOOL = np.dtype(bool)
_MICROS = np.dtype("datetime64[us]")


def _contiguous(array: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """`array` as one run of `dtype`; the parts mostly come so already, and
    asking NumPy to make sure of eighteen of them costs more than looking."""
    if array.dtype is dtype and array.flags.c_contiguous:
        return array
    return np.ascontiguousarray(array, dtype=dtype)


def data_datetime(parts: dict[str, Part], n: int, laid_out: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """datetime64[us] from year..second; returns (values, exists).
    `laid_out`: the parts' arrays are runs of their types already (as a
    batch's rows are), passed as they are."""
    if "year" not in parts or "month" not in parts or "day" not in parts:  # (TIME_KEYS[:3])
        return np.zeros(n, dtype=_MICROS), np.zeros(n, dtype=bool)
    # One pass in C++ over the rows, reading the parts where they are: the
    # numpy form makes dozens of arrays.
    given: list[tuple[np.ndarray, np.ndarray, np.ndarray] | None] = []
    for key in TIME_KEYS:
        part = parts.get(key)
        if part is None:
            given.append(None)
            continue
        number, held, valid = part
        if number.dtype.kind == "O":
            valid = valid.copy()  # the frame's own stays as it is
            number = _as_float(number, valid)
        elif laid_out:
            given.append(part)
            continue
        given.append((_contiguous(number, _FLOAT), _contiguous(held, _BOOL), _contiguous(valid, _BOOL)))
    micros, exists = np.empty(n, dtype=np.int64), np.empty(n, dtype=bool)
    _columnar.report_times(tuple(given), micros, exists)
    return micros.view(_MICROS), exists


def wmo_station_id(parts: dict[str, Part], n: int, laid_out: bool = False) -> tuple[np.ndarray, np.ndarray]:
    """blockNumber * 1000 + stationNumber; 0 counts as no value, as in pdbufr."""
    block, station = parts.get("blockNumber"), parts.get("stationNumber")
    if block is None or station is None:
        return np.zeros(n, dtype=np.int64), np.zeros(n, dtype=bool)
    exists = block[2] & station[2]
    b_valid, s_valid = exists.copy(), exists.copy()
    b, s = _as_float(block[0], b_valid), _as_float(station[0], s_valid)
    # 2-02 or 2-07 can scale either past what int64 holds: no station id then
    with np.errstate(invalid="ignore"):
        exists &= b_valid & s_valid & (np.abs(b) < 2.0 ** 52 / 1000) & (np.abs(s) < 2.0 ** 52)
    value = np.where(exists, b, 0).astype(np.int64) * 1000 + np.where(exists, s, 0).astype(np.int64)
    exists &= value != 0
    return np.where(exists, value, 0), exists


COMPUTE = {"data_datetime": data_datetime, "WMO_station_id": wmo_station_id}
