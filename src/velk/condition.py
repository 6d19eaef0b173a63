"""A small condition language, parsed into PyExpr trees.

    tb.valid and tb.data[7:4] == 0xA
    tb.count > tb.count@-1 + 1
    isx(tb.bus) or `tb.count [3:0]` == 5

Grammar, loosest binding first (comparisons bind looser than the arithmetic
and bitwise operators, as in Python):

    condition  := or
    or         := and ("or" and)*
    and        := not ("and" not)*
    not        := "not" not | comparison
    comparison := bitor [("==" | "!=" | "<" | ">" | "<=" | ">=") bitor]
    bitor      := bitxor ("|" bitxor)*
    bitxor     := bitand ("^" bitand)*
    bitand     := sum ("&" sum)*
    sum        := postfix (("+" | "-") postfix)*
    postfix    := primary ("[" INT [":" INT] "]" | "@" ["+" | "-"] INT)*
    primary    := NAME | `any name` | INT | FLOAT | STRING | "-" FLOAT
                | "(" condition ")" | ("isx" | "isz" | "signed") "(" condition ")"
                | "true" | "false"

NAME is a dotted identifier (letters, digits, "_", "$", "."); a name holding
spaces, brackets or other characters is written in backquotes. A name the
trace does not have is also tried with its bit range (FST names carry one,
as in "tb.count [3:0]") when exactly one signal matches. INT is decimal, 0x,
0o or 0b, with optional "_" separators, from 0 to 2**64 - 1. `&&`, `||` and
`!` are accepted for and, or, not.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Callable, Optional, Union

from velk._core import PyExpr, PyTrace

__all__ = ["ConditionError", "parse_condition", "resolve_name"]

_U64_MAX = 2**64 - 1


class ConditionError(ValueError):
    """A condition that does not parse or names an unknown signal.

    `column` is the 1-based column of the offending character; the message
    shows the condition with a caret under it.
    """

    def __init__(self, message: str, text: str, column: int) -> None:
        self.message = message
        self.text = text
        self.column = column
        super().__init__(f"column {column}: {message}\n  {text}\n  {' ' * (column - 1)}^")

    def __reduce__(self) -> tuple[type, tuple[str, str, int]]:
        # Crosses process boundaries (map_dumps) with its fields intact.
        return (type(self), (self.message, self.text, self.column))


@dataclass(frozen=True)
class _Token:
    kind: str  # "name", "int", "float", "str", "op", "end"
    text: str
    value: Union[str, int, float, None]
    column: int  # 1-based


_TOKEN = re.compile(
    r"""
    (?P<space>\s+)
  | (?P<float>(?:\d[\d_]*\.[\d_]*|\.\d[\d_]*)(?:[eE][+-]?\d+)?|\d[\d_]*[eE][+-]?\d+)
  | (?P<int>0[xX][0-9a-fA-F_]+|0[bB][01_]+|0[oO][0-7_]+|\d[\d_]*)
  | (?P<name>[A-Za-z_$\\][\w$.]*)
  | (?P<quoted>`[^`]*`?)
  | (?P<str>"(?:[^"\\]|\\.)*"?|'(?:[^'\\]|\\.)*'?)
  | (?P<op>==|!=|<=|>=|&&|\|\||[<>+\-&|^()\[\]:@!])
    """,
    re.VERBOSE,
)

_STRING_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'"}


def _tokenize(text: str) -> list[_Token]:
    tokens = []
    pos = 0
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if not match:
            raise ConditionError(f"unexpected character {text[pos]!r}", text, pos + 1)
        kind = match.lastgroup or ""
        raw = match.group()
        column = pos + 1
        pos = match.end()
        if kind == "space":
            continue
        if kind == "int":
            tokens.append(_Token("int", raw, int(raw.replace("_", ""), 0), column))
        elif kind == "float":
            tokens.append(_Token("float", raw, float(raw.replace("_", "")), column))
        elif kind == "name":
            tokens.append(_Token("name", raw, raw, column))
        elif kind == "quoted":
            if len(raw) < 2 or not raw.endswith("`"):
                raise ConditionError("backquoted name is not closed", text, column)
            if len(raw) == 2:
                raise ConditionError("empty backquoted name", text, column)
            tokens.append(_Token("name", raw, raw[1:-1], column))
        elif kind == "str":
            if len(raw) < 2 or raw[-1] != raw[0] or _ends_in_escape(raw[1:-1]):
                raise ConditionError("string is not closed", text, column)
            tokens.append(_Token("str", raw, _unescape(raw[1:-1]), column))
        else:
            tokens.append(_Token("op", raw, None, column))
    tokens.append(_Token("end", "", None, len(text) + 1))
    return tokens


