"""Values of names that look like secrets are redacted: by the dumpers, and on the command line."""

from __future__ import annotations

import collections
import importlib.util
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import msgpack
import pytest
from vask import db, serialize
from vask.profiler import Profiler
from vask.serialize import REDACTED, dump_msgpack, dump_msgpack_lightweight_repr
from vask.values import ObjectRepr as R
from vask.values import ext_hook


@pytest.fixture(autouse=True)
def _every_repr_called():
    """These cases are about reprs as objects write them: the "repr" setting, no byte cap."""
    serialize.configure_values("repr", (), 0)
    yield
    serialize.configure_values()


HIDDEN = R(REDACTED)


def full(value):
    return msgpack.unpackb(dump_msgpack(value), raw=False, strict_map_key=False, ext_hook=ext_hook)


def light(value):
    return msgpack.unpackb(
        dump_msgpack_lightweight_repr(value), raw=False, strict_map_key=False, ext_hook=ext_hook
    )


def shown(value) -> dict[str, str]:
    """The lightweight map of ``value`` as plain texts."""
    return {k: v.text for k, v in light(value).items()}


@pytest.fixture(autouse=True)
def default_redaction():
    serialize.configure_redaction(serialize.DEFAULT_REDACT_NAMES)
    yield
    serialize.configure_redaction(serialize.DEFAULT_REDACT_NAMES)


class Thing:
    def __repr__(self):
        return "Thing()"


# Names of secrets that leaked by default before names were judged by words.
SECRETS = [
    "pwd",
    "private_key",
    "credentials",
    "auth",
    "bearer",
    "jwt",
    "pin",
    "ssn",
    "credit_card",
    "passphrase",
    "DATABASE_URL",
    "dsn",
    "signature",
    "otp",
    "cvv",
    "key",
    "password",
    "passwd",
    "secret",
    "token",
    "api_key",
    "authorization",
    "cookie",
    "session",
    "db_password",
    "X-Api-Key",
    "apiKey",
    "csrftoken",
    "sessionid",
    "Set-Cookie",
    "password2",
    "X-CSRFToken",
    "HTTP_AUTHORIZATION",
    "credit_card_number",
    "aws_secret_access_key",
    "passwordHash",
    "auth_header",
    "secrets",
    "KEY",
    "csrfmiddlewaretoken",
    "accessToken",
    "client_secret",
    "new_password1",
    "pw",
    "user_pw",
    "adminPw",
    "pass",
]
# Names that hold no secret but were redacted as substrings, and near misses.
HARMLESS = [
    "tokens",
    "tokenizer",
    "session_count",
    "secretary",
    "max_tokens",
    "token_count",
    "keys",
    "monkey",
    "sort_key",
    "author",
    "spin",
    "pinned",
    "keyboard",
    "authority",
    "primary_key",
    "password_min_length",
    "otp_enabled",
    "session_timeout",
    "token_type",
    "cookie_name",
    "user_id",
    "count",
    "key_func",
    "pkey",
    "first_pass",
    "passes",
    "bypass",
    "compass",
    "pwm",
]


class TestNames:
    @pytest.mark.parametrize("name", SECRETS)
    def test_secret(self, name):
        assert serialize.is_secret_name(name)
        assert full({name: "s3cr3t"}) == {name: HIDDEN}

    @pytest.mark.parametrize("name", HARMLESS)
    def test_harmless(self, name):
        assert not serialize.is_secret_name(name)
        assert full({name: "value"}) == {name: "value"}

    @pytest.mark.parametrize(
        "configured, secret, kept",
        [
            # words in a row, or written together
            (
                "api_key",
                ["x_api_key", "ApiKey", "APIKEY", "api.key", "api key"],
                ["api", "key_api"],
            ),
            # a qualifier after the words keeps the name
            ("token", ["token", "token_value", "bearerToken"], ["token_count", "tokenLength"]),
            # the whole name only
            ("=key", ["key", "Key", "_key_", "key3"], ["keys", "sort_key", "key_name", "api_key"]),
            # digits are no words; capitals end where a word starts
            ("pin", ["pin1", "PIN", "userPIN", "HTTPPin"], ["pins", "spin", "pinned"]),
        ],
    )
    def test_matching_rules(self, configured, secret, kept):
        serialize.configure_redaction([configured])
        assert [n for n in secret if not serialize.is_secret_name(n)] == []
        assert [n for n in kept if serialize.is_secret_name(n)] == []

    def test_non_ascii_names(self):
        serialize.configure_redaction(["pässword"])
        assert serialize.is_secret_name("my_pässword")
        assert serialize.is_secret_name("MY_PäSSWORD") is False  # only ASCII letters fold case
        serialize.configure_redaction(["password"])
        assert serialize.is_secret_name("\ud800password")  # a lone surrogate is no letter


