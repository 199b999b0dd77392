"""Compare decoded values with an independent decoder's reference decoding.

A reference message (one line of ``reference/NAME.jsonl.gz``) lists items
``[code, value]`` in that decoder's order; uncompressed messages carry
``[0, "subset", n]`` before subset n, compressed ones give each item as a
per-subset list, or one value when every subset agrees.

Differences that are only a matter of presentation are accepted:

* a reference code 2XX255 (bitmap re-read) matches any code: that decoder
  reports the operator, we report the referenced element;
* a reference code 205000 matches our 205YYY (it does not report YYY);
* numbers agree within ``REL_TOL`` relative (the reference prints 6
  significant digits);
* ``null`` is a missing value; texts agree after trailing blanks and NULs
  are removed, and a text that is then empty counts as missing;
* our list may hold items the reference never lists: associated fields
  (999999), their significance (0-31-021) and the class 33 quality values
  that follow a 2-22-000 operator within a subset.

Everything else must match one to one, in order.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Iterable, Sequence

REL_TOL = 1e-5
_STRIP = " \t\n\v\f\r\0"

ASSOCIATED_FIELD = 999999
ASSOCIATED_SIGNIFICANCE = 31021
QUALITY_OPERATOR = 222000

RefItem = tuple[int, int, Any]  # (subset from 1, code, value)
OurItem = tuple[int, Any]  # (code, value)


def reference_items(ref: dict) -> list[RefItem]:
    """The reference's items as (subset, code, value), subset after subset."""
    header = ref["header"]
    items = ref["items"]
    if not header["compressed_data"]:
        out: list[RefItem] = []
        subset = 1
        for item in items:
            if len(item) == 3 and item[1] == "subset":
                subset = item[2]
                continue
            out.append((subset, item[0], item[1]))
        return out
    n = header["number_of_subsets"]
    for code, value in items:
        if isinstance(value, list) and len(value) != n:
            raise ValueError(f"reference column {code:06d} has {len(value)} values for {n} subsets")
    return [
        (s + 1, code, value[s] if isinstance(value, list) else value)
        for s in range(n)
        for code, value in items
    ]


def our_items(values: Iterable[Any]) -> list[OurItem]:
    """(code, value) of each decoded value: the text for character items
    (those carry no ``raw``), the number otherwise."""
    return [(v.descriptor, v.raw_text if v.raw is None else v.raw_value) for v in values]


def _text(value: Any) -> Any:
    if isinstance(value, str):
        value = value.rstrip(_STRIP)
        return value or None
    return value


def codes_agree(ref_code: int, our_code: int) -> bool:
    if ref_code == our_code:
        return True
    if ref_code // 100000 == 2 and ref_code % 1000 == 255:
        return True
    return ref_code == 205000 and our_code // 1000 == 205


def values_agree(ref_value: Any, our_value: Any) -> bool:
    ref_value, our_value = _text(ref_value), _text(our_value)
    if ref_value is None or our_value is None:
        return ref_value is None and our_value is None
    if isinstance(ref_value, str) or isinstance(our_value, str):
        return ref_value == our_value
    if isinstance(ref_value, bool) or isinstance(our_value, bool):
        return False
    a, b = float(ref_value), float(our_value)
    return a == b or abs(a - b) <= REL_TOL * max(abs(a), abs(b))


def _extra_allowed(code: int, in_quality_block: bool) -> bool:
    return (
        code == ASSOCIATED_FIELD
        or code == ASSOCIATED_SIGNIFICANCE
        or (in_quality_block and 33000 <= code < 34000)
    )


@dataclass
class Mismatch:
    reason: str
    ref_index: int
    our_index: int
    refs: Sequence[RefItem]
    ours: Sequence[OurItem]

    def __str__(self) -> str:
        def window(seq, at, fmt):
            lo, hi = max(0, at - 3), min(len(seq), at + 4)
            return "\n".join(("  > " if k == at else "    ") + f"[{k}] " + fmt(seq[k]) for k in range(lo, hi))

        return (
            f"{self.reason}\nreference around item {self.ref_index}:\n"
            + window(self.refs, self.ref_index, lambda r: f"subset {r[0]}: {r[1]:06d} = {r[2]!r}")
            + f"\nours around item {self.our_index}:\n"
            + window(self.ours, self.our_index, lambda o: f"{o[0]:06d} = {o[1]!r}")
        )


def compare(ours: Sequence[OurItem], refs: Sequence[RefItem]) -> Mismatch | None:
    """The first place where ``ours`` and ``refs`` disagree, or None.

    Our extra items are passed over only while they fail to match the next
    reference item, so an extra kind that the reference does list still
    matches."""
    i = 0
    n = len(ours)
    quality = False
    subset = None
    for j, (ref_subset, ref_code, ref_value) in enumerate(refs):
        while True:
            if i >= n:
                return Mismatch("our values end before the reference's", j, n, refs, ours)
            code, value = ours[i]
            if codes_agree(ref_code, code) and values_agree(ref_value, value):
                break
            if _extra_allowed(code, quality):
                i += 1
                continue
            what = "value" if codes_agree(ref_code, code) else "descriptor"
            return Mismatch(f"{what} differs in subset {ref_subset}", j, i, refs, ours)
        # The quality block ends with its subset; a new subset is known to
        # have started once its first reference item has matched.
        if ref_subset != subset:
            subset, quality = ref_subset, False
        if code == QUALITY_OPERATOR:
            quality = True
        i += 1
    for k in range(i, n):
        if not _extra_allowed(ours[k][0], quality):
            return Mismatch("we have values beyond the reference's", len(refs), k, refs, ours)
    return None