def _ends_in_escape(body: str) -> bool:
    trailing = len(body) - len(body.rstrip("\\"))
    return trailing % 2 == 1


def _unescape(body: str) -> str:
    return re.sub(r"\\(.)", lambda m: _STRING_ESCAPES.get(m.group(1), m.group(1)), body)


_COMPARISONS: dict[str, Callable[[PyExpr, PyExpr], PyExpr]] = {
    "==": PyExpr.eq_, "!=": PyExpr.neq, "<": PyExpr.lt_, ">": PyExpr.gt_, "<=": PyExpr.lte, ">=": PyExpr.gte,
}
_KEYWORDS = {"and", "or", "not", "isx", "isz", "signed", "true", "false"}


class _Parser:
    def __init__(self, trace: PyTrace, text: str) -> None:
        self.trace = trace
        self.text = text
        self.tokens = _tokenize(text)
        self.pos = 0

    # --- token helpers ---------------------------------------------------------

    @property
    def token(self) -> _Token:
        return self.tokens[self.pos]

    def fail(self, message: str, token: Optional[_Token] = None) -> ConditionError:
        return ConditionError(message, self.text, (token or self.token).column)

    def at_op(self, *ops: str) -> bool:
        return self.token.kind == "op" and self.token.text in ops

    def at_word(self, *words: str) -> bool:
        return self.token.kind == "name" and self.token.text in words

    def advance(self) -> _Token:
        token = self.token
        self.pos += 1
        return token

    def expect_op(self, op: str, what: str) -> _Token:
        if not self.at_op(op):
            raise self.fail(f"expected {what}, found {self.describe(self.token)}")
        return self.advance()

    @staticmethod
    def describe(token: _Token) -> str:
        return "the end of the condition" if token.kind == "end" else repr(token.text)

    # --- grammar ---------------------------------------------------------------

    def parse(self) -> PyExpr:
        if self.token.kind == "end":
            raise self.fail("empty condition")
        expr = self.parse_or()
        if self.token.kind != "end":
            raise self.fail(f"unexpected {self.describe(self.token)}")
        return expr

    def parse_or(self) -> PyExpr:
        expr = self.parse_and()
        while self.at_word("or") or self.at_op("||"):
            self.advance()
            expr = expr.or_(self.parse_and())
        return expr

    def parse_and(self) -> PyExpr:
        expr = self.parse_not()
        while self.at_word("and") or self.at_op("&&"):
            self.advance()
            expr = expr.and_(self.parse_not())
        return expr

    def parse_not(self) -> PyExpr:
        if self.at_word("not") or self.at_op("!"):
            self.advance()
            return self.parse_not().not_()
        return self.parse_comparison()

    def parse_comparison(self) -> PyExpr:
        left = self.parse_binary(0)
        if self.token.kind == "op" and self.token.text in _COMPARISONS:
            op = self.advance().text
            right = self.parse_binary(0)
            if self.token.kind == "op" and self.token.text in _COMPARISONS:
                raise self.fail("comparisons cannot be chained; join them with 'and'")
            return _COMPARISONS[op](left, right)
        return left

    # Bitwise and arithmetic levels, loosest first.
    _LEVELS: tuple[dict[str, Callable[[PyExpr, PyExpr], PyExpr]], ...] = (
        {"|": PyExpr.bit_or},
        {"^": PyExpr.bit_xor},
        {"&": PyExpr.bit_and},
        {"+": PyExpr.add, "-": PyExpr.sub},
    )

    def parse_binary(self, level: int) -> PyExpr:
        if level == len(self._LEVELS):
            return self.parse_postfix()
        ops = self._LEVELS[level]
        expr = self.parse_binary(level + 1)
        while self.token.kind == "op" and self.token.text in ops:
            build = ops[self.advance().text]
            expr = build(expr, self.parse_binary(level + 1))
        return expr

    def parse_postfix(self) -> PyExpr:
        expr = self.parse_primary()
        while True:
            if self.at_op("["):
                self.advance()
                high = self.expect_int("a bit index", 2**32 - 1)
                low = high
                if self.at_op(":"):
                    self.advance()
                    low = self.expect_int("the low bit index", 2**32 - 1)
                self.expect_op("]", "']'")
                expr = expr.slice(high, low)
            elif self.at_op("@"):
                self.advance()
                sign = 1
                if self.at_op("+", "-"):
                    sign = -1 if self.advance().text == "-" else 1
                expr = expr.rel_eval(sign * self.expect_int("an index offset", 2**63 - 1))
            else:
                return expr

    def expect_int(self, what: str, limit: int) -> int:
        token = self.token
        if token.kind != "int":
            raise self.fail(f"expected {what}, found {self.describe(token)}")
        self.advance()
        assert isinstance(token.value, int)
        if token.value > limit:
            raise self.fail(f"{token.text} is too large here (at most {limit})", token)
        return token.value

    def parse_primary(self) -> PyExpr:
        token = self.token
        if token.kind == "int":
            self.advance()
            assert isinstance(token.value, int)
            if token.value > _U64_MAX:
                raise self.fail(f"{token.text} does not fit in 64 bits", token)
            return PyExpr.const_int(token.value)
        if token.kind == "float":
            self.advance()
            assert isinstance(token.value, float)
            return PyExpr.const_float(token.value)
        if token.kind == "str":
            self.advance()
            assert isinstance(token.value, str)
            return PyExpr.const_str(token.value)
        if self.at_op("-"):
            self.advance()
            number = self.token
            if number.kind == "float":
                self.advance()
                assert isinstance(number.value, float)
                return PyExpr.const_float(-number.value)
            if number.kind == "int":
                raise self.fail("negative integers are not supported; write a float (-1.0) or compare the "
                                "other way round", token)
            raise self.fail(f"expected a number after '-', found {self.describe(number)}")
        if self.at_op("("):
            self.advance()
            expr = self.parse_or()
            self.expect_op(")", "')'")
            return expr
        if token.kind == "name" and token.text in _KEYWORDS:
            return self.parse_keyword()
        if token.kind == "name":
            self.advance()
            assert isinstance(token.value, str)
            return PyExpr.signal(self.resolve(token))
        raise self.fail(f"expected a signal name, a number or '(', found {self.describe(token)}")

    def parse_keyword(self) -> PyExpr:
        token = self.advance()
        word = token.text
        if word == "true":
            return PyExpr.always_true()
        if word == "false":
            return PyExpr.always_true().not_()
        if word in ("isx", "isz", "signed"):
            self.expect_op("(", f"'(' after {word}")
            inner = self.parse_or()
            self.expect_op(")", "')'")
            return {"isx": inner.is_x, "isz": inner.is_z, "signed": inner.signed}[word]()
        raise self.fail(f"'{word}' needs an operand before it", token)

    def resolve(self, token: _Token) -> int:
        name = str(token.value)
        found = resolve_name(self.trace, name)
        if found is not None:
            signal_id = self.trace.signal_id(found)
            if signal_id is not None:
                return signal_id
        raise self.fail(unknown_name_message(self.trace, name), token)


