"""The native check the network layer asks before it builds a JSON answer:
its yes must never disagree with json (the layer takes only its yes), and
it must say yes to the pages indexes really send."""

from __future__ import annotations

import json

import pytest

from quorvel_master._native import is_json_object

DEEP = b'{"a":' * 64 + b"1" + b"}" * 64
TOO_DEEP = b'{"a":' * 65 + b"1" + b"}" * 65


@pytest.mark.parametrize("body, expected", [
    (b"{}", True),
    (b' \r\n\t{"meta": {"api-version": "1.1"}, "files": []}\n ', True),
    (b'{"name": "caf\xc3\xa9", "n": [-0.5e+3, 0, 12, true, false, null], "e": "\\u00e9\\ud83d\\ude00\\n"}', True),
    (DEEP, True),
    # not an object, or not only one
    (b"", False), (b"[]", False), (b"null", False), (b'"x"', False), (b"1", False),
    (b"{} {}", False), (b"{},", False),
    # broken
    (b"{broken", False), (b'{"a": 1,}', False), (b'{"a" 1}', False), (b'{"a": 01}', False),
    (b'{"a": 1.}', False), (b'{"a": tru}', False), (b'{"a": "\x01"}', False), (b'{"a": "\\x"}', False),
    (b'{"a": "unterminated}', False), (b"{'a': 1}", False),
    # json takes these; the strict reader does not, so the layer asks json
    (b'{"a": NaN}', False), (b'{"a": Infinity}', False), (TOO_DEEP, False),
    # not UTF-8: an overlong form, an encoded surrogate, a lone continuation byte
    (b'{"a": "\xc0\xaf"}', False), (b'{"a": "\xed\xa0\x80"}', False), (b'{"a": "\x80"}', False),
])
def test_is_json_object_agrees_with_json(body, expected):
    assert is_json_object(body) is expected
    if expected:
        assert isinstance(json.loads(body.decode("utf-8")), dict)


@pytest.mark.parametrize("value", ["{}", None, bytearray(b"{}"), memoryview(b"{}")])
def test_is_json_object_takes_bytes_only(value):
    with pytest.raises(TypeError):
        is_json_object(value)
