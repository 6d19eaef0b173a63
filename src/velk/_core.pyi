"""Type stubs and documentation of the compiled module velk._core.

Conventions shared by every method: an index runs from 0 to max_index();
an unknown name, an unknown scope or an index past the data is not an error
(values read as None, timestamps as 0, searches give empty lists); only the
loaders raise, with ValueError carrying the reader's message. Values are
converted one way everywhere: known bits -> int (the low 64 bits of wider
vectors), reals -> float, strings -> str, X/Z or no value -> None. A
negative index raises OverflowError, a wrong argument type TypeError.
"""

from typing import Optional, Sequence, TypeAlias, final

_Value: TypeAlias = Optional[int | float | str]

@final
class PyTrace:
    """A loaded waveform dump: names, scopes, sample points (indices) with
    timestamps, and one value per signal and index. Immutable; safe to share
    between threads. Made only by the static loaders (PyTrace() raises
    TypeError)."""

    # --- loaders -------------------------------------------------------------
    @staticmethod
    def from_vcd(path: str) -> PyTrace:
        """Loads a VCD text file.

        Raises ValueError("Failed to open {path}: ...") when the file cannot
        be opened; malformed lines are skipped, so any text loads.

        >>> t = PyTrace.from_vcd("examples/counter.vcd")
        """
    @staticmethod
    def from_vcd_gz(path: str) -> PyTrace:
        """Loads a gzip-compressed VCD file (.vcd.gz), inflating it while it is
        read (no temporary file); the values are those of the plain file.

        Raises ValueError("Failed to open {path}: ...") when the file cannot be
        opened, and ValueError("Failed to decompress {path}: truncated gzip
        stream" or "...: corrupt gzip stream...") for a damaged one.

        >>> t = PyTrace.from_vcd_gz("run.vcd.gz")
        """
    @staticmethod
    def from_vcd_string(data: str) -> PyTrace:
        """Parses VCD text held in a str; never raises for its content.

        >>> t = PyTrace.from_vcd_string("$var wire 1 ! a $end\\n#0\\n1!\\n")
        """
    @staticmethod
    def from_fst(path: str) -> PyTrace:
        """Loads an FST file (velk's own decoder; all block kinds and compressions).

        Raises ValueError ("Failed to open ...", "FST open: ...", "FST hierarchy: ...",
        "FST signals: ...") for an unreadable or damaged file.

        >>> t = PyTrace.from_fst("run.fst")
        """
    @staticmethod
    def from_fsdb(path: str) -> PyTrace:
        """Loads names (and, for the newer generation, byte-sized values) of an FSDB file.

        Raises ValueError ("FSDB file too small", "Not an FSDB file (magic=0x...)", "Failed to read ...").

        >>> t = PyTrace.from_fsdb("run.fsdb")
        """
    @staticmethod
    def from_shm(path: str) -> PyTrace:
        """Loads an SHM database from its directory, its .dsn or its .trn file.

        Raises ValueError ("No .dsn/.trn in {path}", "DSN: ...", "Bad DSN magic: 0x...").

        >>> t = PyTrace.from_shm("waves.shm")
        """
    @staticmethod
    def from_vpd(path: str) -> PyTrace:
        """Loads the signal names of a VPD file (one index, no values).

        Raises ValueError ("VPD file too small", "Not a VPD file (magic=0x...)", "Failed to read ...").

        >>> t = PyTrace.from_vpd("run.vpd")
        """
    @staticmethod
    def from_wlf(path: str) -> PyTrace:
        """Loads names and byte-sized values of a WLF file (time = index).

        Raises ValueError ("WLF file too small (< 1 page)", "Failed to read ...").

        >>> t = PyTrace.from_wlf("run.wlf")
        """
    @staticmethod
    def detect_format(path: str) -> Optional[str]:
        """The format of the dump at `path` recognised by its content ("vcd",
        "vcd.gz", "fst", "fsdb", "wlf", "shm", "vpd"), or None.

        Raises ValueError("Failed to read {path}: ...") when the path cannot be read.

        >>> PyTrace.detect_format("run.fst")
        'fst'
        """
    @staticmethod
    def from_format(path: str, format: str) -> PyTrace:
        """Loads `path` with the reader of the named format (a name from formats()).

        Raises ValueError for an unknown format name or when the reader refuses the file.

        >>> t = PyTrace.from_format("run.dump", "vcd")
        """
    @staticmethod
    def formats() -> list[tuple[str, str]]:
        """The formats velk reads: (name, description) pairs in detection order.

        >>> [name for name, _ in PyTrace.formats()]
        ['fst', 'fsdb', 'shm', 'vpd', 'vcd.gz', 'vcd', 'wlf']
        """

    # --- accessors -------------------------------------------------------------
    def signal_names(self) -> list[str]:
        """Full hierarchical names ("top.cpu.pc") in the dump's order.

        >>> t.signal_names()[:2]
        ['tb.count', 'tb.acc']
        """
    def scopes(self) -> list[str]:
        """Scope paths ("top.cpu") in the dump's order.

        >>> t.scopes()
        ['tb', 'tb.dut']
        """
    def max_index(self) -> int:
        """The last index: number of timestamps minus 1 (0 for a dump without any).

        >>> t.max_index()
        45
        """
    def timestamp(self, index: int) -> int:
        """The time of `index` in the dump's unit; 0 for an index past the data.

        >>> t.timestamp(1)
        5000
        """
    def signal_value(self, name: str, index: int) -> _Value:
        """The value of `name` at `index`; None for X/Z, no value yet, an
        unknown name or an index past the data.

        >>> t.signal_value("tb.count", 5)
        2
        """
    def signal_width(self, name: str) -> int:
        """Width in bits; for an unknown name 0 (VCD) or 1 (other formats).

        >>> t.signal_width("tb.acc")
        8
        """
    def signal_id(self, name: str) -> Optional[int]:
        """The id PyExpr.signal takes; aliases share one id. None for an unknown name.

        >>> PyExpr.signal(t.signal_id("tb.clk"))
        """
    def signal_values_range(self, name: str, start: int, end: int) -> list[_Value]:
        """One value per index in [start, end); empty when start >= end; Nones
        for an unknown name or indices past the data.

        >>> t.signal_values_range("tb.en", 0, 3)
        [0, 0, 0]
        """
    def signal_value_raw(self, name: str, index: int) -> int:
        """The value as an unsigned number; 0 for X/Z, no value or an unknown name.

        >>> t.signal_value_raw("tb.count", 5)
        2
        """
    def bit_slice_val(self, val: int, high: int, low: int) -> int:
        """Bits low..high of the 64-bit `val` (the shift wraps modulo 64); 0 when high < low.

        >>> t.bit_slice_val(0xAB, 7, 4)
        10
        """
    def sign_extend_val(self, val: int, width: int) -> int:
        """`val` read as a `width`-bit two's complement number (width 1..63; otherwise unchanged).

        >>> t.sign_extend_val(0xF, 4)
        -1
        """
    def snapshot(self, index: int) -> dict[str, _Value]:
        """Every signal's value at `index`, keyed by full name (None past the data).

        Snapshot: get all signal values at a specific index as a dict.
        Uses signal_value_by_id for O(1) access per signal.

        >>> t.snapshot(5)["tb.count"]
        2
        """
    def snapshot_scope(self, index: int, scope: str) -> dict[str, _Value]:
        """Values at `index` of the signals below `scope`, keyed relative to it
        ("cpu.pc" under "top"); empty for an unknown scope.

        Snapshot within a scope.
        Uses signal_value_by_id for O(1) access per signal.

        >>> t.snapshot_scope(5, "tb.dut")
        """
    def timestamps_buffer(self) -> bytearray:
        """Every timestamp as native uint64, one per index (what velk.timestamps wraps).

        >>> numpy.frombuffer(t.timestamps_buffer(), dtype=numpy.uint64)
        """
    def changes_buffers(
        self, name: str, start: int, end: int
    ) -> Optional[tuple[str, bytearray, bytearray | list[_Value], bytearray]]:
        """The signal over [start, end) in run-length form: (kind, indices,
        values, unknown), or None for an unknown name. kind is "uint64",
        "float64" or "str"; indices are native uint64; values are uint64 or
        float64 (a list for "str"); unknown has one byte per entry, 1 for
        X/Z or no value. What velk.changes and velk.to_numpy wrap.

        >>> kind, idx, vals, unknown = t.changes_buffers("tb.count", 0, 10)
        """
    def values_buffers(self, name: str, start: int, end: int) -> Optional[tuple[str, bytearray, bytearray]]:
        """The signal at every index of [start, end) (end clamped to
        max_index() + 1): (kind, values, unknown), or None for an unknown
        name. kind is "uint64" or "float64" with one native number per index
        in values and one byte per index in unknown (1 for X/Z or no value);
        for a signal holding text kind is "str" and both are empty (use
        changes_buffers). What velk.to_numpy wraps.

        >>> kind, vals, unknown = t.values_buffers("tb.count", 0, 10)
        """

    # --- search and analysis -------------------------------------------------------
    def resolve(self, scope_name: str, short_name: str) -> Optional[str]:
        """The full name `short_name` stands for seen from `scope_name`
        (looking outwards through the enclosing scopes), or None.

        >>> t.resolve("tb.dut", "count")
        'tb.dut.count'
        """
    def local_signals(self, scope_name: str) -> list[str]:
        """The signals directly in `scope_name` (full names); empty for an unknown scope.

        >>> t.local_signals("tb.dut")
        """
    def local_scopes(self, scope_name: str) -> list[str]:
        """The scopes directly below `scope_name` ("" for the top level).

        >>> t.local_scopes("tb")
        ['tb.dut']
        """
    def find_signals_containing(self, substring: str) -> list[str]:
        """Names containing `substring`, ignoring case; empty when none does.

        Find signals containing a substring (case-insensitive).

        >>> t.find_signals_containing("CLK")
        ['tb.clk', 'tb.dut.clk']
        """
    def find_signals_glob(self, pattern: str) -> list[str]:
        """Names matching the glob `pattern` (*, ?, [...]); empty when none does.

        Find signals matching a glob pattern.

        >>> t.find_signals_glob("tb.dut.*")
        """
    def signal_stats(self, name: str) -> tuple[int, int, int, int, int, int, int]:
        """(min, max, sum, count, transitions, num_x, num_z) of the known
        values; all zeros for an unknown name.

        Compute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)

        >>> t.signal_stats("tb.count")
        (0, 15, 300, 45, 17, 1, 0)
        """
    def find(self, expr: PyExpr) -> list[int]:
        """The indices where `expr` holds, ascending, searched on this thread.

        >>> t.find(velk.parse_condition(t, "tb.count == 3"))
        """
    def parallel_find(self, expr: PyExpr) -> list[int]:
        """As find, spread over all CPU cores (RAYON_NUM_THREADS sets the pool size).

        Find matching indices using rayon parallel iteration across all CPU cores.

        >>> t.parallel_find(velk.parse_condition(t, "tb.en and tb.clk"))
        """
    def parallel_count(self, expr: PyExpr) -> int:
        """The number of indices where `expr` holds, on all cores.

        Count matching indices using rayon parallel iteration.

        >>> t.parallel_count(PyExpr.always_true()) == t.max_index() + 1
        True
        """
    def eval_expr(self, expr: PyExpr, index: int) -> _Value:
        """The value of `expr` at `index` (None for X/Z results or past the data).

        >>> t.eval_expr(PyExpr.signal(t.signal_id("tb.count")).add(PyExpr.const_int(1)), 5)
        3
        """
    def eval_expr_bool(self, expr: PyExpr, index: int) -> bool:
        """Whether `expr` holds at `index` (False past the data).

        >>> t.eval_expr_bool(PyExpr.always_true(), 0)
        True
        """
    def changed_at(self, index: int) -> list[tuple[str, _Value, _Value]]:
        """(name, old, new) of every signal whose value changed at `index`; empty at index 0.

        Get all signals that changed value at a specific index.
        Returns list of (name, old_value, new_value) tuples.

        >>> t.changed_at(6)
        """
    def changed_at_scope(self, index: int, scope: str) -> list[tuple[str, _Value, _Value]]:
        """As changed_at, for the signals below `scope` only.

        Get signals that changed at index within a scope.

        >>> t.changed_at_scope(6, "tb.dut")
        """
    def transitions(self, name: str) -> list[tuple[int, _Value, _Value]]:
        """(index, old, new) for every change of `name`; empty for an unknown name.

        Get all transitions for a signal: [(index, old, new), ...]

        >>> t.transitions("tb.en")
        [(6, 0, 1), (27, 1, 0), (32, 0, 1)]
        """
    def find_with_values(self, expr: PyExpr, signal_names: Sequence[str]) -> list[tuple[int, list[_Value]]]:
        """(index, [value of each name]) for every index where `expr` holds;
        None in place of an unknown name's value. A single str is refused.

        Find with value extraction in one pass: returns list of (index, [values]) tuples.
        Resolves signal IDs once upfront, uses signal_value_by_id in the hot loop.

        >>> t.find_with_values(velk.parse_condition(t, "tb.count == 3"), ["tb.acc"])
        """

