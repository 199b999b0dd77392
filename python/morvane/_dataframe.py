"""read_bufr's columns made into a pandas DataFrame.

A column comes as its values, which of them are valid, and its kind (int,
float, text, object, datetime, or missing: text of no values, see Column);
missing values become NaN (floats), <NA> (integers), None (text) or NaT.
DataFrame(dict) checks and converts what such columns never need, at a cost
above all the rest of reading a small file, so the frame is made from its
blocks; DataFrame(dict) serves if this pandas lacks the direct constructors,
and gives the same frame.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from . import _columnar

try:  # NumPy's own count, without the Python layer of ndarray.any and .all
    from numpy._core.multiarray import count_nonzero as _count_nonzero
except ImportError:  # pragma: no cover - depends on the NumPy version
    from numpy import count_nonzero as _count_nonzero
count_true = _count_nonzero

# name, values, valid, kind. Kind "missing": a text column no row of which
# holds a value, made holding None throughout (an object array).
Column = tuple[str, np.ndarray, np.ndarray, str]
# The values and validity of a frame's float columns, a row per column in
# their order, already one block.
FloatBlock = tuple[np.ndarray, np.ndarray]

# What a float or datetime column is written as, missing values included.
_FLOAT = np.dtype(np.float64)
_BOOL = np.dtype(bool)
_OBJECT = np.dtype(object)
_DATETIME = np.dtype("datetime64[us]")
_WRITTEN: dict[str, Any] = {"float": _FLOAT, "datetime": _DATETIME}
_FILLS: dict[np.dtype[Any], Any] = {_FLOAT: np.nan, _DATETIME: np.datetime64("NaT", "us")}


def integers(values: np.ndarray, valid: np.ndarray) -> np.ndarray | None:
    """An integer column's values as int64, 0 where missing; None when a
    valid one is not an int64 exactly: 2-02 or 2-07 gave the element a scale
    (or 2-01 a width) it cannot be held with, and its values are read as
    ecCodes reads them, floats."""
    if (values.dtype == _FLOAT and valid.dtype == _BOOL and values.flags.c_contiguous
            and valid.flags.c_contiguous):
        numbers = np.empty(values.size, dtype=np.int64)
        return numbers if _columnar.whole_integers(values, valid, numbers) else None
    if values.dtype.kind not in "iub":
        held = values if valid.all() else values[valid]
        if not ((np.trunc(held) == held) & (np.abs(held) < 2.0 ** 63)).all():
            return None
    numbers = np.zeros(values.size, dtype=np.int64)
    np.copyto(numbers, values, casting="unsafe", where=valid)
    return numbers


def finish(values: np.ndarray, valid: np.ndarray, kind: str, owned: bool = False) -> Any:
    """One column as the frame holds it. `owned`: `values` is a copy of the
    caller's own, to be filled in place."""
    return _finished(values, valid, kind, owned)


def _finished(values: np.ndarray, valid: np.ndarray, kind: str, owned: bool,
              numbers: np.ndarray | None = None) -> Any:
    """`finish`; `numbers`: the `integers` of an integer column, if known."""
    if kind == "int":
        if numbers is None:
            numbers = integers(values, valid)
        if numbers is not None:
            # Always nullable: a column's type must not depend on whether this
            # read happened to meet a missing value (partitions of one query agree).
            # (made past its checks of what is made here to pass them, when
            # this pandas has the way)
            import pandas as pd

            make = getattr(pd.arrays.IntegerArray, "_simple_new", pd.arrays.IntegerArray)
            return make(numbers, ~valid)
        kind = "float"
    if kind == "missing":
        return values if owned else values.copy()  # (made holding None: see Column)
    if kind in ("text", "object"):
        out = values.astype(object, copy=not owned)
        held = count_true(valid)
        if not held:
            out.fill(None)  # (a column all missing, as text often is, costs no mask)
        elif held < valid.size:
            out[~valid] = None
        return out
    out = values.astype(_WRITTEN.get(kind, _FLOAT), copy=not owned)
    return _written(out, out, valid)


