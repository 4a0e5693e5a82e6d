"""The real program on the simulated FPGA across the harness's cable: it
runs in the panel's network namespace, and this process then moves to the
PC's, so every socket the library opens is the PC's."""

import ctypes
import os
import signal
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))

CLONE_NEWNET = 0x40000000
# Two headboxes as on a full panel, streaming as fast as they are read: at a
# fixed pace, a machine too loaded to keep up would lose words in the
# simulated FPGA, and a verdict would depend on the load.
PROGRAM_ENV = {"ZELK_FPGA": "sim", "ZELK_SIM_HEADBOXES": "2", "ZELK_SIM_RATE": "0",
               "QT_QPA_PLATFORM": "offscreen"}


def _refusal():
    """Why this is not inside the namespace harness; None when it is."""
    harness = os.environ.get("QUARNEL_HARNESS_SCRIPT", "")
    if not harness:
        return "QUARNEL_HARNESS_SCRIPT is not set"
    inside = subprocess.run([harness, "--inside"], capture_output=True, text=True)
    return None if inside.returncode == 0 else inside.stderr.strip()


def _mark_address_set():
    """An installed panel: its address was set once, so no first-start dialog."""
    folder = os.path.join(os.environ["XDG_CONFIG_HOME"], "talvenor")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "quarnel.conf"), "w") as f:
        f.write("[General]\nfirstTime=no\n")


def _join_pc_namespace():
    # Only this thread moves; the library's threads, made later, follow it.
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(os.environ["QUARNEL_PC_NETNS"], os.O_RDONLY | os.O_CLOEXEC)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            pytest.fail("cannot join the PC's namespace: %s" % os.strerror(ctypes.get_errno()))
    finally:
        os.close(fd)


@pytest.fixture(scope="session")
def panel():
    """The program, started on the panel's side; its address."""
    why = _refusal()
    if why:
        pytest.fail("refusing to run outside the namespace harness (%s): run it through scripts/harness.sh" % why)
    _mark_address_set()
    log = open(os.path.join(os.environ["TMPDIR"], "quarnel-pytest.log"), "ab")
    # Warnings fatal are for the library in this process, not for the program.
    env = {k: v for k, v in os.environ.items() if k != "QT_FATAL_WARNINGS"}
    program = subprocess.Popen([os.environ["QUARNEL_BIN"]], env={**env, **PROGRAM_ENV}, stdout=log, stderr=log)
    _join_pc_namespace()
    yield os.environ["QUARNEL_PANEL_IP"]
    # As the service manager stops it: SIGTERM, and a clean exit.
    program.send_signal(signal.SIGTERM)
    try:
        code = program.wait(timeout=30)
    except subprocess.TimeoutExpired:
        program.kill()
        program.wait()
        pytest.fail("the program did not end within 30 s of SIGTERM")
    log.close()
    assert code == 0
