"""Computed columns, over all rows at once.

Each key's rows come as (values, held, valid): the values, whether the row
holds the key at all, and whether its value is not missing. A computed value
exists only where its parts allow it, as in pdbufr: the date needs year,
month and day; hour, minute and second default to 0 when the row does not
hold them, but a held missing one, or an impossible date, gives no value.
"""

from __future__ import annotations

import numpy as np

Part = tuple[np.ndarray, np.ndarray, np.ndarray]


def _as_float(values: np.ndarray, valid: np.ndarray) -> np.ndarray:
    if values.dtype == object:
        out = np.zeros(len(values))
        for i in np.flatnonzero(valid):
            try:
                out[i] = float(values[i])
            except (TypeError, ValueError):
                valid[i] = False
        return out
    return np.where(valid, values, 0).astype(np.float64)


def _split_seconds(second: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Whole seconds and microseconds, as pdbufr gets them from ecCodes.

    ecCodes makes a value with k decimals as its integer times 10**-k, a
    double that may fall just below the decimal (4.132 becomes
    4.131999...), and pdbufr truncates to the microsecond; the same double
    is rebuilt here from the correctly rounded value so that both agree.
    """
    scaled = second.copy()
    pending = np.ones(second.size, dtype=bool)
    for k in range(7):
        whole_k = np.round(second * 10.0 ** k)
        exact = pending & (np.abs(second * 10.0 ** k - whole_k) < 1e-6)
        scaled[exact] = whole_k[exact] * 10.0 ** -k
        pending &= ~exact
    total = np.trunc(scaled * 1_000_000).astype(np.int64)
    return np.trunc(scaled).astype(np.int64), total % 1_000_000


def data_datetime(parts: dict[str, Part], n: int) -> tuple[np.ndarray, np.ndarray]:
    """datetime64[us] from year..second; returns (values, exists)."""
    exists = np.ones(n, dtype=bool)
    numbers: dict[str, np.ndarray] = {}
    for key in ("year", "month", "day", "hour", "minute", "second"):
        part = parts.get(key)
        if part is None:
            if key in ("year", "month", "day"):
                return np.zeros(n, dtype="datetime64[us]"), np.zeros(n, dtype=bool)
            numbers[key] = np.zeros(n)
            continue
        values, held, valid = part
        valid = valid.copy()
        number = _as_float(values, valid)
        if key in ("year", "month", "day"):
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
    month_start = ((safe_year - 1970).astype("datetime64[Y]").astype("datetime64[M]")
                   + (safe_month - 1).astype("timedelta64[M]"))
    month_days = ((month_start + np.timedelta64(1, "M")).astype("datetime64[D]")
                  - month_start.astype("datetime64[D]")).astype(np.int64)
    exists &= day <= month_days
    day_ = np.where(exists, day, 1)
    stamp = (month_start.astype("datetime64[D]") + (day_ - 1).astype("timedelta64[D]")).astype("datetime64[us]")
    stamp = stamp + (np.where(exists, hour, 0) * 3_600_000_000 + np.where(exists, minute, 0) * 60_000_000
                     + np.where(exists, whole, 0) * 1_000_000 + np.where(exists, micro, 0)
                     ).astype("timedelta64[us]")
    return stamp, exists


def wmo_station_id(parts: dict[str, Part], n: int) -> tuple[np.ndarray, np.ndarray]:
    """blockNumber * 1000 + stationNumber; 0 counts as no value, as in pdbufr."""
    block, station = parts.get("blockNumber"), parts.get("stationNumber")
    if block is None or station is None:
        return np.zeros(n, dtype=np.int64), np.zeros(n, dtype=bool)
    exists = block[2] & station[2]
    b_valid, s_valid = exists.copy(), exists.copy()
    value = (_as_float(block[0], b_valid).astype(np.int64) * 1000
             + _as_float(station[0], s_valid).astype(np.int64))
    exists &= b_valid & s_valid & (value != 0)
    return np.where(exists, value, 0), exists


COMPUTE = {"data_datetime": data_datetime, "WMO_station_id": wmo_station_id}
