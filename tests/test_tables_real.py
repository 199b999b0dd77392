"""The loaders on the real ecCodes tree and WMO CSV release in the shared data,
checked against counts made here with plain Python."""

import csv
import re

import pytest

import _morvane as m
from bufr_builder import message
from conftest import CSV_TABLES, ECCODES_ROOT, WMO_TABLES, have_shared

pytestmark = pytest.mark.skipif(not have_shared(), reason="../shared/data is absent")

VERSIONS = sorted((p.name for p in WMO_TABLES.iterdir() if p.is_dir()), key=int) if have_shared() else []
STATEMENT_KEY = re.compile(r'^\s*"?(\d+)"?\s*=', re.M)


def plain_counts(version_dir):
    lines = (version_dir / "element.table").read_text(encoding="utf-8").splitlines()
    codes = {int(l.split("|")[0]) for l in lines if not l.startswith("#") and l.count("|") >= 7}
    keys = set(STATEMENT_KEY.findall((version_dir / "sequence.def").read_text(encoding="utf-8")))
    return len(codes), len(keys)


@pytest.mark.parametrize("version", VERSIONS)
def test_every_version_directory(version):
    tables = m.TableSet.from_eccodes(str(WMO_TABLES / version))
    assert (tables.element_count, tables.sequence_count) == plain_counts(WMO_TABLES / version)


@pytest.fixture(scope="module")
def v39():
    return m.TableSet.from_eccodes(str(WMO_TABLES / "39"))


def test_version_39(v39):
    assert v39.element_count == 1746
    assert v39.get_meaning(1003, 1) == "REGION I"
    e = v39.get_element(12101)
    assert (e.abbreviation, e.unit, e.scale, e.reference, e.width) == ("airTemperature", "K", 2, 0, 16)
    expanded = v39.expand([307080])
    # 301090 = 301004, 301011, 301012, 301021, 007030, 007031; then 302031 = 302001, ...
    assert expanded[:20] == [1001, 1002, 1015, 2001, 4001, 4002, 4003, 4004, 4005, 5001, 6001,
                             7030, 7031, 10004, 10051, 10061, 10063, 10062, 7004, 10009]
    # 101002 repeats 302045 (7 elements) twice, then 302046 ends the sequence.
    tail = [4024, 14002, 14004, 14016, 14028, 14029, 14030]
    assert expanded[-17:] == tail * 2 + [4024, 4024, 12049]


def definitions(version, local=0, centre=98):
    bufr = m.parse_bytes(message([1001], b"\x00", master_version=version, local_version=local,
                                 centre=centre))
    return m.TableSet.from_definitions(str(ECCODES_ROOT), bufr)


@pytest.mark.parametrize("version", [7, 8, 9, 10, 11, 12])
def test_alias_versions_resolve_to_13(version):
    direct = m.TableSet.from_eccodes(str(WMO_TABLES / "13"))
    aliased = definitions(version)
    assert (aliased.element_count, aliased.sequence_count) == (direct.element_count, direct.sequence_count)
    assert aliased.get_element(1001).name == direct.get_element(1001).name


def test_local_tables_of_centre_98():
    local_dir = ECCODES_ROOT / "bufr/tables/0/local/1/98/0"
    records = [l.split("|") for l in (local_dir / "element.table").read_text().splitlines()
               if l and not l.startswith("#")]
    tables = definitions(13, local=1)
    for fields in records[:: max(1, len(records) // 25)]:
        e = tables.get_element(int(fields[0]))
        assert (e.name, e.unit, e.width) == (fields[3], fields[4], int(fields[7]))
    table_file = sorted((local_dir / "codetables").glob("*.table"))[0]
    raw, _, meaning = next(l for l in table_file.read_text().splitlines()
                           if len(l.split()) >= 3 and not l.startswith("#")).split(None, 2)
    assert tables.get_meaning(int(table_file.stem), int(raw)) == " ".join(meaning.split())
    wmo = definitions(13)
    local_only = [int(f[0]) for f in records if wmo.get_element(int(f[0])) is None]
    assert local_only and all(tables.get_element(code) for code in local_only)


def test_csv_release_45(v39):
    csv_tables = m.TableSet.from_bufr4_45(str(CSV_TABLES))
    def plain_codes(pattern, min_fields):
        codes = set()
        for path in CSV_TABLES.glob(pattern):
            with open(path, newline="", encoding="utf-8-sig") as fh:
                codes |= {int(r[2]) for r in list(csv.reader(fh))[1:] if len(r) >= min_fields}
        return codes

    b_codes, d_codes = plain_codes("BUFRCREX_TableB_en_*.csv", 8), plain_codes("BUFR_TableD_en_*.csv", 6)
    assert (csv_tables.element_count, csv_tables.sequence_count) == (len(b_codes), len(d_codes))

    # Names and units changed spelling between the two releases; these differ for real.
    renamed = {20096, 22046, 40062}
    units = {"deg": "degreetrue", "/m": "m-1", "umol/kg": "umolkg-1", "m2rad-1s": "m2srad-1"}
    norm = lambda u: units.get(u.lower().replace(" ", ""), u.lower().replace(" ", ""))
    shared = [c for c in b_codes if v39.get_element(c) is not None]
    assert len(shared) > 1700
    for code in shared:
        a, b = v39.get_element(code), csv_tables.get_element(code)
        assert (a.scale, a.reference, a.width) == (b.scale, b.reference, b.width), code
        assert norm(a.unit) == norm(b.unit), code
        assert code in renamed or a.name.upper() == b.name.upper(), code
    assert csv_tables.get_sequence(307080).members == v39.get_sequence(307080).members