# Each form of locals takes another path through the dumper: plain values, an
# object (a repr), a value written as a repr (an int too large).
LOCALS_FORMS = {
    "plain": {},
    "with an object": {"self": Thing()},
    "huge int": {"huge": 2**70},
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
            "max_tokens": 100,
            **extra,
        }
        out = full(frame_locals)
        for name in ("password", "API_KEY", "db_password", "X-Api-Key", "apiKey", "csrftoken"):
            assert out[name] == HIDDEN, name
        assert out["user"] == "alice" and out["count"] == 3 and out["keys"] == ["a"]
        assert out["max_tokens"] == 100

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
            "Authorization": HIDDEN,
            "Accept": "*/*",
            "Cookie": HIDDEN,
        }
        assert out["request"]["body"] == [{"token": HIDDEN, "id": 1}]
        assert full([{"session_id": "abc"}]) == [{"session_id": HIDDEN}]
        assert full(({"pin": 1234},)) == ({"pin": HIDDEN},)

    def test_a_secret_container_is_replaced_whole(self):
        out = full({"secrets": {"a": "x", "b": [1, 2]}, "other": {"a": "x"}})
        assert out == {"secrets": HIDDEN, "other": {"a": "x"}}

    def test_none_and_booleans_are_kept(self):
        assert full({"password": None, "use_session": True, "token": False}) == {
            "password": None,
            "use_session": True,
            "token": False,
        }

    def test_a_huge_secret_costs_nothing(self):
        out = dump_msgpack({"password": "x" * 10_000_000, "user": "bob"})
        assert len(out) < 100

    def test_only_text_keys_are_names(self):
        class Key:
            def __repr__(self):
                return "password"

        assert full({Key(): "v", 1: "w"}) == {"password": "v", "1": "w"}

    def test_lightweight_form(self):
        out = light({"password": "hunter2", "Authorization": Thing(), "name": "bob", "pin": None})
        assert out == {"password": R(REDACTED), "Authorization": R(REDACTED),
                       "name": "bob", "pin": None}  # fmt: skip
        # a dict subclass
        out = light(type("D", (dict,), {})(secret="s", n=1))
        assert out == {"secret": R(REDACTED), "n": 1}

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
        out = shown(frame_locals)
        assert out["request"] == "{'headers': {'Authorization': <redacted>, 'Accept': '*/*'}}"
        assert out["kwargs"] == "{'user': 'bob', 'password': <redacted>}"
        assert out["rows"] == "[{'id': 1, 'token': <redacted>}]"
        assert out["pair"] == "({'api_key': <redacted>},)"
        # Not only locals: any value, such as a function's return value.
        assert shown({"headers": headers}) == {"headers": out["request"][12:-1]}
        assert light([headers]) == R("[{'Authorization': <redacted>, 'Accept': '*/*'}]")

    def test_lightweight_keeps_reprs_without_secrets(self):
        plain = [
            {"a": 1, "b": [1, 2], "c": {"d": (3,)}, "e": None},
            [{"x": "y"}, (), {}, [[]]],
            {"password": None, "token": True},  # kept, as at the top level
            [collections.namedtuple("P", "x y")(1, 2), collections.OrderedDict(a=1)],
        ]
        for value in plain:
            assert shown({"v": value}) == {"v": repr(value)}
            assert light([value]) == R(repr([value]))

    def test_lightweight_nested_dict_subclasses(self):
        class Headers(dict):
            def items(self):
                raise RuntimeError("items")

            def __iter__(self):
                raise RuntimeError("__iter__")

        out = shown({"h": Headers(Cookie="c", Host="h")})["h"]
        assert out == "Headers({'Cookie': <redacted>, 'Host': 'h'})"
        out = shown({"o": [collections.OrderedDict(session="s")]})["o"]
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
            out = shown({"v": value})["v"]
            assert "secret" not in out.replace("'secret'", "") and "'p'" not in out
            assert len(out) <= serialize.LIGHTWEIGHT_REPR_CHARS + 3
        assert shown({"v": cyclic})["v"] == "{'secret': <redacted>, 'me': {...}}"
        assert shown({"v": wide})["v"].startswith("[{'n': 0}, {'n': 1}, ")
        assert shown({"v": many})["v"].startswith("{'k0': 0, 'k1': 1, ")

    def test_lightweight_nested_runs_no_user_code_but_repr(self):
        class Loud:
            def __eq__(self, other):
                raise RuntimeError("__eq__")

            def __hash__(self):
                return 1

            def __repr__(self):
                return "Loud()"

        value = {"auth": {"token": "t", Loud(): Loud(), "x": [Loud()]}}
        assert shown(value)["auth"] == REDACTED
        assert shown({"v": value["auth"]})["v"] == (
            "{'token': <redacted>, Loud(): Loud(), 'x': [Loud()]}"
        )

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
        assert light({"password": "p"}) == {"password": "p"}
        assert shown({"x": {"token": "t"}}) == {"x": "{'token': 't'}"}

    def test_custom_names_replace_the_defaults(self):
        serialize.configure_redaction(["pin", "credit-card"])
        out = full({"PIN": 1234, "credit_card_no": "4111", "password": "p"})
        assert out == {"PIN": HIDDEN, "credit_card_no": HIDDEN, "password": "p"}

    def test_a_name_seen_before_the_change_is_judged_anew(self):
        assert full({"colour": 1}) == {"colour": 1}
        serialize.configure_redaction(["colour"])
        assert full({"colour": 1}) == {"colour": HIDDEN}

    @pytest.mark.parametrize(
        "value, extra, expected",
        [
            (True, None, list(serialize.DEFAULT_REDACT_NAMES)),
            (False, None, None),
            (None, None, None),
            (["pin", "ssn"], None, ["pin", "ssn"]),
            ("pin, ssn,", None, ["pin", "ssn"]),
            ([], None, []),
            (True, ["employee_id"], [*serialize.DEFAULT_REDACT_NAMES, "employee_id"]),
            (["pin"], "badge, door_code", ["pin", "badge", "door_code"]),
            (False, [], None),
        ],
    )
    def test_config_values(self, value, extra, expected):
        assert serialize.redaction_from_config(value, extra) == expected

    @pytest.mark.parametrize(
        "value, extra, error",
        [
            (1, None, TypeError),
            ({"pin": 1}, None, TypeError),
            ([1], None, TypeError),
            (["-_"], None, ValueError),
            (["12"], None, ValueError),
            (True, [3], TypeError),
            (True, 3, TypeError),
            (False, ["pin"], ValueError),
        ],
    )
    def test_bad_config_values(self, value, extra, error):
        with pytest.raises(error, match="redact"):
            serialize.redaction_from_config(value, extra)

    @pytest.mark.parametrize(
        "names, error", [(["ok", 3], TypeError), (["=__"], ValueError), (3, TypeError)]
    )
    def test_bad_names(self, names, error):
        with pytest.raises(error):
            serialize.configure_redaction(names)
        assert serialize.is_secret_name("password")  # the names in force are kept


