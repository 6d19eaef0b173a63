"""The velk command: a quick look at waveform dumps from the shell.

Exit status: 0 when every dump was read and every query answered, 1 when a
dump could not be read or a name is unknown, 2 for a usage error (bad
arguments or a condition that does not parse). Errors go to stderr; --json
prints one JSON object per line (per dump for info, find and stats).
"""

from __future__ import annotations

import argparse
import bisect
import functools
import glob
import json
import os
import sys
import time
import concurrent.futures as cf
from typing import Any, Callable, Iterator, Optional, Sequence

import velk
from velk._core import PyTrace
from velk._many import default_executor
from velk._open import FormatError
from velk._open import open as open_dump
from velk.condition import ConditionError, resolve_name, unknown_name_message

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class CommandError(Exception):
    """A failure reported on stderr with exit status `status`."""

    def __init__(self, message: str, status: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.status = status


# --- argument helpers -----------------------------------------------------------


def parse_range(text: str) -> tuple[int, Optional[int]]:
    """'A:B' as (A, B); either side may be left out (':100', '50:')."""
    first, sep, last = text.partition(":")
    try:
        start = int(first) if first else 0
        end = int(last) if last else None
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected A:B with integer indices, got {text!r}") from None
    if not sep or start < 0 or (end is not None and end < start):
        raise argparse.ArgumentTypeError(f"expected A:B with 0 <= A <= B, got {text!r}")
    return start, end


def non_negative(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


def expand_dumps(patterns: Sequence[str]) -> list[str]:
    """Dump arguments with glob patterns expanded (quoted patterns reach us
    unexpanded); a path that exists is taken as it is."""
    paths: list[str] = []
    for pattern in patterns:
        if os.path.exists(pattern) or not glob.has_magic(pattern):
            paths.append(pattern)
            continue
        matches = sorted(glob.glob(pattern))
        if not matches:
            raise CommandError(f"no dump matches {pattern!r}")
        paths.extend(matches)
    return paths


def load(path: str) -> PyTrace:
    try:
        return open_dump(path)
    except (OSError, ValueError) as error:
        raise CommandError(describe_error(path, error)) from error


def describe_error(path: str, error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        return f"{path}: {error.strerror}"
    text = str(error)
    return text if path in text else f"{path}: {text}"


def full_name(trace: PyTrace, name: str) -> str:
    found = resolve_name(trace, name)
    if found is None:
        raise CommandError(unknown_name_message(trace, name))
    return found


def format_value(value: Any, hex_ints: bool = False) -> str:
    if value is None:
        return "x"
    if isinstance(value, int) and hex_ints:
        return f"0x{value:x}"
    if isinstance(value, str):
        return json.dumps(value)
    return str(value)


def last_index(end: Optional[int], trace: PyTrace) -> int:
    """The exclusive end of an index range, clamped to the dump."""
    limit = trace.max_index() + 1
    return limit if end is None else min(end, limit)


# --- per-dump jobs (module level, so worker processes can run them) ---------------


def info_job(path: str) -> dict[str, Any]:
    started = time.perf_counter()
    trace = open_dump(path)
    seconds = time.perf_counter() - started
    last = trace.max_index()
    size = os.path.getsize(path) if os.path.isfile(path) else sum(
        os.path.getsize(os.path.join(path, f)) for f in os.listdir(path) if os.path.isfile(os.path.join(path, f)))
    return {
        "path": path,
        "format": PyTrace.detect_format(path),
        "signals": len(trace.signal_names()),
        "scopes": len(trace.scopes()),
        "indices": last + 1,
        "time_start": trace.timestamp(0),
        "time_end": trace.timestamp(last),
        "size": size,
        "load_seconds": round(seconds, 6),
    }


def find_job(path: str, condition: str, first: Optional[int]) -> dict[str, Any]:
    trace = open_dump(path)
    indices = trace.parallel_find(velk.parse_condition(trace, condition))
    shown = indices if first is None else indices[:first]
    return {"path": path, "count": len(indices), "indices": shown, "times": [trace.timestamp(i) for i in shown]}


def stats_job(path: str, name: str) -> dict[str, Any]:
    trace = open_dump(path)
    found = resolve_name(trace, name)
    if found is None:
        raise LookupError(unknown_name_message(trace, name))
    keys = ("min", "max", "sum", "count", "transitions", "num_x", "num_z")
    return {"path": path, "name": found, **dict(zip(keys, trace.signal_stats(found)))}


# The jobs above need the path (file size, load time), so the command submits
# them to the pool itself rather than through map_dumps, which hands over an
# open trace.
def submit_paths(paths: list[str], job: Callable[[str], dict[str, Any]],
                  jobs: Optional[int]) -> Iterator[tuple[str, Any]]:
    if len(paths) == 1:
        try:
            yield paths[0], job(paths[0])
        except Exception as error:
            yield paths[0], error
        return
    executor = default_executor(min(len(paths), jobs or os.cpu_count() or 1))
    try:
        futures = {executor.submit(job, path): path for path in paths}
        for future in cf.as_completed(futures):
            try:
                yield futures[future], future.result()
            except Exception as error:
                yield futures[future], error
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


# --- commands --------------------------------------------------------------------


def emit_json(obj: Any) -> None:
    print(json.dumps(obj))


def report_many(args: argparse.Namespace, job: Callable[[str], dict[str, Any]],
                line: Callable[[dict[str, Any], bool], str]) -> int:
    paths = expand_dumps(args.dumps)
    status = EXIT_OK
    many = len(paths) > 1
    for path, result in submit_paths(paths, job, args.jobs):
        if isinstance(result, BaseException):
            if isinstance(result, ConditionError):
                raise CommandError(str(result), EXIT_USAGE)
            status = EXIT_FAILED
            message = describe_error(path, result)
            print(f"velk: {message}", file=sys.stderr)
            if args.json:
                emit_json({"path": path, "error": message})
            continue
        if args.json:
            emit_json(result)
        else:
            print(line(result, many))
    return status


def human_size(size: int) -> str:
    value = float(size)
    for unit in ("B", "kB", "MB", "GB"):
        if value < 1000 or unit == "GB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1000
    return f"{size} B"


def cmd_info(args: argparse.Namespace) -> int:
    def line(r: dict[str, Any], many: bool) -> str:
        return (f"{r['path']}: {r['format']}, {r['signals']} signals, {r['scopes']} scopes, "
                f"{r['indices']} indices, time {r['time_start']}..{r['time_end']}, "
                f"{human_size(r['size'])}, loaded in {r['load_seconds'] * 1000:.1f} ms")
    return report_many(args, info_job, line)


def cmd_find(args: argparse.Namespace) -> int:
    job = functools.partial(find_job, condition=args.condition, first=args.first)

    def line(r: dict[str, Any], many: bool) -> str:
        if args.count:
            return f"{r['path']}: {r['count']}" if many else str(r["count"])
        if not many:
            return "\n".join(f"{i}\t{t}" for i, t in zip(r["indices"], r["times"]))
        shown = " ".join(str(i) for i in r["indices"])
        more = " ..." if len(r["indices"]) < r["count"] else ""
        return f"{r['path']}: {r['count']} matches" + (f": {shown}{more}" if shown else "")

    return report_many(args, job, line)


def cmd_stats(args: argparse.Namespace) -> int:
    job = functools.partial(stats_job, name=args.name)

    def line(r: dict[str, Any], many: bool) -> str:
        body = " ".join(f"{k}={r[k]}" for k in ("min", "max", "sum", "count", "transitions", "num_x", "num_z"))
        return f"{r['path']}: {r['name']}: {body}" if many else f"{r['name']}: {body}"

    return report_many(args, job, line)


def cmd_list(args: argparse.Namespace) -> int:
    trace = load(args.dump)
    names = trace.find_signals_glob(args.pattern)
    if args.json:
        emit_json([{"name": n, "width": trace.signal_width(n)} for n in names])
        return EXIT_OK
    for name in names:
        print(f"{trace.signal_width(name):>6}  {name}")
    return EXIT_OK


def index_at_time(trace: PyTrace, when: int) -> int:
    """The last index whose timestamp is not after `when`."""
    last = trace.max_index()

    class Times:
        def __len__(self) -> int:
            return last + 1

        def __getitem__(self, i: int) -> int:
            return trace.timestamp(i)

    position = bisect.bisect_right(Times(), when) - 1
    if position < 0:
        raise CommandError(f"time {when} is before the first timestamp {trace.timestamp(0)}")
    return position


def cmd_values(args: argparse.Namespace) -> int:
    trace = load(args.dump)
    names = [full_name(trace, n) for n in args.names]
    if args.at is not None:
        if args.at > trace.max_index():
            raise CommandError(f"index {args.at} is past the last index {trace.max_index()}")
        indices = range(args.at, args.at + 1)
    elif args.time is not None:
        at = index_at_time(trace, args.time)
        indices = range(at, at + 1)
    else:
        start, end = args.range or (0, None)
        indices = range(start, last_index(end, trace))
    columns = [trace.signal_values_range(n, indices.start, indices.stop) for n in names]
    if args.json:
        for k, i in enumerate(indices):
            emit_json({"index": i, "time": trace.timestamp(i), "values": {n: c[k] for n, c in zip(names, columns)}})
        return EXIT_OK
    print("\t".join(["index", "time", *names]))
    for k, i in enumerate(indices):
        print("\t".join([str(i), str(trace.timestamp(i)), *(format_value(c[k], args.hex) for c in columns)]))
    return EXIT_OK


def cmd_transitions(args: argparse.Namespace) -> int:
    trace = load(args.dump)
    name = full_name(trace, args.name)
    changes = trace.transitions(name)
    if args.json:
        for index, old, new in changes:
            emit_json({"index": index, "time": trace.timestamp(index), "old": old, "new": new})
        return EXIT_OK
    for index, old, new in changes:
        print(f"{index}\t{trace.timestamp(index)}\t{format_value(old, args.hex)} -> {format_value(new, args.hex)}")
    return EXIT_OK


def cmd_scopes(args: argparse.Namespace) -> int:
    trace = load(args.dump)
    scopes = sorted(trace.scopes())
    if args.json:
        emit_json(scopes)
        return EXIT_OK
    for scope in scopes:
        depth = scope.count(".")
        print("  " * depth + scope.rsplit(".", 1)[-1])
    return EXIT_OK


def parse_size(text: str) -> tuple[int, int]:
    width, sep, height = text.lower().partition("x")
    try:
        size = (int(width), int(height))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels, got {text!r}") from None
    if not sep or min(size) < 16:
        raise argparse.ArgumentTypeError(f"expected WIDTHxHEIGHT in pixels (16 or more), got {text!r}")
    return size


def cmd_plot(args: argparse.Namespace) -> int:
    try:
        from velk.waveplot import plot
    except ImportError as error:  # matplotlib is an optional extra
        raise CommandError(f"plotting needs matplotlib: pip install 'velk[plot]' ({error})") from error
    trace = load(args.dump)
    names = [full_name(trace, n) for n in args.names]
    start, end = args.range or (0, None)
    width, height = args.size
    try:
        plot(trace, names, start, last_index(end, trace), output=args.output, width=width, height=height)
    except ValueError as error:
        raise CommandError(str(error)) from error
    print(args.output)
    return EXIT_OK


# --- parser ------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velk", description="Look into waveform dumps (VCD, FST, FSDB, WLF, SHM, VPD) from the shell.",
        epilog="Exit status: 0 success, 1 a dump could not be read or a name is unknown, 2 usage error.")
    parser.add_argument("--version", action="version", version=f"velk {velk.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=description)
        sub.add_argument("--json", action="store_true", help="print JSON (one object per line) for scripts")
        return sub

    def jobs_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("-j", "--jobs", type=non_negative, default=None,
                         help="worker processes for several dumps (default: one per CPU)")

    sub = command("info", "format, size and extent of dumps",
                  "Print format, signal and scope counts, indices, time range, file size and load time, "
                  "one line per dump. Several dumps (and quoted globs) are read in parallel processes.")
    sub.add_argument("dumps", nargs="+", metavar="DUMP")
    jobs_option(sub)
    sub.set_defaults(run=cmd_info)

    sub = command("list", "signal names (glob) with widths", "List the signals whose names match PATTERN.")
    sub.add_argument("dump", metavar="DUMP")
    sub.add_argument("pattern", nargs="?", default="*", metavar="PATTERN", help="glob over full names (default *)")
    sub.set_defaults(run=cmd_list)

    sub = command("values", "values of signals at indices",
                  "Print the values of NAMEs at every index, at one index (--at), at a time (--time: the last "
                  "index not after it) or over an index range (--range A:B, B exclusive). x marks unknown.")
    sub.add_argument("dump", metavar="DUMP")
    sub.add_argument("names", nargs="+", metavar="NAME")
    where = sub.add_mutually_exclusive_group()
    where.add_argument("--at", type=non_negative, metavar="INDEX", help="one index")
    where.add_argument("--time", type=non_negative, metavar="T", help="the index in force at time T")
    where.add_argument("--range", type=parse_range, metavar="A:B", help="indices A up to B (exclusive)")
    sub.add_argument("--hex", action="store_true", help="print integers in hex")
    sub.set_defaults(run=cmd_values)

    sub = command("find", "indices where a condition holds",
                  "Print the indices (and times) where CONDITION holds; with several dumps, one line per dump. "
                  "Condition language: names (backquoted when they hold spaces or brackets), integers, floats, "
                  "strings, == != < > <= >=, + - & | ^, and or not, name[7:4], name@-1 (previous index), "
                  "isx(...), isz(...). Example: velk find run.vcd 'tb.valid and tb.data[7:4] == 0xA'")
    sub.add_argument("dumps", nargs="+", metavar="DUMP")
    sub.add_argument("condition", metavar="CONDITION")
    sub.add_argument("--count", action="store_true", help="print only the number of matches")
    sub.add_argument("--first", type=non_negative, metavar="N", help="show only the first N matches")
    jobs_option(sub)
    sub.set_defaults(run=cmd_find)

    sub = command("transitions", "every change of one signal", "Print index, time, old -> new for each change.")
    sub.add_argument("dump", metavar="DUMP")
    sub.add_argument("name", metavar="NAME")
    sub.add_argument("--hex", action="store_true", help="print integers in hex")
    sub.set_defaults(run=cmd_transitions)

    sub = command("stats", "statistics of one signal",
                  "Print min, max, sum, count, transitions and X/Z counts of NAME, one line per dump.")
    sub.add_argument("dumps", nargs="+", metavar="DUMP")
    sub.add_argument("name", metavar="NAME")
    jobs_option(sub)
    sub.set_defaults(run=cmd_stats)

    sub = command("scopes", "the scope tree", "Print the scope tree, indented by depth.")
    sub.add_argument("dump", metavar="DUMP")
    sub.set_defaults(run=cmd_scopes)

    sub = command("plot", "draw a timing diagram (PNG or SVG)",
                  "Draw NAMEs as a waveform viewer would and save to OUTPUT (.png or .svg). Needs matplotlib.")
    sub.add_argument("dump", metavar="DUMP")
    sub.add_argument("names", nargs="+", metavar="NAME")
    sub.add_argument("--range", type=parse_range, metavar="A:B", help="indices A up to B (exclusive)")
    sub.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="out.png or out.svg")
    sub.add_argument("--size", type=parse_size, default=(1200, 400), metavar="WxH",
                     help="picture size in pixels (default 1200x400)")
    sub.set_defaults(run=cmd_plot)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except CommandError as error:
        print(f"velk: {error}", file=sys.stderr)
        return error.status
    except ConditionError as error:
        print(f"velk: {error}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:  # the reader went away (velk list ... | head)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
    except (FormatError, OSError, ValueError) as error:
        print(f"velk: {error}", file=sys.stderr)
        return EXIT_FAILED
