"""Batches in the hands of NumPy, pyarrow, polars and duckdb.

Each library reads a batch through the Arrow C interfaces (or the buffer
protocol for NumPy) and must see what the batch itself holds: names, types,
values and nulls. Then read_arrow's stream of batches as one Arrow stream.
"""

from __future__ import annotations

import pytest

from conftest import BUFR_DIR, require_shared

np = pytest.importorskip("numpy")
morvane = pytest.importorskip("morvane")
columnar = pytest.importorskip("morvane._columnar")

ARROW_TYPES = {"int64": ("int64",), "float64": ("double",), "text": ("string", "large_string")}
# Compressed with text and associated fields; uncompressed SYNOP of 25 subsets.
FILES = ["aircraft_mrar_compressed.bufr",
         "Z__C_EDZW_20210516120400_bda01_synop_bufr_GER_999999_999999__MW_466.bufr"]


def first_batch(name: str):
    return morvane.read_messages(BUFR_DIR / name)[0].to_arrow()


def cells(batch, i: int) -> list:
    values = batch.values(i)
    values = values if isinstance(values, list) else np.asarray(values).tolist()
    valid = np.asarray(batch.valid(i)).astype(bool)
    return [v if ok else None for v, ok in zip(values, valid)]


@require_shared
@pytest.mark.parametrize("name", FILES)
def test_numpy_and_pyarrow_see_the_batch(name):
    pa = pytest.importorskip("pyarrow")
    batch = first_batch(name)
    table = pa.table(batch)
    assert table.num_rows == batch.num_rows and table.column_names == [c.name for c in batch.columns]
    for i, column in enumerate(batch.columns):
        field = table.schema.field(i)
        assert str(field.type) in ARROW_TYPES[column.type], column.name
        assert table.column(i).to_pylist() == cells(batch, i), column.name
        metadata = {v.decode() for v in (field.metadata or {}).values()}
        assert column.element_name in metadata, column.name
        assert {str(column.descriptor), f"{column.descriptor:06d}"} & metadata, column.name
        if column.unit:
            assert column.unit in metadata, column.name
        if column.type != "text":
            array = np.asarray(batch.values(i))
            assert array.dtype == np.dtype(column.type) and array.shape == (batch.num_rows,)
            assert not array.flags.owndata, f"{column.name}: np.asarray copied the values"
    assert pa.record_batch(table.to_batches()[0]).schema == pa.schema(batch)


@require_shared
def test_polars_and_duckdb_query_a_batch():
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    batch = first_batch(FILES[1])
    frame = pl.DataFrame(batch)
    assert frame.columns == [c.name for c in batch.columns]
    names = cells(batch, batch.index("#1#stationOrSiteName"))
    assert frame["#1#stationOrSiteName"].to_list() == names
    temperature = cells(batch, batch.index("#1#airTemperature"))
    present = [t for t in temperature if t is not None]
    assert frame["#1#airTemperature"].null_count() == temperature.count(None)
    result = duckdb.sql('select count("#1#airTemperature"), max("#1#airTemperature"), '
                        'min("#1#stationOrSiteName") from batch').fetchall()[0]
    assert result == (len(present), max(present), min(n for n in names if n is not None))


@require_shared
def test_read_arrow_is_one_arrow_stream_when_the_columns_agree():
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    path = BUFR_DIR / "cmwn_87.e4.bufr"  # one template, 128 subsets per message
    messages = morvane.read_messages(path)
    table = pa.table(morvane.read_arrow(path, batch_rows=1000))
    assert table.num_rows == sum(m.message.number_of_subsets for m in messages)
    assert len(table.to_batches()) == len(list(morvane.read_arrow(path, batch_rows=1000)))
    last = messages[-1].to_arrow()
    i = last.index("#1#pressure")
    assert table.column("#1#pressure").to_pylist()[-last.num_rows:] == cells(last, i)
    assert pl.DataFrame(morvane.read_arrow(path)).height == table.num_rows
    mixed = morvane.read_arrow(BUFR_DIR / "temp.e4.bufr")  # several templates
    with pytest.raises(Exception, match="other columns than the first batch"):
        pa.table(mixed)