class TestCommandLine:
    @pytest.mark.parametrize(
        "args, expected",
        [
            (["--password=hunter2"], ["--password=<redacted>"]),
            (["--password", "hunter2", "x"], ["--password", "<redacted>", "x"]),
            (["-password", "hunter2"], ["-password", "<redacted>"]),  # Go and Java style
            (
                ["--api-key", "k", "--db-password=p"],
                ["--api-key", "<redacted>", "--db-password=<redacted>"],
            ),
            (["--token", "--verbose"], ["--token", "--verbose"]),  # no value given
            (["-p", "hunter2", "-p=x"], ["-p", "hunter2", "-p=x"]),  # one letter: not a name
            (["DB_PASSWORD=x", "make=1"], ["DB_PASSWORD=<redacted>", "make=1"]),
            (["--db", "postgres://u:pw@h:5432/d"], ["--db", "postgres://u:<redacted>@h:5432/d"]),
            (
                ["https://example.com/a@b", "s3://bucket"],
                ["https://example.com/a@b", "s3://bucket"],
            ),
            (["--max-tokens", "5", "--token-count=3"], ["--max-tokens", "5", "--token-count=3"]),
            (["--", "--password", "x"], ["--", "--password", "<redacted>"]),
        ],
    )
    def test_secret_values_are_hidden(self, args, expected):
        names = serialize.redaction_from_config(True)
        assert serialize.redact_command_line(args, names) == expected

    def test_names_given_or_off(self):
        args = ["--badge", "7", "--password=x"]
        assert serialize.redact_command_line(args, ["badge"]) == [
            "--badge",
            "<redacted>",
            "--password=x",
        ]
        assert serialize.redact_command_line(args, None) == args


def login(user, password):
    session_token = "s-" + password
    return len(session_token)


