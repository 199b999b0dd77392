"""Computed columns, over all rows at once.

Each key's rows come as (values, held, valid): the values, whether the row
holds the key at all, and whether its value is not missing. A computed value
exists only where its parts allow it, as in pdbufr: the date needs year,
month and day; hour, minute and second default to 0 when the row does not
hold them, but a held missing one, or an impossible date, gives no value.
"""

from __future__ import annotations

import numpy as np

try:
    from . import _columnar
except ImportError:  # a build without the columnar module: numpy computes the times
    _columnar = None  # type: ignore[assignment]

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


def _split_seconds(second: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Whole seconds and microseconds, as pdbufr gets them from ecCodes.

    ecCodes makes a value with k decimals as its integer times 10**-k, a
    double that may fall just below the decimal (4.132 becomes
    4.131999...), and pdbufr truncates to the microsecond; the same double
    is rebuilt here from the correctly rounded value so that both agree.
    """
    whole = np.trunc(second)
    if np.array_equal(whole, second):
        return whole.astype(np.int64), np.zeros(second.size, dtype=np.int64)
    scaled = second.copy()
    pending = np.ones(second.size, dtype=bool)
    for k in range(7):
        if not pending.any():
            break
        whole_k = np.round(second * 10.0 ** k)
        exact = pending & (np.abs(second * 10.0 ** k - whole_k) < 1e-6)
        scaled[exact] = whole_k[exact] * 10.0 ** -k
        pending &= ~exact
    total = np.trunc(scaled * 1_000_000).astype(np.int64)
    return np.trunc(scaled).astype(np.int64), total % 1_000_000


_MONTH_DAYS = np.array([31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31], dtype=np.int64)


def _days_from_civil(year: np.ndarray, month: np.ndarray, day: np.ndarray) -> np.ndarray:
    """Days since 1970-01-01 of proleptic Gregorian dates."""
    y = year - (month <= 2)
    era = y // 400
    yoe = y - era * 400
    doy = (153 * np.where(month > 2, month - 3, month + 9) + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    days: np.ndarray = era * 146_097 + doe - 719_468
    return days


def _months(year: np.ndarray, month: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Days from 1970-01-01 to the first of each (year, month) and the
    month's length, looked up in a table of the years present (observations
    span few years; per-value calendar arithmetic costs far more)."""
    if year.size == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    first = int(year.min())
    years = np.repeat(np.arange(first, int(year.max()) + 1, dtype=np.int64), 12)
    months = np.tile(np.arange(1, 13, dtype=np.int64), years.size // 12)
    leap = (years % 4 == 0) & ((years % 100 != 0) | (years % 400 == 0))
    lengths = _MONTH_DAYS[months - 1] + ((months == 2) & leap)
    at = (year - first) * 12 + month - 1
    return _days_from_civil(years, months, np.ones_like(years))[at], lengths[at]


def data_datetime(parts: dict[str, Part], n: int) -> tuple[np.ndarray, np.ndarray]:
    """datetime64[us] from year..second; returns (values, exists)."""
    if any(key not in parts for key in TIME_KEYS[:3]):
        return np.zeros(n, dtype="datetime64[us]"), np.zeros(n, dtype=bool)
    if _columnar is None:
        return numpy_data_datetime(parts, n)
    # One pass in C++ over the rows, reading the parts where they are: the
    # numpy form makes dozens of arrays.
    given: list[tuple[np.ndarray, np.ndarray, np.ndarray] | None] = []
    for key in TIME_KEYS:
        part = parts.get(key)
        if part is None:
            given.append(None)
            continue
        number, held, valid = part
        if number.dtype == object:
            valid = valid.copy()  # the frame's own stays as it is
            number = _as_float(number, valid)
        given.append((np.ascontiguousarray(number, dtype=np.float64), np.ascontiguousarray(held, dtype=bool),
                      np.ascontiguousarray(valid, dtype=bool)))
    micros, exists = np.empty(n, dtype=np.int64), np.empty(n, dtype=bool)
    _columnar.report_times(tuple(given), micros, exists)
    return micros.view("datetime64[us]"), exists


def numpy_data_datetime(parts: dict[str, Part], n: int) -> tuple[np.ndarray, np.ndarray]:
    """data_datetime with numpy alone."""
    exists = np.ones(n, dtype=bool)
    numbers: dict[str, np.ndarray] = {}
    for key in TIME_KEYS:
        part = parts.get(key)
        if part is None:
            # Zeros: an absent date part then fails the range checks below.
            numbers[key] = np.zeros(n)
            continue
        values, held, valid = part
        valid = valid.copy()
        number = _as_float(values, valid)
        if key in TIME_KEYS[:3] or held.all():
            exists &= valid
        else:
            exists &= valid | ~held
            number = np.where(held, number, 0.0)
        numbers[key] = number
    year = numbers["year"].astype(np.int64)
    month = numbers["month"].astype(np.int64)
    day = numbers["day"].astype(np.int64)
    hour = numbers["hour"].astype(np.int64)
    minute = numbers["minute"].astype(np.int64)
    second = numbers["second"]
    whole, micro = _split_seconds(second)
    exists &= (year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12) & (day >= 1)
    exists &= (hour >= 0) & (hour <= 23) & (minute >= 0) & (minute <= 59)
    exists &= (whole >= 0) & (whole <= 59)
    safe_year = np.where(exists, year, 1970)
    safe_month = np.where(exists, month, 1)
    month_start, month_days = _months(safe_year, safe_month)
    exists &= day <= month_days
    seconds = (month_start + day - 1) * 86_400 + hour * 3_600 + minute * 60 + whole
    stamp = seconds * 1_000_000 + micro
    if not exists.all():
        stamp[~exists] = 0
    stamp = stamp.view("datetime64[us]")
    return stamp, exists


def wmo_station_id(parts: dict[str, Part], n: int) -> tuple[np.ndarray, np.ndarray]:
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
