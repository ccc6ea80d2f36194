"""Values of names that look like secrets are redacted by the value dumpers."""

from __future__ import annotations

import collections
import importlib.util

import msgpack
import pytest
from vask import serialize
from vask.profiler import Profiler
from vask.serialize import REDACTED, dump_msgpack, dump_msgpack_lightweight_repr


def full(value):
    return msgpack.unpackb(dump_msgpack(value), raw=False, strict_map_key=False)


def light(value):
    return msgpack.unpackb(dump_msgpack_lightweight_repr(value), raw=False, strict_map_key=False)


@pytest.fixture(autouse=True)
def default_redaction():
    serialize.configure_redaction(serialize.DEFAULT_REDACT_NAMES)
    yield
    serialize.configure_redaction(serialize.DEFAULT_REDACT_NAMES)


class Thing:
    def __repr__(self):
        return "Thing()"


# Each form of locals takes another path through the dumper: plain values
# (packed as they are), an object (reprs first), a value only the walker writes.
LOCALS_FORMS = {
    "plain": {},
    "with an object": {"self": Thing()},
    "walker only": {"huge": 2**70},
}


class TestDefaultRedaction:
    @pytest.mark.parametrize("extra", LOCALS_FORMS.values(), ids=LOCALS_FORMS.keys())
    def test_secret_locals_are_redacted_and_others_kept(self, extra):
        frame_locals = {
            "password": "hunter2",
            "API_KEY": 12345,
            "db_password": "pw",
            "X-Api-Key": "k",
            "apiKey": "k",
            "csrftoken": "t",
            "user": "alice",
            "count": 3,
            "keys": ["a"],
            **extra,
        }
        out = full(frame_locals)
        for name in ("password", "API_KEY", "db_password", "X-Api-Key", "apiKey", "csrftoken"):
            assert out[name] == REDACTED, name
        assert out["user"] == "alice" and out["count"] == 3 and out["keys"] == ["a"]

    @pytest.mark.parametrize("extra", LOCALS_FORMS.values(), ids=LOCALS_FORMS.keys())
    def test_nested_maps_and_maps_in_lists(self, extra):
        value = {
            "request": {
                "headers": {"Authorization": "Bearer abc", "Accept": "*/*", "Cookie": "s=1"},
                "body": [{"token": "t1", "id": 1}],
            },
            **extra,
        }
        out = full(value)
        assert out["request"]["headers"] == {
            "Authorization": REDACTED,
            "Accept": "*/*",
            "Cookie": REDACTED,
        }
        assert out["request"]["body"] == [{"token": REDACTED, "id": 1}]
        assert full([{"session_id": "abc"}]) == [{"session_id": REDACTED}]

    def test_a_secret_container_is_replaced_whole(self):
        out = full({"secrets": {"a": "x", "b": [1, 2]}, "other": {"a": "x"}})
        assert out == {"secrets": REDACTED, "other": {"a": "x"}}

    def test_none_and_booleans_are_kept(self):
        assert full({"password": None, "use_session": True, "token": False}) == {
            "password": None,
            "use_session": True,
            "token": False,
        }

    def test_a_huge_secret_costs_nothing(self):
        out = dump_msgpack({"password": "x" * 10_000_000, "user": "bob"})
        assert len(out) < 100

    def test_lightweight_form(self):
        out = light({"password": "hunter2", "Authorization": Thing(), "name": "bob", "pin": None})
        assert out == {"password": REDACTED, "Authorization": REDACTED, "name": "'bob'",
                       "pin": "None"}  # fmt: skip
        # a dict subclass takes the walker's lightweight path
        out = light(type("D", (dict,), {})(secret="s", n=1))
        assert out == {"secret": REDACTED, "n": "1"}

    @pytest.mark.parametrize("extra", LOCALS_FORMS.values(), ids=LOCALS_FORMS.keys())
    def test_lightweight_nested_secrets(self, extra):
        headers = {"Authorization": "Bearer s3cr3t", "Accept": "*/*"}
        frame_locals = {
            "request": {"headers": headers},
            "kwargs": {"user": "bob", "password": "hunter2"},
            "rows": [{"id": 1, "token": "t0k"}],
            "pair": ({"api_key": 12345},),
            **extra,
        }
        out = light(frame_locals)
        assert out["request"] == "{'headers': {'Authorization': <redacted>, 'Accept': '*/*'}}"
        assert out["kwargs"] == "{'user': 'bob', 'password': <redacted>}"
        assert out["rows"] == "[{'id': 1, 'token': <redacted>}]"
        assert out["pair"] == "({'api_key': <redacted>},)"
        # Not only locals: any value, such as a function's return value.
        assert light({"headers": headers}) == {"headers": out["request"][12:-1]}
        assert light([headers]) == "[{'Authorization': <redacted>, 'Accept': '*/*'}]"

    def test_lightweight_keeps_reprs_without_secrets(self):
        plain = [
            {"a": 1, "b": [1, 2], "c": {"d": (3,)}, "e": None},
            [{"x": "y"}, (), {}, [[]]],
            {"password": None, "token": True},  # kept, as at the top level
        ]
        for value in plain:
            assert light({"v": value}) == {"v": repr(value)}
            assert light([value]) == repr([value])

    def test_lightweight_nested_dict_subclasses(self):
        class Headers(dict):
            def items(self):
                raise RuntimeError("items")

            def __iter__(self):
                raise RuntimeError("__iter__")

        out = light({"h": Headers(Cookie="c", Host="h")})["h"]
        assert out == "Headers({'Cookie': <redacted>, 'Host': 'h'})"
        out = light({"o": [collections.OrderedDict(session="s")]})["o"]
        assert out == "[OrderedDict({'session': <redacted>})]"

    def test_lightweight_redaction_is_bounded(self):
        # Whatever the shape, the short repr stays short, the secret hidden
        # and the other items, up to the cut, in place.
        deep: dict = {"token": "deep-secret"}
        for _ in range(50):
            deep = {"k": deep}
        wide = [{"n": i} for i in range(60)] + [{"token": "late-secret"}]
        cyclic: dict = {"secret": "s"}
        cyclic["me"] = cyclic
        many = {f"k{i}": i for i in range(99)} | {"password": "p"}
        for value in (deep, wide, cyclic, many):
            out = light({"v": value})["v"]
            assert "secret" not in out.replace("'secret'", "") and "'p'" not in out
            assert len(out) <= serialize.LIGHTWEIGHT_REPR_CHARS + 3
        assert light({"v": cyclic})["v"] == "{'secret': <redacted>, 'me': {...}}"
        assert light({"v": wide})["v"].startswith("[{'n': 0}, {'n': 1}, ")
        assert light({"v": many})["v"].startswith("{'k0': 0, 'k1': 1, ")

    def test_lightweight_nested_runs_no_user_code_but_repr(self):
        class Loud:
            def __eq__(self, other):
                raise RuntimeError("__eq__")

            def __hash__(self):
                return 1

            def __repr__(self):
                return "Loud()"

        value = {"auth": {"token": "t", Loud(): Loud(), "x": [Loud()]}}
        assert light(value)["auth"] == "{'token': <redacted>, Loud(): Loud(), 'x': [Loud()]}"

    def test_values_are_not_searched(self):
        assert full({"note": "password=hunter2"}) == {"note": "password=hunter2"}
        assert full("token") == "token"


