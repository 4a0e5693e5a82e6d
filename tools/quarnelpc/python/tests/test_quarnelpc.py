"""The quarnelpc module as a Python program uses it, against the real
program across the harness's cable (see conftest.py). Verdicts wait for
what they check; the time-outs are only safety nets for a loaded machine."""

import os
import subprocess
import sys
import threading

import pytest

import quarnelpc
from record_exam import StreamCheck

SAFETY_S = 60
# Enough of headbox 1's stream to cross many of the terminal's blocks.
STREAM_BYTES = 2000000
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "record_exam.py")


def test_discovery_hears_the_terminal(panel):
    with quarnelpc.Discovery(timeout=SAFETY_S) as discovery:
        # The count may rise while the terminal still finds its headboxes.
        found = next(a for a in discovery if a.headbox_count == 2)
    assert found == quarnelpc.Announcement(panel, "SIM-0000/00-1", 2, 2000, found.connected_to)


def test_example_records_a_checked_exam(panel, tmp_path):
    # As a researcher runs it on the PC: it finds the terminal by itself.
    exam = tmp_path / "exam.bin"
    run = subprocess.run([sys.executable, EXAMPLE, "", "1", str(exam)], capture_output=True, text=True,
                         timeout=SAFETY_S * 2)
    output = run.stdout + run.stderr
    assert run.returncode == 0, output
    assert "found %s" % panel in output
    assert "ok  sync off" in output
    assert "recorded %d bytes" % exam.stat().st_size in output
    assert "all good" in output


def test_callback_receives_every_word(panel):
    # The words are checked afterwards: the callback holds the stream while
    # it runs, and the first STREAM_BYTES are enough.
    chunks = []
    received = 0
    enough = threading.Event()
    threads = set()

    def take(chunk):
        nonlocal received
        threads.add(threading.get_ident())
        if received < STREAM_BYTES:
            chunks.append(chunk)
        received += len(chunk)
        if received >= STREAM_BYTES:
            enough.set()

    with quarnelpc.Terminal(panel, timeout=SAFETY_S) as terminal:
        terminal.on_data(take)
        terminal.headbox_read(1, timeout=SAFETY_S)
        terminal.sync(True, timeout=SAFETY_S)
        assert enough.wait(SAFETY_S)
        terminal.on_data(None)
        terminal.sync(False, timeout=SAFETY_S)
    check = StreamCheck(headbox=1)
    for chunk in chunks:
        check.feed(chunk)
    assert check.error is None
    assert check.words * 8 >= STREAM_BYTES
    # On the library's thread, as documented, never on the caller's.
    assert threading.get_ident() not in threads


@pytest.fixture(scope="module")
def terminal(panel):
    with quarnelpc.Terminal(panel, timeout=SAFETY_S) as connected:
        yield connected


@pytest.mark.parametrize("call, args", [
    ("clock", (8,)),
    ("trigger_out", (0,)),
    ("multi_head_layout", (0, 0, 0, 0, (0, 0, 0, 0))),
    ("headbox_read", (1,)),
    ("headbox_write", (1,)),
    ("headbox_read_write", (1,)),
    ("sync", (False,)),
    ("delay", (300,)),
    ("clear_receive_path", ()),
    ("raw_command", (9, b"")),
])
def test_every_command_is_answered(terminal, call, args):
    round_trip_ms = getattr(terminal, call)(*args, timeout=SAFETY_S)
    # The terminal answers a delay only after its pause.
    assert round_trip_ms >= (300 if call == "delay" else 0)


def test_failures_are_typed(panel, terminal):
    # quarnelclient's exit codes, as exceptions a Python program catches.
    with pytest.raises(quarnelpc.Refused) as refused:
        quarnelpc.Terminal(panel, answer_port=2999, timeout=SAFETY_S)
    assert refused.value.code == 4 and isinstance(refused.value, ConnectionRefusedError)
    assert "2999" in str(refused.value)
    with pytest.raises(quarnelpc.UsageError, match="takes 1 values, not 0"):
        terminal.command(quarnelpc.SYNC)
