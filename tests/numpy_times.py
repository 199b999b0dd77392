"""data_datetime computed with numpy alone: the oracle the package's
one-pass form is checked against (same parts, same times, same gaps)."""

from __future__ import annotations

import numpy as np

from morvane._computed import TIME_KEYS, Part, _as_float


def split_seconds(second: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
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


def days_from_civil(year: np.ndarray, month: np.ndarray, day: np.ndarray) -> np.ndarray:
    """Days since 1970-01-01 of proleptic Gregorian dates."""
    y = year - (month <= 2)
    era = y // 400
    yoe = y - era * 400
    doy = (153 * np.where(month > 2, month - 3, month + 9) + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    days: np.ndarray = era * 146_097 + doe - 719_468
    return days


def months_of(year: np.ndarray, month: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
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
    return days_from_civil(years, months, np.ones_like(years))[at], lengths[at]


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
    whole, micro = split_seconds(second)
    exists &= (year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12) & (day >= 1)
    exists &= (hour >= 0) & (hour <= 23) & (minute >= 0) & (minute <= 59)
    exists &= (whole >= 0) & (whole <= 59)
    safe_year = np.where(exists, year, 1970)
    safe_month = np.where(exists, month, 1)
    month_start, month_days = months_of(safe_year, safe_month)
    exists &= day <= month_days
    seconds = (month_start + day - 1) * 86_400 + hour * 3_600 + minute * 60 + whole
    stamp = seconds * 1_000_000 + micro
    if not exists.all():
        stamp[~exists] = 0
    stamp = stamp.view("datetime64[us]")
    return stamp, exists
