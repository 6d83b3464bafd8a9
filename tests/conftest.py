import os
import subprocess
import sys
import textwrap

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_python(code, *, python=None, env=None, path=None, timeout=120):
    """Runs code in a fresh interpreter (crash-prone cases must not take the
    test run down with them); path entries go first on its sys.path."""
    environment = dict(os.environ)
    if env:
        environment.update(env)
    entries = list(path or []) + [TESTS_DIR]
    if environment.get("PYTHONPATH"):
        entries.append(environment["PYTHONPATH"])
    environment["PYTHONPATH"] = os.pathsep.join(entries)
    return subprocess.run(
        [python or sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=timeout,
    )


def module_sources():
    """The text of the module's C++ sources, where facts no API shows (its
    limits, its registered types) are read."""
    folder = os.path.join(TESTS_DIR, os.pardir, "vesk_ext", "src")
    text = []
    for name in sorted(os.listdir(folder)):
        if name.endswith(".cpp"):
            with open(os.path.join(folder, name)) as f:
                text.append(f.read())
    return "".join(text)


def mypy_strict(*paths, cwd=None):
    """mypy --strict over the paths, with its cache in the environment."""
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           os.path.join(sys.prefix, ".mypy_cache"), *paths],
                          capture_output=True, text=True, cwd=cwd, timeout=300)


@pytest.fixture
def python_run():
    return run_python


# The tests `make check` leaves out, by what they cost: each took several
# seconds on two cores (measured with --durations; the whole suite is `make
# test`). Whole modules, then single tests by name (every parameter of it).
SLOW_MODULES = {
    "test_bench_smoke.py",  # builds the bench's fused loop and runs the suite end to end
    "test_leaks.py",  # loops of thousands of queries in child interpreters
    "test_fuzz.py",  # the randomised state machine
}
SLOW_TESTS = {
    "test_every_form_of_the_float_functions_gives_the_library_bits",  # about 4.5 M inputs a function
    "test_training_agrees_with_twin_to_the_bit_across_adam_limits",  # long runs against the twin
    "test_damaged_saved_forms_never_crash",  # every damaged form in a child
    "test_stubs_match_the_module",  # a cold stubtest run
    "test_examples_pass_strict_type_checking",  # a cold mypy run over examples/
    "test_every_page_passes_strict_type_checking",
    "test_population_training_matches_this_process",  # a cluster and a pool
    "test_search_finds_a_graph_better_than_the_mean",
    "test_demo_restores_its_best_graph_in_a_new_process",
    "test_long_columns_give_the_same_results",
    "test_reshaping_a_column_while_it_is_read",
    "test_four_graphs_on_four_threads_match_sequential_runs",
}
# Fixtures that start a dask cluster.
SLOW_FIXTURES = {"dask_client"}


def pytest_collection_modifyitems(config, items):
    for item in items:
        name = item.originalname if hasattr(item, "originalname") else item.name
        if (item.path.name if hasattr(item, "path") else os.path.basename(str(item.fspath))) in SLOW_MODULES \
                or name in SLOW_TESTS or SLOW_FIXTURES & set(getattr(item, "fixturenames", ())) \
                or "dask" in item.name:
            item.add_marker(pytest.mark.slow)
