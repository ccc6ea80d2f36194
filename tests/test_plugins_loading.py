"""Loading plugin descriptions from the configuration."""

from __future__ import annotations

import sys
import types

import pytest
from vask import plugins
from vask.plugins import load_plugin_data

MINIMAL = {
    "co_names": ["handle"],
    "path_fragment": "myframework/",
    "call_type": "request",
    "return_type": "response",
}

FULL = {
    **MINIMAL,
    "co_names": ("start", "stop"),
    "unwind_type": "failed",
    "resume_type": "resumed",
    "yield_type": "yielded",
    "throw_type": "thrown",
    "subtype": "web",
    "events": ["call", "return"],
    "build_context": lambda config: {},
    "call": lambda frame, event, arg, context: True,
    "process": None,
}


@pytest.fixture
def module(monkeypatch):
    """A throwaway importable module holding plugin descriptions."""
    mod = types.ModuleType("vask_test_plugin_module")
    mod.ONE = dict(MINIMAL)
    mod.MANY = [dict(MINIMAL), dict(FULL)]
    mod.NOT_A_PLUGIN = 42
    mod.nested = types.SimpleNamespace(ONE=dict(MINIMAL))
    monkeypatch.setitem(sys.modules, mod.__name__, mod)
    return mod


class TestLoading:
    @pytest.fixture(autouse=True)
    def _no_builtin_plugins(self, monkeypatch):
        # The configured descriptions are what these tests are about.
        monkeypatch.setattr(plugins, "BUILTIN_PLUGINS", [])

    def test_nothing_configured(self):
        assert load_plugin_data({}) == []
        assert load_plugin_data({"processors": None}) == []
        assert load_plugin_data({"processors": []}) == []

    def test_builtins_come_first(self, monkeypatch):
        builtin = {**MINIMAL, "co_names": ["builtin"]}
        monkeypatch.setattr(plugins, "BUILTIN_PLUGINS", [builtin])
        loaded = load_plugin_data({"processors": [MINIMAL]})
        assert [d["co_names"] for d in loaded] == [["builtin"], ["handle"]]

    def test_dicts_and_import_strings_in_order(self, module):
        name = module.__name__
        loaded = load_plugin_data(
            {"processors": [FULL, f"{name}:ONE", f"{name}:MANY", f"{name}:nested.ONE"]}
        )
        assert len(loaded) == 5
        assert loaded[0]["co_names"] == ["start", "stop"]
        assert loaded[0]["subtype"] == "web" and loaded[0]["call"] is FULL["call"]
        assert all(d["path_fragment"] == "myframework/" for d in loaded)

    def test_one_shot_iterables_survive_validation(self):
        # The engine iterates co_names itself: the result must not be exhausted.
        loaded = load_plugin_data({"processors": [{**MINIMAL, "co_names": {"a", "b"}}]})
        assert sorted(loaded[0]["co_names"]) == ["a", "b"]
        assert MINIMAL["co_names"] == ["handle"]  # the given dict is not changed


class TestBadEntries:
    @pytest.mark.parametrize(
        "entry, error, message",
        [
            (42, TypeError, r"processors\[0\]: expected a plugin description dict"),
            ({"path_fragment": "x"}, ValueError, "missing required key.*co_names"),
            ({**MINIMAL, "co_names": "handle"}, TypeError, "co_names must be a list"),
            ({**MINIMAL, "co_names": [1]}, TypeError, "co_names must hold only str"),
            ({**MINIMAL, "co_names": []}, ValueError, "co_names is empty"),
            ({**MINIMAL, "call_type": None}, TypeError, "call_type must be a str"),
            ({**MINIMAL, "unwind_type": None}, TypeError, "unwind_type must be a str"),
            ({**MINIMAL, "events": "call"}, TypeError, "events must be a list"),
            ({**MINIMAL, "events": ["cal"]}, ValueError, "unknown event kind.*'cal'"),
            ({**MINIMAL, "process": "not callable"}, TypeError, "process must be callable"),
            ({**MINIMAL, "retrun_type": "x"}, ValueError, "unknown key.*retrun_type"),
            ("no_colon", ValueError, "not of the form 'module:attribute'"),
            ("vask_no_such_module_xyz:X", ValueError, "cannot import module"),
        ],
    )
    def test_error_names_the_entry(self, entry, error, message):
        with pytest.raises(error, match=message) as info:
            load_plugin_data({"processors": [entry]})
        assert str(info.value).startswith("processors[0]")

    def test_import_string_errors_name_the_string(self, module):
        name = module.__name__
        with pytest.raises(ValueError, match=rf"processors\[1\]: '{name}:MISSING': no attribute"):
            load_plugin_data({"processors": [MINIMAL, f"{name}:MISSING"]})
        with pytest.raises(
            TypeError, match=rf"processors\[0\] \({name}:NOT_A_PLUGIN\): names a int"
        ):
            load_plugin_data({"processors": [f"{name}:NOT_A_PLUGIN"]})
        module.MANY.append({"co_names": ["x"]})
        with pytest.raises(ValueError, match=rf"\({name}:MANY\)\[2\]: missing required"):
            load_plugin_data({"processors": [f"{name}:MANY"]})

    def test_plugins_must_be_a_list(self):
        with pytest.raises(TypeError, match="must be a list"):
            load_plugin_data({"processors": MINIMAL})
        with pytest.raises(TypeError, match="config must be a dict"):
            load_plugin_data(["plugins"])
