"""The native module's public surface: functions, signatures, docstrings, errors."""

import inspect
import subprocess
import sys
import textwrap
import threading

import pytest
from vask import _vask
from vask.profiler import Profiler


def test_module_has_exactly_three_functions():
    public = sorted(name for name in dir(_vask) if not name.startswith("__"))
    assert public == ["register_monitor", "register_noop_profiler", "register_profiler"]
    assert _vask.__doc__ in ("", None)


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        ("register_monitor", "(db_path, config, source, one_trace_per_test, name=None)"),
        ("register_noop_profiler", "()"),
        ("register_profiler", "(profiler)"),
    ],
)
def test_module_function_signatures(name, signature):
    assert str(inspect.signature(getattr(_vask, name))) == signature


def test_module_function_docstrings():
    assert _vask.register_noop_profiler.__doc__ == (
        "Register a minimal profiler for comparison purposes in benchmarking"
    )
    doc = _vask.register_profiler.__doc__
    assert "PyEval_SetProfile" in doc and "threading.setprofile" in doc
    assert "register_threading_profiler" in doc


def test_engine_method_signatures_and_docstrings():
    profiler = Profiler(config={"threading": False})
    profiler.start()
    try:
        engine = profiler.rust_profiler
    finally:
        profiler.stop()
    assert type(engine).__name__ == "VaskProfiler"
    assert str(inspect.signature(engine.save)) == "()"
    assert str(inspect.signature(engine.build_trace)) == "()"
    assert str(inspect.signature(engine.register_threading_profiler)) == "(_frame, _event, _arg)"
    assert str(inspect.signature(engine.stop)) == "()"
    assert engine.stop.__doc__.startswith("Stop recording for good, on every thread")
    assert callable(engine)
    assert engine.save.__doc__.startswith(
        "This is called from Python code to trigger saving the trace. Used by"
    )
    assert engine.build_trace.__doc__.startswith(
        "This is called from Python code to build the trace. Used by"
    )
    assert engine.register_threading_profiler.__doc__.startswith(
        "Register the profiler on the current thread. Called by `threading.setprofile`. See"
    )
    with pytest.raises(TypeError):
        type(engine)()
    with pytest.raises(TypeError, match="VaskProfiler"):
        type(engine).save(42)


