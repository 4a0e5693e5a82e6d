#!/usr/bin/python3
"""Records one checked exam with the quarnelpc module: finds a terminal (or
takes the one named), connects, selects headbox 1, switches sync on, stores
the headboxes' stream for a time while checking every word of it, switches
sync off and closes.

    record_exam.py [HOST] [SECONDS] [FILE]   (defaults: discover, 5, exam.bin;
                                              an empty HOST discovers too)

The check knows the simulated headbox's stream (ZELK_FPGA=sim on the
terminal); a real headbox's samples fail it. The exit status is the
library's error code: 0 when the exam was recorded and every word is good,
8 when the check failed.
"""

import sys
import time

import quarnelpc


class StreamCheck:
    """Checks the simulated headbox's stream, fed in chunks of any size.

    The stream is 64-bit words, least significant byte first. Word number
    seq of headbox h is (0xA0 | h) in the top byte with seq below it, but
    every 128th word (seq % 128 == 127) is a time word: (0xB0 | h) in the
    top byte, (seq >> 7) & 0xFF in the next and a time stamp below. Bytes
    before word 0 are skipped: the stream may follow other traffic.
    """

    def __init__(self, headbox: int = 1):
        self.headbox = headbox
        self.words = 0
        self.skipped = 0
        self.error = None
        self._first = bytes(7) + bytes([0xA0 | headbox])
        self._locked = False
        self._pending = b""

    @property
    def ok(self) -> bool:
        return self.error is None and self.words > 0

    def feed(self, chunk: bytes) -> None:
        if self.error:
            return
        data = self._pending + chunk
        if not self._locked:
            at = data.find(self._first)
            if at < 0:
                keep = min(len(data), len(self._first) - 1)
                self.skipped += len(data) - keep
                self._pending = data[len(data) - keep:]
                return
            self.skipped += at
            data = data[at:]
            self._locked = True
        whole = len(data) // 8 * 8
        self._pending = data[whole:]
        words = memoryview(data)[:whole].cast("Q")   # little-endian, as on the PC
        at = 0
        while at < len(words) and not self.error:
            at = self._check_run(words, at)

    def _check_run(self, words, at: int) -> int:
        """Checks the sequence words up to the next time word, then that
        word; compares whole runs at once, which keeps up with the stream."""
        seq = self.words
        run = min(127 - seq % 128, len(words) - at)
        top = (0xA0 | self.headbox) << 56
        if words[at:at + run].tolist() == list(range(top | seq, top | (seq + run))):
            self.words += run
        else:
            for i in range(run):
                if not self._good(words[at + i]):
                    return at + i
                self.words += 1
        at += run
        if at < len(words):
            if not self._good(words[at]):
                return at
            self.words += 1
            at += 1
        return at

    def _good(self, word: int) -> bool:
        seq = self.words
        if seq % 128 == 127:
            good = (word >> 56 == 0xB0 | self.headbox) and ((word >> 48) & 0xFF) == ((seq >> 7) & 0xFF)
        else:
            good = word == ((0xA0 | self.headbox) << 56) | seq
        if not good:
            self.error = "byte offset %d (word %d): 0x%016x" % (self.skipped + seq * 8, seq, word)
        return good


def record(terminal: quarnelpc.Terminal, seconds: float, out, check: StreamCheck) -> int:
    """Headbox 1's stream for `seconds` into `out`, checked; the bytes stored."""
    total = 0

    def store(chunk: bytes) -> None:
        nonlocal total
        out.write(chunk)
        check.feed(chunk)
        total += len(chunk)

    print("ok  read 1  (%.1f ms)" % terminal.headbox_read(1))
    print("ok  sync on  (%.1f ms)" % terminal.sync(True))
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            store(terminal.read(timeout=min(1.0, max(end - time.monotonic(), 0))))
        except quarnelpc.TimedOut:
            pass
    print("ok  sync off  (%.1f ms)" % terminal.sync(False))
    # Stream bytes may still be on their way when the "ok" comes on the
    # other connection: until the stream has been quiet for half a second.
    for chunk in terminal.chunks(timeout=0.5):
        store(chunk)
    return total


def main(argv) -> int:
    host = argv[1] if len(argv) > 1 else ""
    seconds = float(argv[2]) if len(argv) > 2 else 5.0
    path = argv[3] if len(argv) > 3 else "exam.bin"
    data_port = 0
    try:
        if not host:
            print("listening for terminals")
            found = quarnelpc.discover(timeout=30)
            print("found %s: %s, %d headboxes, port %d"
                  % (found.terminal, found.headbox_serial, found.headbox_count, found.data_port))
            host, data_port = found.terminal, found.data_port
        print("connecting to %s" % host)
        check = StreamCheck(headbox=1)
        with open(path, "wb") as out, quarnelpc.Terminal(host, data_port) as terminal:
            total = record(terminal, seconds, out, check)
    except quarnelpc.Error as e:
        print("record_exam.py: %s" % e, file=sys.stderr)
        return e.code
    print("recorded %d bytes into %s" % (total, path))
    if not check.ok:
        print("check failed: %s" % (check.error or "no word received"), file=sys.stderr)
        return quarnelpc.CheckFailed.code
    print("checked %d words: all good" % check.words)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