def resolve_name(trace: PyTrace, name: str) -> Optional[str]:
    """The full name `name` stands for in `trace`: itself when the trace has
    it, else the one signal named `name` plus a bit range ("tb.count [3:0]"),
    else None."""
    if trace.signal_id(name) is not None:
        return name
    ranged = [n for n in trace.signal_names() if n.startswith(name + " [")]
    return ranged[0] if len(ranged) == 1 else None


def unknown_name_message(trace: PyTrace, name: str) -> str:
    ranged = [n for n in trace.signal_names() if n.startswith(name + " [")]
    hint = f"; did you mean one of {', '.join(ranged[:3])}?" if ranged else ""
    return f"unknown signal {name!r}{hint}"


def parse_condition(trace: PyTrace, text: str) -> PyExpr:
    """Parses `text` into a PyExpr over the signals of `trace`.

    Raises ConditionError (a ValueError) with the column of the fault for a
    syntax error or a name the trace does not have.

    >>> cond = velk.parse_condition(trace, "tb.en and tb.count[3:0] == 5")
    >>> trace.parallel_find(cond)
    """
    if not isinstance(text, str):
        raise TypeError(f"condition must be a str, not {type(text).__name__}")
    parser = _Parser(trace, text)
    try:
        return parser.parse()
    except RecursionError:
        # Python's stack ends a recursive descent some 90 parentheses deep:
        # say so as a condition's fault, at the token reached.
        raise parser.fail("condition is nested too deeply") from None