def test_second_initialisation_raises_import_error():
    code = textwrap.dedent(
        """
        import sys
        import vask._vask
        del sys.modules["vask._vask"]
        try:
            import vask._vask
        except ImportError as exc:
            print("ImportError", exc)
        else:
            print("imported twice")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("ImportError"), out.stdout + out.stderr
    assert "once" in out.stdout


def test_register_profiler_refuses_a_non_callable_and_installs_nothing():
    sys.setprofile(None)
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _vask.register_profiler(object())
    assert sys.getprofile() is None
    with pytest.raises(TypeError):
        _vask.register_profiler()


class _Broken(Profiler):
    pass


@pytest.mark.parametrize(
    ("attribute", "value", "error"),
    [
        ("config", [], TypeError),
        ("config", {1: "x"}, TypeError),
        ("config", {"flush_subtree_mb": True}, ValueError),
        ("config", {"lightweight_repr": 1}, TypeError),
        ("config", {"sqlite_busy_timeout": -1}, (OverflowError, TypeError, ValueError)),
        ("config", {"filters": {"include_frames": "app"}}, TypeError),
        ("trace_id", 7, TypeError),
        ("one_trace_per_test", 1, TypeError),
        ("trace_name", 3, TypeError),
        ("source", None, TypeError),
    ],
)
def test_bad_profiler_attributes_raise_and_install_nothing(attribute, value, error):
    sys.setprofile(None)
    profiler = _Broken(config={"threading": True})
    setattr(profiler, attribute, value)
    with pytest.raises(error):
        _vask.register_profiler(profiler)
    assert sys.getprofile() is None
    assert profiler.rust_profiler is None
    assert threading.getprofile() is None


@pytest.mark.skipif(not hasattr(sys, "monitoring"), reason="the monitor needs sys.monitoring")
@pytest.mark.parametrize(
    "config",
    [
        {1: "x"},
        {"flush_subtree_mb": True},
        {"flush_subtree_mb": "big"},
        {"memory_budget_mb": -1},
        {"max_trace_mb": float("nan")},
        {"lightweight_repr": 1},
        {"omit_return_locals": "yes"},
        {"sqlite_busy_timeout": -1},
        {"filters": {"include_frames": "app"}},
        {"filters": {"ignore_frames": ["ok", 1]}},
        {"processors": "not a list"},
    ],
)
def test_both_engines_read_a_configuration_alike(config, tmp_path):
    # One reading of the configuration for both engines: the same refusal,
    # with the same error, whichever engine is built from it.
    sys.setprofile(None)
    profiler = _Broken(config=dict(config))
    with pytest.raises(Exception) as by_profiler:
        _vask.register_profiler(profiler)
    assert sys.getprofile() is None
    with pytest.raises(Exception) as by_monitor:
        _vask.register_monitor(str(tmp_path / "t.db"), dict(config), "test", False)
    assert type(by_monitor.value) is type(by_profiler.value)
    assert str(by_monitor.value) == str(by_profiler.value)


@pytest.mark.parametrize("value", [None, 1, "yes", False])
def test_threading_hook_needs_a_real_true(value):
    # The engine's own rule, below the Python-side check that refuses all but
    # False here (Profiler.start names the key instead).
    profiler = Profiler(config={"threading": value})
    _vask.register_profiler(profiler)
    try:
        assert threading.getprofile() is None
    finally:
        sys.setprofile(None)
    if value is not False:
        with pytest.raises(TypeError, match="'threading' must be True or False"):
            Profiler(config={"threading": value}).start()


def test_threading_key_missing_means_no_threading_hook():
    profiler = Profiler()
    profiler.config.pop("threading")
    profiler.start()
    try:
        assert threading.getprofile() is None
    finally:
        profiler.stop()


def test_threading_true_registers_the_engine_for_new_threads():
    profiler = Profiler(config={"threading": True})
    profiler.start()
    try:
        hook = threading.getprofile()
        assert hook == profiler.rust_profiler.register_threading_profiler
    finally:
        profiler.stop()
    assert threading.getprofile() is None
    assert sys.getprofile() is None


def test_noop_profiler_returns_none():
    try:
        assert _vask.register_noop_profiler() is None
    finally:
        sys.setprofile(None)


class TestRegisterMonitorArguments:
    def test_wrong_types_name_the_argument(self):
        with pytest.raises(TypeError, match="db_path"):
            _vask.register_monitor(1, {}, "src", False)
        with pytest.raises(TypeError, match="PyDict"):
            _vask.register_monitor("db", [], "src", False)
        with pytest.raises(TypeError, match="source"):
            _vask.register_monitor("db", {}, None, False)
        with pytest.raises(TypeError, match="one_trace_per_test"):
            _vask.register_monitor("db", {}, "src", 1)
        with pytest.raises(TypeError, match="name"):
            _vask.register_monitor("db", {}, "src", False, name=3)
        with pytest.raises(TypeError):
            _vask.register_monitor("db", {}, "src")


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="needs a Python without sys.monitoring")
def test_the_monitoring_engine_needs_312():
    import vask
    from vask.profiler import default_engine

    assert default_engine() == "profile"
    with pytest.raises(ValueError, match="Python 3.12"):
        vask.enable(engine="monitor")
    assert vask.current_profiler() is None
    with pytest.raises(RuntimeError, match="Python 3.12"):
        _vask.register_monitor("db", {}, "src", False)


def test_an_unknown_engine_is_refused():
    import vask

    with pytest.raises(ValueError, match="unknown engine 'fast'"):
        vask.enable(engine="fast")


def test_stop_leaves_another_tools_threading_hook_alone():
    def other_tool(frame, event, arg):
        return None

    threading.setprofile(other_tool)
    try:
        profiler = Profiler(config={"threading": False})
        profiler.start()
        profiler.stop()
        assert threading.getprofile() is other_tool
    finally:
        threading.setprofile(None)
