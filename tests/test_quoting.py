"""How reprs and error texts quote a text: characters that would be invisible,
would reshape their neighbours or have no meaning yet show as \\u{hex};
everything else prints as itself."""

from __future__ import annotations

import re
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

import _morvane as m
from bufr_builder import write_table_dir

ROOT = Path(__file__).resolve().parent.parent


def element_repr(tmp_path, name: str) -> str:
    write_table_dir(tmp_path, elements={1001: (name, "Numeric", 0, 0, 7)})
    return repr(m.TableSet.from_eccodes(str(tmp_path)).get_element(1001))


@pytest.mark.parametrize(
    "name, shown",
    [
        ("A\u0378B", "A\\u{378}B"),  # unassigned
        ("A\u200bB", "A\\u{200b}B"),  # zero width space, a format character
        ("A\u2028B", "A\\u{2028}B"),  # line separator
        ("A\u2029B", "A\\u{2029}B"),  # paragraph separator
        ("e\u0301", "e\\u{301}"),  # combining acute accent
        ("\u0903", "\\u{903}"),  # a spacing combining mark
        ("A\u00a0B", "A\\u{a0}B"),  # no-break space: a space that is not U+0020
        ("A\u3000B", "A\\u{3000}B"),
        ("\ue000", "\\u{e000}"),  # private use
        ("A\x7fB\x85", "A\\u{7f}B\\u{85}"),  # controls beyond the ASCII ones
        ("\U000e0001", "\\u{e0001}"),  # a tag character
        # Left as they are: letters of any script, the plain space, symbols.
        ("東京 STATION", "東京 STATION"),
        ("café", "café"),
        ("\u00e9t\u00e9 \u2013 \u20ac5", "\u00e9t\u00e9 \u2013 \u20ac5"),
        ("\U0001f600", "\U0001f600"),
        # The rules for quote, backslash, tab and line ends stay.
        ('say "hi"\\', 'say \\"hi\\"\\\\'),
        ("a\tb", "a\\tb"),
    ],
)
def test_repr_quotes_name(tmp_path, name, shown):
    assert element_repr(tmp_path, name) == f'ElementDefinition(001001, name="{shown}")'


def test_error_text_quotes_the_same_way(tmp_path):
    (tmp_path / "codetables").mkdir()
    (tmp_path / "element.table").write_text("0010\u03780|a|long|NAME|Numeric|0|0|7\n", encoding="utf-8")
    (tmp_path / "sequence.def").write_text("", encoding="utf-8")
    with pytest.raises(ValueError, match=re.escape('"0010\\u{378}0"')):
        m.TableSet.from_eccodes(str(tmp_path))


def test_every_category_follows_the_rule(tmp_path):
    """One code point of each general category present in this Python's
    Unicode data, checked against the rule written in Python terms."""
    escaped = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Mc", "Me"}
    samples: dict[str, int] = {}
    for cp in range(0x80, 0x110000, 7):
        if not 0xD800 <= cp <= 0xDFFF:  # not encodable in a UTF-8 table file
            samples.setdefault(unicodedata.category(chr(cp)), cp)
    assert len(samples) >= 25
    name = "".join(chr(cp) for cp in samples.values())
    want = "".join(f"\\u{{{cp:x}}}" if unicodedata.category(chr(cp)) in escaped else chr(cp)
                   for cp in samples.values())
    assert element_repr(tmp_path, "X" + name) == f'ElementDefinition(001001, name="X{want}")'


def test_generated_table_matches_this_python():
    header = (ROOT / "src" / "core" / "escaped_ranges.hpp").read_text(encoding="utf-8")
    version = re.search(r'kEscapedRangesUnicodeVersion\[\] = "([^"]+)"', header).group(1)
    if version != unicodedata.unidata_version:
        pytest.skip(f"table from Unicode {version}, this Python has {unicodedata.unidata_version}")
    result = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_escaped_ranges.py"), "--check"],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