@final
class PyExpr:
    """An immutable expression tree over signal ids, evaluated by PyTrace's
    eval_expr, find and friends. Builders copy their operands into a new
    tree; there are no operator overloads (a + b raises TypeError).
    velk.parse_condition builds these from text."""

    @staticmethod
    def signal(id: int) -> PyExpr:
        """A signal's value (an id from PyTrace.signal_id; not checked).

        >>> PyExpr.signal(t.signal_id("tb.clk"))
        """
    @staticmethod
    def const_int(val: int) -> PyExpr:
        """An unsigned constant, 0 to 2**64 - 1 (OverflowError outside).

        >>> PyExpr.const_int(5)
        """
    @staticmethod
    def const_float(val: float) -> PyExpr:
        """A real constant.

        >>> PyExpr.const_float(2.5)
        """
    @staticmethod
    def const_str(val: str) -> PyExpr:
        """A string constant.

        >>> PyExpr.const_str("IDLE")
        """
    @staticmethod
    def always_true() -> PyExpr:
        """True at every index.

        >>> t.parallel_count(PyExpr.always_true())
        """
    def rel_eval(self, offset: int) -> PyExpr:
        """This expression at index + offset (name@-1 is the previous index).

        >>> clk.and_(clk.rel_eval(-1).not_())  # rising edge
        """
    def not_(self) -> PyExpr:
        """Logical negation.

        >>> en.not_()
        """
    def and_(self, other: PyExpr) -> PyExpr:
        """Both hold.

        >>> clk.and_(en)
        """
    def or_(self, other: PyExpr) -> PyExpr:
        """Either holds.

        >>> clk.or_(en)
        """
    def eq_(self, other: PyExpr) -> PyExpr:
        """Equal (numerically equal values count as equal).

        >>> count.eq_(PyExpr.const_int(3))
        """
    def neq(self, other: PyExpr) -> PyExpr:
        """Not equal.

        >>> count.neq(PyExpr.const_int(3))
        """
    def gt_(self, other: PyExpr) -> PyExpr:
        """self > other.

        >>> count.gt_(PyExpr.const_int(3))
        """
    def lt_(self, other: PyExpr) -> PyExpr:
        """self < other.

        >>> count.lt_(PyExpr.const_int(3))
        """
    def gte(self, other: PyExpr) -> PyExpr:
        """self >= other.

        >>> count.gte(PyExpr.const_int(3))
        """
    def lte(self, other: PyExpr) -> PyExpr:
        """self <= other.

        >>> count.lte(PyExpr.const_int(3))
        """
    def add(self, other: PyExpr) -> PyExpr:
        """self + other.

        >>> count.add(PyExpr.const_int(1))
        """
    def sub(self, other: PyExpr) -> PyExpr:
        """self - other.

        >>> count.sub(PyExpr.const_int(1))
        """
    def bit_and(self, other: PyExpr) -> PyExpr:
        """Bitwise and.

        >>> count.bit_and(PyExpr.const_int(1))
        """
    def bit_or(self, other: PyExpr) -> PyExpr:
        """Bitwise or.

        >>> count.bit_or(PyExpr.const_int(8))
        """
    def bit_xor(self, other: PyExpr) -> PyExpr:
        """Bitwise exclusive or.

        >>> count.bit_xor(PyExpr.const_int(15))
        """
    def slice(self, high: int, low: int) -> PyExpr:
        """Bits low..high (name[7:4]); 0 when high < low.

        >>> data.slice(7, 4)
        """
    def signed(self) -> PyExpr:
        """The value read as two's complement at its width.

        >>> count.signed().lt_(PyExpr.const_int(0))
        """
    def is_x(self) -> PyExpr:
        """Holds where the value has an X bit.

        >>> bus.is_x()
        """
    def is_z(self) -> PyExpr:
        """Holds where the value has a Z bit.

        >>> bus.is_z()
        """
