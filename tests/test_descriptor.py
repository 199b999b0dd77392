"""The Descriptor value class."""

import inspect

import pytest

import _morvane as m


@pytest.mark.parametrize(
    "code, fxy, text",
    [
        (1001, (0, 1, 1), "Descriptor(001001)"),
        (0, (0, 0, 0), "Descriptor(000000)"),
        (307080, (3, 7, 80), "Descriptor(307080)"),
        (363255, (3, 63, 255), "Descriptor(363255)"),
        # Y keeps its low 8 bits: 300 - 256.
        (1300, (0, 1, 44), "Descriptor(001044)"),
        (4294967295, (4294967295 // 100000 % 256, 67, 295 % 256), None),
    ],
)
def test_from_fxy_splits(code, fxy, text):
    d = m.Descriptor.from_fxy(code)
    assert (d.f, d.x, d.y) == fxy
    assert d.fxy == fxy[0] * 100000 + fxy[1] * 1000 + fxy[2]
    if text:
        assert repr(d) == text


def test_constructor():
    d = m.Descriptor(3, 7, 80)
    assert (d.f, d.x, d.y, d.fxy) == (3, 7, 80, 307080)
    assert m.Descriptor(y=1, x=1, f=0).fxy == 1001
    wide = m.Descriptor(255, 255, 255)
    assert wide.fxy == 25755255 and repr(wide) == "Descriptor(25755255)"


@pytest.mark.parametrize(
    "call, exc, name",
    [
        (lambda: m.Descriptor(256, 0, 0), OverflowError, "f"),
        (lambda: m.Descriptor(0, -1, 0), OverflowError, "x"),
        (lambda: m.Descriptor(0, 0, "1"), TypeError, "y"),
        (lambda: m.Descriptor(0, 1.0, 0), TypeError, "x"),
        (lambda: m.Descriptor.from_fxy(-1), OverflowError, "code"),
        (lambda: m.Descriptor.from_fxy(2**32), OverflowError, "code"),
        (lambda: m.Descriptor.from_fxy("1001"), TypeError, "code"),
    ],
)
def test_argument_errors_name_the_argument(call, exc, name):
    with pytest.raises(exc, match=f"'{name}'"):
        call()


def test_identity_semantics_and_immutability():
    a, b = m.Descriptor(0, 1, 1), m.Descriptor(0, 1, 1)
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b
    with pytest.raises(AttributeError):
        a.f = 1
    with pytest.raises(TypeError):
        m.Descriptor(0, 1)


def test_signatures():
    assert m.Descriptor.__text_signature__ == "(f, x, y)"
    assert str(inspect.signature(m.Descriptor.from_fxy)) == "(code)"
