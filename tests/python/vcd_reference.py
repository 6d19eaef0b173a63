"""A deliberately plain model of the VCD loading rules, used as an oracle.

It keeps a full grid (one list of values per index) and favours obviousness
over speed; the tests compare the native reader against it index by index.
Values use the Python conversion: int for known bits, float for reals, None
for unknown/Logic/empty.
"""

from __future__ import annotations

import math
import re

EMPTY = ("empty",)


def _parse_u(text: str, bits: int):
    if text.startswith("+"):
        text = text[1:]
    if not text or not all("0" <= c <= "9" for c in text):
        return None
    v = int(text)
    return v if v < (1 << bits) else None


_FLOAT = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$")


def _parse_float(text: str) -> float:
    if _FLOAT.match(text):
        return float(text)
    body = text[1:] if text[:1] in "+-" else text
    if body.lower() in ("inf", "infinity", "nan"):
        return float(text)
    return 0.0


def parse_binary(text: str):
    """Value model: ('bits', int) | ('logic', tuple) | EMPTY."""
    if text[:1] in ("b", "B"):
        text = text[1:]
    if not text:
        return EMPTY
    if any(c in "xXzZ" for c in text):
        return ("logic", tuple(0 if c == "0" else 1 if c == "1" else 3 if c in "zZ" else 2 for c in text))
    acc = 0
    for c in text:
        acc = ((acc << 1) | (1 if c == "1" else 0)) & ((1 << 64) - 1)
    return ("bits", acc)


def to_python(value):
    kind = value[0]
    if kind in ("bits", "real"):
        return value[1]
    return None


class ReferenceVcd:
    def __init__(self, data: bytes):
        self.vars = {}  # full name -> (width, id)
        self.codes = {}
        self.names = []
        self.scopes = []
        self.timestamps = []
        self.grid = []  # per index: dict id -> value
        stack = []
        enabled = False
        for raw in data.split(b"\n"):
            if raw.endswith(b"\r"):
                raw = raw[:-1]
            try:
                line = raw.decode("utf-8").strip()
            except UnicodeDecodeError:
                continue
            if not line:
                continue
            if line.startswith("$scope"):
                toks = line.split()
                if len(toks) >= 3:
                    stack.append(toks[2])
                    path = ".".join(stack)
                    if path not in self.scopes:
                        self.scopes.append(path)
            elif line.startswith("$upscope"):
                if stack:
                    stack.pop()
            elif line.startswith("$var"):
                toks = line.split()
                if len(toks) < 5:
                    continue
                width = _parse_u(toks[2], 32)
                width = 1 if width is None else width
                code = toks[3]
                ref = toks[4].split("[", 1)[0]
                full = ".".join(stack + [ref]) if stack else ref
                if code not in self.codes:
                    self.codes[code] = len(self.codes)
                if full not in self.names:
                    self.names.append(full)
                self.vars[full] = (width, self.codes[code])
            elif line.startswith(("$enddefinitions", "$timescale", "$date", "$version", "$comment",
                                  "$dumpvars")) or line == "$end":
                continue
            elif line.startswith("#"):
                t = _parse_u(line[1:].strip(), 64)
                self.timestamps.append(0 if t is None else t)
                enabled = True
                prev = self.grid[-1] if self.grid else {}
                self.grid.append({k: v for k, v in prev.items() if v is not EMPTY})
            elif enabled:
                self._value_change(line)

    def _value_change(self, line: str):
        first = line[0]
        row = self.grid[-1]
        if first in "01":
            code, value = line[1:], ("bits", int(first))
        elif first in "xX":
            code, value = line[1:], EMPTY
        elif first in "zZ":
            code, value = line[1:], ("logic", (3,))
        elif first in "bBrR":
            if " " not in line:
                return
            head, code = line.split(" ", 1)
            code = code.strip()
            value = parse_binary(head) if first in "bB" else ("real", _parse_float(head[1:]))
        else:
            return
        if code in self.codes:
            row[self.codes[code]] = value

    def value(self, name: str, index: int):
        if name not in self.vars or index >= len(self.grid):
            return None
        return to_python(self.grid[index].get(self.vars[name][1], EMPTY))

    def max_index(self) -> int:
        return max(len(self.timestamps) - 1, 0)


def same_value(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b