def frame_of(columns: list[Column | None], rows: int, owned: bool = False,
             floats: FloatBlock | None = None) -> Any:
    """The frame of the columns, `rows` long each, in their order. `owned`:
    their values are the caller's own copies, which may be changed. Each
    column is let go of (its place in `columns` emptied) once taken, so that
    a large frame is not held twice over. `floats`, if given, is the float
    columns' block as it comes (their missing values written in place): the
    frame's block of floats when no other column joins it."""
    names = tuple([column[0] for column in columns if column is not None])
    if len(names) < len(columns):
        raise ValueError("a column was taken already")
    done: dict[int, Any] = {}  # the columns taken, as finished
    try:
        ways = pandas_ways()
        if ways.from_blocks is not None and ways.sanitize is not None:
            index = _range_index(rows, ways)
            # (the column index a view: an index is immutable, but its name is the frame's own)
            frame = ways.from_blocks(_blocks(columns, rows, owned, ways, index, done, floats), index,
                                     _column_index(names).view())
        else:
            frame = _from_arrays(columns, names, rows, owned, done, ways)
    except (TypeError, ValueError, AttributeError):
        frame = None  # pandas' internals changed under the direct route
    if frame is None:
        import pandas as pd

        # (a column the direct route filled in place is filled the same again)
        data = {}
        for i, name in enumerate(names):
            if columns[i] is None:
                data[name] = done[i]
            else:
                _, values, valid, kind = _take(columns, i)
                data[name] = finish(values, valid, kind, owned)
        return pd.DataFrame(data)
    return frame


def _from_arrays(columns: list[Column | None], names: tuple[str, ...], rows: int, owned: bool,
                 done: dict[int, Any], ways: "_Ways") -> Any | None:
    """The frame made past pandas' checks of its arrays, where this pandas
    has no maker of a frame from blocks; None if it lacks this way too."""
    make, sanitize = ways.from_arrays, ways.sanitize
    if make is None or sanitize is None:
        return None
    index = _range_index(rows, ways)
    arrays = []
    for i in range(len(columns)):
        _, values, valid, kind = _take(columns, i)
        finished = done[i] = finish(values, valid, kind, owned)
        arrays.append(_sanitized(finished, sanitize, index))
    # (a view, as above)
    return make(arrays, columns=_column_index(names).view(), index=index, verify_integrity=False)


def _column_index(names: tuple[str, ...]) -> Any:
    """The frame's columns (kept: inferring their type costs more than a
    small frame's values)."""
    column_index = _COLUMN_INDEXES.get(names)
    if column_index is None:
        import pandas as pd

        if len(_COLUMN_INDEXES) >= _COLUMN_INDEXES_KEPT:
            _COLUMN_INDEXES.clear()
        column_index = _COLUMN_INDEXES[names] = pd.Index(list(names))
    return column_index


def _range_index(rows: int, ways: "_Ways") -> Any:
    """The frame's index, made past its checks where this pandas has the way."""
    return _public_range(rows) if ways.range_index is None else ways.range_index(range(rows))


class _Ways(NamedTuple):
    """pandas' direct constructors, each None where this pandas lacks it."""

    from_arrays: Any      # DataFrame._from_arrays
    sanitize: Any         # its sanitizing of one column
    from_blocks: Any      # its maker of a frame from blocks
    range_index: Any      # RangeIndex._simple_new, of a range
    wrap_datetimes: Any   # DatetimeArray._simple_new
    missing_stays: bool   # sanitizing keeps a column of None as it is


# Looked up on the first frame, all at once.
_PANDAS_WAYS: _Ways | None = None


def pandas_ways() -> _Ways:
    """pandas' direct constructors (looked up on the first call)."""
    return _PANDAS_WAYS or _pandas_ways()


def _pandas_ways() -> _Ways:
    global _PANDAS_WAYS
    import pandas as pd
    from pandas.arrays import DatetimeArray

    sanitize = _sanitizer()
    _PANDAS_WAYS = _Ways(getattr(pd.DataFrame, "_from_arrays", None), sanitize, _block_maker(),
                         getattr(pd.RangeIndex, "_simple_new", None),
                         getattr(DatetimeArray, "_simple_new", None),
                         sanitize is not None and _missing_stays(sanitize))
    return _PANDAS_WAYS