class TestConfiguration:
    def test_off(self):
        serialize.configure_redaction(None)
        assert full({"password": "p", "x": {"token": "t"}}) == {
            "password": "p",
            "x": {"token": "t"},
        }
        assert light({"password": "p"}) == {"password": "'p'"}
        assert light({"x": {"token": "t"}}) == {"x": "{'token': 't'}"}

    def test_custom_fragments_replace_the_defaults(self):
        serialize.configure_redaction(["pin", "credit-card"])
        out = full({"PIN": 1234, "credit_card_no": "4111", "password": "p"})
        assert out == {"PIN": REDACTED, "credit_card_no": REDACTED, "password": "p"}

    def test_a_name_seen_before_the_change_is_judged_anew(self):
        assert full({"pin": 1}) == {"pin": 1}
        serialize.configure_redaction(["pin"])
        assert full({"pin": 1}) == {"pin": REDACTED}

    @pytest.mark.parametrize(
        "value, expected",
        [
            (True, list(serialize.DEFAULT_REDACT_NAMES)),
            (False, None),
            (None, None),
            (["pin", "ssn"], ["pin", "ssn"]),
            ("pin, ssn,", ["pin", "ssn"]),
            ([], []),
        ],
    )
    def test_config_values(self, value, expected):
        assert serialize.redaction_from_config(value) == expected

    @pytest.mark.parametrize(
        "value, error",
        [(1, TypeError), ({"pin": 1}, TypeError), ([1], TypeError), (["-_"], ValueError)],
    )
    def test_bad_config_values(self, value, error):
        with pytest.raises(error, match="redact"):
            serialize.redaction_from_config(value)


def login(user, password):
    session_token = "s-" + password
    return len(session_token)


def traced_locals(config):
    profiler = Profiler(config={"threading": False, **config})
    profiler.start()
    try:
        login("alice", "hunter2")
    finally:
        profiler.stop()
    doc = msgpack.unpackb(profiler.build_trace(), raw=False, strict_map_key=False)
    records = [r for t in doc["threads"].values() for r in t["frames"]]
    (ret,) = [r for r in records if r.get("co_name") == "login" and r["event"] == "return"]
    return ret["locals"], doc["meta"]["config"]


# Found, not imported: these tests need the built engine, the others only the source.
needs_engine = pytest.mark.skipif(
    importlib.util.find_spec("vask._vask") is None, reason="the native engine is not built"
)


@needs_engine
class TestProfilerConfiguration:
    def test_redacted_by_default(self):
        frame_locals, config = traced_locals({})
        assert frame_locals == {"user": "alice", "password": REDACTED, "session_token": REDACTED}
        assert "redact" not in config

    def test_turned_off(self):
        frame_locals, config = traced_locals({"redact": False})
        assert frame_locals["password"] == "hunter2"
        assert config["redact"] is False

    def test_custom_list_is_stored_as_text(self, capfd):
        frame_locals, config = traced_locals({"redact": ["user"]})
        assert frame_locals == {"user": REDACTED, "password": "hunter2",
                                "session_token": "s-hunter2"}  # fmt: skip
        assert config["redact"] == "user"
        assert "unsupported config type" not in capfd.readouterr().out

    def test_bad_value_fails_start(self):
        profiler = Profiler(config={"redact": 3})
        with pytest.raises(TypeError, match="redact"):
            profiler.start()
        assert not profiler.active
