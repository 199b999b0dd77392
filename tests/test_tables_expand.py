"""Table D expansion through TableSet.expand, and the Python surface of the table classes."""

import inspect

import pytest

import _morvane as m
from bufr_builder import write_table_dir


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    d = tmp_path_factory.mktemp("expand")
    # 300001 -> 300002 -> ... -> 300070 = [1001]
    chain = {300000 + i: [300000 + i + 1] for i in range(1, 70)} | {300070: [1001]}
    write_table_dir(d, sequences={
        301011: [4001, 4002, 4003],
        301020: [204003, 12101],      # switches an associated field on inside a sequence
        301030: [301030],             # contains itself
        301040: [],
        **chain,
    }, elements={1001: ("NAME \"Q\"", "Numeric", 0, 0, 7)}, codetables={1003: {1: "ONE"}})
    return m.TableSet.from_eccodes(str(d))


@pytest.mark.parametrize(
    "codes, expected",
    [
        ([], []),
        ([301011, 12101], [4001, 4002, 4003, 12101]),
        ([102003, 1001, 1002, 12101], [1001, 1002] * 3 + [12101]),
        ([101000, 31001, 12101, 12102], [31001, 12101, 12102]),
        ([204007, 12101, 31021, 204000, 12102], [999999, 12101, 31021, 12102]),
        ([201130, 12101, 201000], [12101]),
        ([202129, 206008, 207001, 208016, 12101], [12101]),
        ([222000, 236000, 205004, 203000], [222000, 236000, 205004, 203000]),
        ([101000, 31001, 12101], [31001, 12101]),
        ([3000, 301040], [3000]),
        # 204008 then a class 31 element and another: marker only before the latter.
        ([204008, 31002, 12101], [31002, 999999, 12101]),
        # An associated field switched on inside a sequence outlives it, and
        # stays on through the repetitions of a fixed replication.
        ([301020, 102002, 1001, 31001], [999999, 12101] + [999999, 1001, 31001] * 2),
        ([101256, 31001, 12101], [31001, 12101]),  # Y taken modulo 256: delayed
        ([102002, 101002, 1001, 1002], [1001] * 4 + [1002]),
    ],
)
def test_expansion(tables, codes, expected):
    assert tables.expand(codes) == expected


@pytest.mark.parametrize(
    "codes, text",
    [
        ([101000], "unsupported replication descriptor 101000"),
        ([100002, 1001], "unsupported replication descriptor 100002"),
        ([102005, 12101], "unsupported replication descriptor 102005"),
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor "
                          "or replicated descriptors"),
        ([102002, 101000, 31001, 12101], "delayed replication descriptor 101000 is missing its "
                                         "replication factor or replicated descriptors"),
        ([301099], "descriptor 301099 was not found in Table D"),
        ([1001, 400000], "csv/table parse error: invalid descriptor 400000"),
        ([301030], "csv/table parse error: sequence expansion exceeded recursion depth"),
    ],
)
def test_expansion_errors(tables, codes, text):
    with pytest.raises(ValueError) as info:
        tables.expand(codes)
    assert str(info.value) == text


def test_recursion_depth_limit(tables):
    # 64 nested sequences end in an element walked at depth 64; 65 is too deep.
    assert tables.expand([300070 - 63]) == [1001]
    with pytest.raises(ValueError, match="exceeded recursion depth"):
        tables.expand([300070 - 64])


def test_nested_fixed_replication_multiplies_but_is_bounded(tables):
    assert tables.expand([102255, 101255, 1001]) == [1001] * (255 * 255)
    for last in (1001, 201001):  # the operator appends nothing but still costs work
        with pytest.raises(ValueError, match="sequence expansion exceeded"):
            tables.expand([106255, 105255, 104255, 103255, 102255, 101255, last])


def test_python_surface(tables):
    assert repr(m.TableSet()) == "TableSet(elements=0, sequences=0)"
    empty = m.TableSet()
    assert (empty.element_count, empty.get_element(1001), empty.get_sequence(301011),
            empty.get_meaning(1003, 0)) == (0, None, None, None)
    e = tables.get_element(1001)
    assert repr(e) == 'ElementDefinition(001001, name="NAME \\"Q\\"")'
    assert (e.code, e.scale, e.reference, e.width) == (1001, 0, 0, 7)
    s = tables.get_sequence(301011)
    assert repr(s) == "SequenceDefinition(301011, members=[4001, 4002, 4003])"
    assert repr(tables.get_sequence(301040)) == "SequenceDefinition(301040, members=[])"
    s.members.append(1)
    assert s.members == [4001, 4002, 4003] and tables.get_sequence(301011).members == [4001, 4002, 4003]
    assert tables.get_element(1001) is not e and tables.get_element(1001) != e
    assert tables.get_meaning(1003, 1) == "ONE" and tables.get_meaning(1003, 2**40) is None


def test_signatures():
    expected = {"get_element": "(self, /, code)", "get_meaning": "(self, /, code, raw)",
                "expand": "(self, /, descriptors)", "from_eccodes": "(path)",
                "from_definitions": "(path, message)", "from_bufr4_45": "(path)"}
    assert {name: str(inspect.signature(getattr(m.TableSet, name))) for name in expected} == expected
    assert str(inspect.signature(m.TableSet)) == "()"


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda t: t.get_element(-1), OverflowError),
        (lambda t: m.TableSet(1), TypeError),
        (lambda t: m.ElementDefinition(), TypeError),
        (lambda t: t.get_meaning(1003, 2**64), OverflowError),
        (lambda t: t.get_element("1001"), TypeError),
        (lambda t: t.expand("301011"), TypeError),
        (lambda t: t.expand([301011, "x"]), TypeError),
        (lambda t: t.expand([2**32]), OverflowError),
        (lambda t: m.TableSet.from_eccodes(b"/tmp"), TypeError),
        (lambda t: m.TableSet.from_definitions("/tmp", message=object()), TypeError),
    ],
)
def test_argument_conversion(tables, call, exc):
    with pytest.raises(exc):
        call(tables)