def _public_range(rows: int) -> Any:
    import pandas as pd

    return pd.RangeIndex(rows)


def _take(columns: list[Column | None], i: int) -> Column:
    """Column i, its place emptied."""
    column = columns[i]
    assert column is not None
    columns[i] = None
    return column


def _written(out: np.ndarray, values: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """A float or datetime column written into `out`, missing values as NaN or NaT."""
    if out is not values:
        np.copyto(out, values, casting="unsafe")
    if count_true(valid) < valid.size:
        out[~valid] = _FILLS[out.dtype]
    return out


def _sanitized(array: Any, sanitize: Any, index: Any) -> Any:
    """Of what DataFrame(dict) does to a finished column, only pandas'
    sanitizing may change it (text into its string type); float, datetime
    and IntegerArray columns it takes as they are."""
    if isinstance(array, np.ndarray) and array.dtype == object:
        return sanitize(array, index, copy=False)
    return array


_OBJECT_KINDS = frozenset({"text", "object", "missing"})


def _missing_stays(sanitize: Any) -> bool:
    """Whether pandas' sanitizing keeps a column of None as it is (an object
    array, not copied): looking through such a column costs more than the
    rest of a small one's making."""
    import pandas as pd

    given = np.array([None, None], dtype=object)
    return sanitize(given, pd.RangeIndex(2), copy=False) is given


def _block_column(values: np.ndarray, valid: np.ndarray, kind: str, owned: bool, ways: _Ways, index: Any,
                 numbers: np.ndarray | None = None) -> tuple[Any, Any, Any]:
    """An int, text or object column finished (see `_finished`), as its
    block takes it, and what groups it with others in a block: its NumPy
    type, or the id of its extension type (each such array a block of its
    own)."""
    done = _finished(values, valid, kind, owned, numbers)
    if kind in _OBJECT_KINDS and ways.missing_stays and not count_true(valid):
        array = done  # only None, which pandas would keep as it is
    else:
        array = _sanitized(done, ways.sanitize, index)
    dtype = array.dtype
    return done, array, (dtype if isinstance(dtype, np.dtype) else id(dtype))


def _blocks(columns: list[Column | None], rows: int, owned: bool, ways: _Ways, index: Any,
            done: dict[int, Any], floats: FloatBlock | None = None) -> list[tuple[Any, Any]]:
    """The blocks pandas makes of the columns, in its order, each with its
    columns' places: the columns grouped by type in the order the types
    first come; those of one NumPy type stacked into one block (a new array,
    or `floats` as given: see `frame_of`), each extension array a block of
    its own. Float and datetime columns are written straight into their
    block. Each column taken is put in `done`, as finished."""
    finished: list[Any] = [None] * len(columns)  # each column finished, None until written into its block
    groups: dict[Any, list[int]] = {}
    for i, column in enumerate(columns):
        assert column is not None
        kind = column[3]
        group = _WRITTEN.get(kind)
        numbers = None
        if kind == "int":
            numbers = integers(column[1], column[2])
            if numbers is None:
                group = _FLOAT  # written as floats, as their own
        if group is None:
            columns[i] = None
            if kind == "missing" and ways.missing_stays:
                # only None, which pandas keeps as it is
                done[i] = finished[i] = _finished(column[1], column[2], kind, owned)
                group = _OBJECT
            else:
                done[i], finished[i], group = _block_column(column[1], column[2], kind, owned, ways, index,
                                                            numbers)
        members = groups.get(group)
        if members is None:
            groups[group] = [i]
        else:
            members.append(i)
        del column  # (each column let go of once taken)
    blocks: list[tuple[Any, Any]] = []
    for group, members in groups.items():
        if type(group) is int:  # an extension type, by its id
            for i in members:
                blocks.append((finished[i], slice(i, i + 1)))  # (its place as pandas keeps it)
            continue
        first = members[0]
        if len(members) == 1:
            place: Any = slice(first, first + 1)
            # one column, its block as it is: finished here, or the caller's
            # own, written where it is
            stacked = _alone(finished, columns, first, owned, group, done)
        else:
            place = np.array(members, dtype=np.intp)
            stacked = None
        if stacked is not None:
            stacked = stacked.reshape(1, rows)
        elif floats is not None and group is _FLOAT and len(members) == len(floats[0]):
            # (an integer column read as floats would have joined them)
            # (its columns are left in place: rows of the block, they hold
            # nothing more, and another way to the frame takes them as written)
            stacked, written = floats
            if count_true(written) < written.size:
                np.putmask(stacked, ~written, np.nan)
        else:
            stacked = np.empty((len(members), rows), dtype=group)
            for row, i in enumerate(members):
                array = finished[i]
                if array is None:
                    _, values, valid, _ = _take(columns, i)
                    done[i] = _written(stacked[row], values, valid)
                else:
                    stacked[row] = array
        if group.kind == "M" and ways.wrap_datetimes is not None:
            # as pandas wraps them, with no frequency
            stacked = ways.wrap_datetimes(stacked, dtype=stacked.dtype)
        blocks.append((stacked, place))
    return blocks


def _alone(finished: list[Any], columns: list[Column | None], i: int, owned: bool, dtype: np.dtype[Any],
           done: dict[int, Any]) -> np.ndarray | None:
    """Column i, alone in its block, as the block may hold it as it is: the
    array finished for it (made here), else its values, if the caller's own,
    written where they are; None unless of the block's type, one row,
    contiguous."""
    array = finished[i]
    if array is None:
        column = columns[i]
        if not owned or column is None:
            return None
        array = column[1]
        if not (array.dtype == dtype and array.ndim == 1 and array.flags.c_contiguous):
            return None
        _, values, valid, _ = _take(columns, i)
        array = done[i] = _written(values, values, valid)
        return array
    return array if array.dtype == dtype and array.ndim == 1 and array.flags.c_contiguous else None


def _sanitizer() -> Any:
    """pandas' own sanitizing of one column of a new frame, if it has one
    where this pandas keeps it."""
    try:
        from pandas.core.construction import sanitize_array
    except ImportError:  # pragma: no cover - depends on the pandas version
        return None
    return sanitize_array


def _block_maker() -> Any:
    """pandas' maker of a frame from its blocks, if it has one (pandas 3):
    its own steps, less the manager's checks of blocks made here to fit,
    where this pandas keeps them."""
    try:
        from pandas.api.internals import create_dataframe_from_blocks
    except ImportError:  # pragma: no cover - depends on the pandas version
        return None
    try:
        from pandas import DataFrame
        from pandas._libs.internals import BlockPlacement
        from pandas.core.internals.api import _make_block
        from pandas.core.internals.managers import BlockManager
    except ImportError:  # pragma: no cover - depends on the pandas version
        return create_dataframe_from_blocks
    from_manager = DataFrame._from_mgr
    # The block type of values that _make_block takes as they are, by their
    # type, dtype and dimensions (None: it reshapes or converts them); asking
    # each time costs what the block does. (The dtype itself, not its class:
    # older NumPy has one class for every dtype.)
    plain: dict[tuple[type, Any, int], Any] = {}

    def block(values: Any, place: Any) -> Any:
        key = (type(values), values.dtype, values.ndim)
        klass = plain.get(key, False)
        if klass is False:
            if len(plain) >= _PLAIN_KEPT:
                plain.clear()  # bounded, whatever the input
            made = _make_block(values, place)
            plain[key] = type(made) if made.values is values else None
            return made
        return _make_block(values, place) if klass is None else klass(values, BlockPlacement(place), 2)

    def from_blocks(blocks: list[tuple[Any, np.ndarray]], index: Any, columns: Any) -> Any:
        manager = BlockManager([block(*pair) for pair in blocks], [columns, index], verify_integrity=False)
        return from_manager(manager, manager.axes)

    return from_blocks


_PLAIN_KEPT = 64


# Column indexes by their names: inferring their type costs more than a
# small frame's values.
_COLUMN_INDEXES: dict[tuple[str, ...], Any] = {}
_COLUMN_INDEXES_KEPT = 256