def traced(config, argv=None):
    """(locals of login's return, the document) of a trace of login()."""
    saved = sys.argv
    if argv is not None:
        sys.argv = argv
    try:
        profiler = Profiler(config={"threading": False, **config})
        profiler.start()
        try:
            login("alice", "hunter2")
        finally:
            profiler.stop()
        data = profiler.build_trace()
    finally:
        sys.argv = saved
    doc = msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=ext_hook)
    records = [r for t in doc["threads"].values() for r in t["frames"]]
    (ret,) = [r for r in records if r.get("co_name") == "login" and r["event"] == "return"]
    return ret["locals"], doc


# Found, not imported: these tests need the built engine, the others only the source.
needs_engine = pytest.mark.skipif(
    importlib.util.find_spec("vask._vask") is None, reason="the native engine is not built"
)
ARGV = ["app.py", "--password=hunter2", "--badge", "7", "--user", "bob"]


@needs_engine
class TestProfilerConfiguration:
    def test_redacted_by_default(self):
        frame_locals, doc = traced({}, ARGV)
        assert frame_locals == {"user": "alice", "password": HIDDEN, "session_token": HIDDEN}
        assert "redact" not in doc["meta"]["config"]
        assert doc["command_line_args"] == [
            "app.py", "--password=<redacted>", "--badge", "7", "--user", "bob"
        ]  # fmt: skip

    def test_turned_off(self):
        frame_locals, doc = traced({"redact": False}, ARGV)
        assert frame_locals["password"] == "hunter2"
        assert doc["meta"]["config"]["redact"] is False
        assert doc["command_line_args"] == ARGV

    def test_custom_list_is_stored_as_text(self, capfd):
        frame_locals, doc = traced({"redact": ["user"]}, ARGV)
        assert frame_locals == {"user": HIDDEN, "password": "hunter2",
                                "session_token": "s-hunter2"}  # fmt: skip
        assert doc["meta"]["config"]["redact"] == "user"
        assert doc["command_line_args"] == [
            "app.py", "--password=hunter2", "--badge", "7", "--user", "<redacted>"
        ]  # fmt: skip
        assert "unsupported config type" not in capfd.readouterr().out

    def test_extra_names_add_to_the_defaults(self):
        frame_locals, doc = traced({"redact_extra": ["user", "badge"]}, ARGV)
        assert frame_locals == {"user": HIDDEN, "password": HIDDEN, "session_token": HIDDEN}
        assert doc["meta"]["config"]["redact_extra"] == "user,badge"
        assert doc["command_line_args"] == [
            "app.py", "--password=<redacted>", "--badge", "<redacted>", "--user", "<redacted>"
        ]  # fmt: skip

    @pytest.mark.parametrize(
        "config", [{"redact": 3}, {"redact_extra": [3]}, {"redact": False, "redact_extra": "x"}]
    )
    def test_bad_value_fails_start(self, config):
        profiler = Profiler(config=config)
        with pytest.raises((TypeError, ValueError), match="redact"):
            profiler.start()
        assert not profiler.active


@needs_engine
def test_vask_run_hides_secrets_of_its_command_line(tmp_path: Path) -> None:
    (tmp_path / "pyproject.toml").write_text('[tool.vask]\nredact_extra = ["badge"]\n')
    (tmp_path / "app.py").write_text(
        textwrap.dedent(
            """
            import json, sys
            def main(badge):
                return badge
            print(json.dumps(sys.argv[1:]), main(sys.argv[-1]))
            """
        )
    )
    args = ["--password=hunter2", "--token", "t0k", "--badge", "7"]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "vask", "run", "app.py", *args],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120, check=True,
    )  # fmt: skip
    assert json.loads(result.stdout.rsplit(" ", 1)[0]) == args  # the program's own, untouched
    (summary,) = db.list_traces(tmp_path / ".vask" / "db.sqlite3")
    assert summary.trace_name == (
        "app.py --password=<redacted> --token <redacted> --badge <redacted>"
    )
    (data,) = db.load_trace(tmp_path / ".vask" / "db.sqlite3", summary.trace_id)
    doc = msgpack.unpackb(data, raw=False, strict_map_key=False, ext_hook=ext_hook)
    assert doc["command_line_args"] == ["app.py", *summary.trace_name.split()[1:]]
    records = [r for t in doc["threads"].values() for r in t["frames"]]
    (call,) = [r for r in records if r.get("co_name") == "main" and r["event"] == "call"]
    assert call["locals"] == {"badge": HIDDEN}
