"""velk.map_dumps: the same results through the default process pool, a
thread pool and a local Dask cluster; a broken dump is reported for itself."""

import concurrent.futures as cf
import operator

import pytest

import velk
from velk.condition import ConditionError
from test_cli import make_dumps

STATS = operator.methodcaller("signal_stats", "tb.n")


@pytest.fixture
def dumps(tmp_path):
    paths = make_dumps(tmp_path, 6)
    broken = tmp_path / "broken.vcd"
    broken.write_bytes(b"\x7fELF" + bytes(40))
    missing = tmp_path / "missing.vcd"
    return paths, broken, missing


def expected(paths):
    return {str(p): STATS(velk.open(p)) for p in paths}


def check(results, paths, broken, missing):
    assert set(results) == {str(p) for p in [*paths, broken, missing]}
    assert isinstance(results[str(broken)], velk.FormatError)
    assert isinstance(results[str(missing)], FileNotFoundError)
    assert {p: r for p, r in results.items() if p in {str(q) for q in paths}} == expected(paths)


def test_default_process_pool(dumps):
    paths, broken, missing = dumps
    check(dict(velk.map_dumps([*paths, broken, missing], STATS)), paths, broken, missing)


def test_any_executor_and_failing_functions(dumps):
    paths, broken, missing = dumps
    with cf.ThreadPoolExecutor(2) as pool:
        check(dict(velk.map_dumps([*paths, broken, missing], STATS, executor=pool)), paths, broken, missing)
    # fn raising for one dump only: that dump's result is the exception, whole
    # and picklable (ConditionError keeps its column across processes).
    results = dict(velk.map_dumps(paths[:2], operator.methodcaller("signal_stats", 5)))
    assert all(isinstance(r, TypeError) for r in results.values())
    assert list(velk.map_dumps([], STATS)) == []
    error = ConditionError("unknown signal", "x == 1", 1)
    import pickle
    again = pickle.loads(pickle.dumps(error))
    assert (again.column, str(again)) == (1, str(error))


def test_local_dask_cluster(dumps):
    distributed = pytest.importorskip("distributed")
    paths, broken, missing = dumps
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=50) as cluster, distributed.Client(cluster) as client:
        results = dict(velk.map_dumps([*paths, broken, missing], STATS, executor=client.get_executor()))
    check(results, paths, broken, missing)
