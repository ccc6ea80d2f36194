"""A recorded thread's object lives as long as the program keeps it, not longer.

Both engines note each thread they record; a finished thread (and whatever it
holds: a payload, an event loop) must be freed when the program lets go of
it, while recording goes on and before the trace is built, and the document
still describes it.
"""

from __future__ import annotations

import _thread
import gc
import threading
import tracemalloc
import weakref

import pytest
from engine_driver import decode, records_of

MIB = 1 << 20


class Payload:
    pass


def touch(payload):
    return type(payload).__name__


class Holder(threading.Thread):
    def __init__(self, name, size=0):
        super().__init__(name=name, daemon=True)
        self.payload = Payload()
        self.buf = bytearray(size)

    def run(self):
        touch(self.payload)


def entries_named(doc, name):
    return {key: entry for key, entry in doc["threads"].items() if entry["name"] == name}


def test_a_finished_thread_and_its_payload_are_freed_and_still_described(engine):
    recorder = engine.recorder(config={"threading": True})
    recorder.start()
    try:
        thread = Holder("holder")
        thread.start()
        thread.join()
        ident, native_id = thread.ident, thread.native_id
        thread_ref, payload_ref = weakref.ref(thread), weakref.ref(thread.payload)
        del thread
        gc.collect()
        # Recording goes on and nothing was built yet: only vask could hold them.
        assert thread_ref() is None
        assert payload_ref() is None
    finally:
        recorder.stop()
    doc = decode(recorder.build_trace())
    [(key, entry)] = entries_named(doc, "holder").items()
    assert list(entry) == ["name", "ident", "native_id", "daemon", "is_alive", "frames"]
    assert (entry["ident"], entry["native_id"]) == (ident, native_id)
    assert entry["daemon"] is True
    assert entry["is_alive"] is False
    co_names = [r["co_name"] for r in records_of(doc)[key] if r.get("type") == "frame"]
    assert co_names.count("touch") == 2  # its call and return


def test_a_thread_subclass_run_is_recorded_from_its_call(engine):
    # The thread's first event (its run() on some Pythons) is the one that
    # installs the profile hook there: it is recorded all the same.
    recorder = engine.recorder(config={"threading": True})
    recorder.start()
    try:
        thread = Holder("subclass")
        thread.start()
        thread.join()
    finally:
        recorder.stop()
    doc = decode(recorder.build_trace())
    [(key, _)] = entries_named(doc, "subclass").items()
    runs = [r for r in records_of(doc)[key] if r.get("type") == "frame" and r["co_name"] == "run"]
    assert [r["event"] for r in runs] == ["call", "return"]
    assert "self" in runs[0]["locals"]


def test_a_thread_renamed_while_alive_is_stored_under_its_new_name(engine):
    started, release = threading.Event(), threading.Event()

    def body():
        touch(Payload())
        started.set()
        release.wait()

    thread = threading.Thread(target=body, name="before")
    recorder = engine.recorder(config={"threading": True})
    recorder.start()
    try:
        thread.start()
        started.wait()
        thread.name = "after"
        doc = decode(recorder.build_trace())
    finally:
        release.set()
        thread.join()
        recorder.stop()
    assert entries_named(doc, "before") == {}
    [entry] = entries_named(doc, "after").values()
    assert entry["is_alive"] is True
    assert entry["ident"] == thread.ident


def test_sequential_threads_holding_a_mebibyte_each_do_not_accumulate(engine):
    count = 40
    refs = []
    recorder = engine.recorder(config={"threading": True})
    tracemalloc.start()
    try:
        recorder.start()
        try:
            for k in range(count):
                thread = Holder(f"big{k}", MIB)
                refs.append(weakref.ref(thread))
                thread.start()
                thread.join()
                del thread
            gc.collect()
            current, peak = tracemalloc.get_traced_memory()
        finally:
            recorder.stop()
    finally:
        tracemalloc.stop()
    assert sum(ref() is not None for ref in refs) == 0
    # One buffer at a time, never all of them (40 MiB).
    assert current < 8 * MIB
    assert peak < 16 * MIB
    doc = decode(recorder.build_trace())
    assert all(len(entries_named(doc, f"big{k}")) == 1 for k in range(count))


def first():
    return 1


def second():
    return 2


def run_dummy_twice(names, done):
    try:
        first()
        names.append(threading.current_thread().name)
        # The thread's object goes while the OS thread runs on, as when C code
        # enters Python again: the next one is a new object.
        threading._active.pop(threading.get_ident(), None)
        gc.collect()
        second()
        names.append(threading.current_thread().name)
    finally:
        done.set()


def test_a_thread_whose_object_is_gone_is_identified_again(engine):
    if not engine.monitor:
        pytest.skip("the profile hook is not set in threads started by _thread")
    names, done = [], threading.Event()
    recorder = engine.recorder(config={"threading": True})
    recorder.start()
    try:
        _thread.start_new_thread(run_dummy_twice, (names, done))
        assert done.wait(30)
    finally:
        recorder.stop()
    doc = decode(recorder.build_trace())
    first_name, second_name = names
    assert first_name != second_name
    [(key, entry)] = entries_named(doc, second_name).items()
    assert entries_named(doc, first_name) == {}
    co_names = [r["co_name"] for r in records_of(doc)[key] if r.get("type") == "frame"]
    assert co_names[:5] == ["run_dummy_twice", "first", "first", "second", "second"]


class SlottedThread:
    """A host's thread object that takes no weak reference."""

    __slots__ = ("name", "ident", "native_id", "daemon")

    def __init__(self):
        self.name = "slotted"
        self.ident = threading.get_ident()
        self.native_id = threading.get_native_id()
        self.daemon = False

    def is_alive(self):
        return True


def test_a_thread_object_without_weak_references_is_held_and_described(engine, monkeypatch):
    host_thread = SlottedThread()
    with pytest.raises(TypeError):
        weakref.ref(host_thread)
    monkeypatch.setattr(threading, "current_thread", lambda: host_thread)
    _, doc = engine.run(touch, Payload())
    entry = doc["threads"][doc["current_thread_id"]]
    assert (entry["name"], entry["ident"], entry["is_alive"]) == (
        "slotted",
        threading.get_ident(),
        True,
    )


def test_vasks_own_threads_are_alive_until_joined_and_never_listed():
    """vask's background threads (see vask._threads) answer is_alive() and join() as
    threading's do, on every Python version, and threading never lists them."""
    from vask import _threads

    go, seen = threading.Event(), []

    def body():
        go.wait()
        seen.append(threading.get_ident())

    listed = threading.enumerate()
    thread = _threads.HiddenThread(body, "vask-test")
    thread.start()
    assert thread.is_alive() and thread in _threads.alive()
    # (by the threads listed, not by ident: an ended thread's may be reused)
    assert set(threading.enumerate()) <= set(listed)
    thread.join(0.01)
    assert thread.is_alive()  # a timeout, not an end
    go.set()
    thread.join()
    assert seen == [thread.ident]
    assert not thread.is_alive() and thread not in _threads.alive()
