#!/usr/bin/env python3
"""Chaos load for corvanebs-sim on the demo board (bench/chaos.sh starts it).

Clients send random valid and invalid requests over the whole address map.
Writes take one lock, so that nothing else changes an output between the
look before a write and the look after it: the outputs a write answered with
an exception addressed must read back as before it, over Modbus and in the
control socket's `show`. Meanwhile one thread injects bus faults and another
changes what the inputs present. Prints one line on standard output and the
details on standard error.
"""

import argparse
import collections
import random
import socket
import struct
import sys
import threading
import time

COILS, DISCRETE_INPUTS, HOLDING, INPUT_REGISTERS = 80, 44, 158, 198
MISSING = 0x8000
REPLY_TIMEOUT = 10.0  # seconds; a request not answered by then counts as unanswered

# The demo board's outputs that read back what was written, with their module.
OUTPUT_COILS = {0: "GRUND", **{a: "PWM1" for a in range(16, 20)}, **{a: "REL1" for a in range(48, 56)}}
OUTPUT_REGISTERS = {1: "GRUND", 18: "AIO3", 23: "REL1", 27: "TMP1", 30: "PWM1", 70: "REL1",
                    **{a: "PWM1" for a in range(38, 42)},
                    **{a: "AIO3" for r in (82, 110, 138) for a in range(r, r + 4)}}
# The fitted chips: PWM1, REL1, TMP1's two converters, AIO3's front-end.
DEVICES = ["i2c:0x41", "i2c:0x20", "spi:0", "spi:1", "spi:2"]
DEVICE_OF = {"PWM1": "i2c:0x41", "REL1": "i2c:0x20", "AIO3": "spi:2"}


class Modbus:
    """A Modbus TCP client on one connection, renewed after a failure."""

    def __init__(self, port):
        self.port = port
        self.sock = None
        self.tid = 0

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data

    def call(self, pdu):
        """The reply PDU, or None when none came in time (the connection is then renewed)."""
        try:
            if self.sock is None:
                self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=REPLY_TIMEOUT)
            self.tid = (self.tid + 1) & 0xFFFF
            self.sock.sendall(struct.pack(">HHHB", self.tid, 0, len(pdu) + 1, 1) + pdu)
            tid, _, length, _ = struct.unpack(">HHHB", self._read(7))
            body = self._read(length - 1)
            if tid != self.tid or not body:
                raise ConnectionError("stray reply")
            return body
        except (OSError, ConnectionError, struct.error):
            self.close()
            return None

    def read(self, function, start, count):
        """Bits or registers, or None for an exception or no answer."""
        reply = self.call(struct.pack(">BHH", function, start, count))
        if reply is None or reply[0] != function:
            return None
        data = reply[2:]
        if function in (1, 2):
            return [(data[i // 8] >> (i % 8)) & 1 for i in range(count)]
        return list(struct.unpack(">%dH" % count, data[: 2 * count]))


class Control:
    """The simulator's control socket, shared by the threads."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(REPLY_TIMEOUT)
        self.sock.connect(path)
        self.lock = threading.Lock()
        self.pending = b""

    def command(self, line):
        with self.lock:
            self.sock.sendall(line.encode() + b"\n")
            lines = []
            while True:
                while b"\n" not in self.pending:
                    chunk = self.sock.recv(65536)
                    if not chunk:
                        raise ConnectionError("control socket closed")
                    self.pending += chunk
                text, self.pending = self.pending.split(b"\n", 1)
                text = text.decode()
                if text == "ok" or text.startswith("error:"):
                    return lines, text
                lines.append(text)

    def outputs(self):
        """What the chips drive, by module: inputs, temperatures and LEDs that blink left out."""
        shown = collections.defaultdict(list)
        for line in self.command("show")[0]:
            name = line.split()[0]
            if line.startswith("GRUND output") or name.startswith(("PWM", "REL")):
                shown[name].append(line)
            elif name.startswith("AIO"):
                shown[name].append(line.split(" led ")[0])
        return dict(shown)


def register_value(rnd, a):
    """A value the holding register takes, now and then one it may refuse."""
    if rnd.random() < 0.1:
        return rnd.randrange(0x10000)
    if a == 0:
        return 6914 if rnd.random() < 0.1 else 5281
    ranges = [(1, 1, 0x22), (16, 22, None), (23, 26, 15), (27, 29, 1), (30, 37, None),
              (38, 69, 1000), (70, 73, 255), (74, 101, 1000), (102, 129, 10000), (130, 157, 20000)]
    for first, last, top in ranges:
        if first <= a <= last:
            if first == 1:
                return rnd.randrange(3) << 4 | rnd.randrange(3)
            if first == 16:
                return sum(rnd.randrange(9) << (4 * k) for k in range(4))
            if first == 30:
                return rnd.randrange(25, 1501)
            return rnd.randrange(top + 1)
    return rnd.randrange(0x10000)


class Request:
    def __init__(self, pdu, function, start=0, count=0, coils=False, write=False):
        self.pdu, self.function = pdu, function
        self.start, self.count, self.coils, self.write = start, count, coils, write

    def outputs(self):
        """The demo board's outputs in the request's range, with their modules."""
        table = OUTPUT_COILS if self.coils else OUTPUT_REGISTERS
        return {a: table[a] for a in range(self.start, self.start + self.count) if a in table}


def make_request(rnd):
    kind = rnd.random()
    if kind < 0.45:  # a read, often of a whole table
        function = rnd.choice([1, 2, 3, 4])
        size = {1: COILS, 2: DISCRETE_INPUTS, 3: HOLDING, 4: INPUT_REGISTERS}[function]
        most = min(size, 125)
        start = rnd.randrange(size)
        count = rnd.randint(1, min(most, size - start))
        return Request(struct.pack(">BHH", function, start, count), function)
    if kind < 0.85:  # a write within the map
        function = rnd.choice([5, 6, 15, 16])
        if function == 5:
            a = rnd.randrange(COILS)
            return Request(struct.pack(">BHH", 5, a, rnd.choice([0xFF00, 0])), 5, a, 1, True, True)
        if function == 6:
            a = rnd.randrange(HOLDING)
            return Request(struct.pack(">BHH", 6, a, register_value(rnd, a)), 6, a, 1, False, True)
        if function == 15:
            start = rnd.randrange(COILS)
            count = rnd.randint(1, COILS - start)
            data = bytes(rnd.randrange(256) for _ in range((count + 7) // 8))
            pdu = struct.pack(">BHHB", 15, start, count, len(data)) + data
            return Request(pdu, 15, start, count, True, True)
        start = rnd.randrange(HOLDING)
        count = rnd.randint(1, min(123, HOLDING - start))
        values = [register_value(rnd, start + i) for i in range(count)]
        pdu = struct.pack(">BHHB%dH" % count, 16, start, count, 2 * count, *values)
        return Request(pdu, 16, start, count, False, True)
    # Refused by the decoder or the dispatcher, or answered oddly.
    case = rnd.randrange(6)
    if case == 0:
        function = rnd.choice([0, 7, 8, 17, 20, 43, 100])
        return Request(bytes([function]) + bytes(rnd.randrange(256) for _ in range(4)), function)
    if case == 1:  # beyond the map or a bad quantity
        function = rnd.choice([1, 2, 3, 4])
        start, count = rnd.choice([(0, 0), (0, 126), (200, 1), (0xFFFF, 1), (150, 50)])
        return Request(struct.pack(">BHH", function, start, count), function)
    if case == 2:  # a single coil written with neither 0xFF00 nor 0x0000
        a = rnd.randrange(COILS)
        value = rnd.choice([0x1234, 0xFFFF, 0xFF01, 0x00FF, 0x0100])
        return Request(struct.pack(">BHH", 5, a, value), 5, a, 1, True, True)
    if case == 3:  # any 16-bit values
        start = rnd.randrange(HOLDING)
        count = rnd.randint(1, min(10, HOLDING - start))
        values = [rnd.randrange(0x10000) for _ in range(count)]
        pdu = struct.pack(">BHHB%dH" % count, 16, start, count, 2 * count, *values)
        return Request(pdu, 16, start, count, False, True)
    if case == 4:  # a byte count longer than the quantity needs
        function = rnd.choice([15, 16])
        start = rnd.randrange(48, 56) if function == 15 else rnd.choice([38, 70])
        count = 2
        data = bytes(rnd.randrange(256) for _ in range(6))
        pdu = struct.pack(">BHHB", function, start, count, len(data)) + data
        return Request(pdu, function, start, count, function == 15, True)
    a = rnd.choice([HOLDING, HOLDING + 10, COILS])  # a single write beyond the map
    function = rnd.choice([5, 6])
    return Request(struct.pack(">BHH", function, a, 0xFF00), function, a, 1, function == 5, True)


class Chaos:
    def __init__(self, args):
        self.args = args
        self.control = Control(args.control)
        self.write_lock = threading.Lock()
        self.stats_lock = threading.Lock()
        self.end = time.monotonic() + args.seconds
        self.requests = self.faults = self.unanswered = self.checked = 0
        self.max_ms = 0.0
        self.torn = collections.Counter()
        self.unrestored = collections.Counter()
        self.exceptions = collections.Counter()
        self.examples = []

    def inject(self, rnd, devices=DEVICES):
        device, count = rnd.choice(devices), rnd.randint(1, 4)
        self.control.command("fail %s %d" % (device, count))
        with self.stats_lock:
            self.faults += 1

    def readback(self, client, outputs, coils):
        """Each output as Modbus reads it. A bus fault makes a read give no
        value, never a wrong one, so the first value read is the output's;
        only one that gives none more often in a row than faults come has none."""
        marker = "exception" if coils else MISSING
        got = {}
        for a in sorted(outputs):
            for _ in range(12):
                values = client.read(1 if coils else 3, a, 1)
                got[a] = marker if values is None else values[0]
                if got[a] != marker:
                    break
        return got

    def check(self, client, request, rnd):
        outputs = request.outputs()
        before = (self.readback(client, outputs, request.coils), self.control.outputs())
        # Mostly a fault on a chip the write reaches, at a moment inside it.
        touched = [DEVICE_OF[m] for m in set(outputs.values()) if m in DEVICE_OF]
        fault = threading.Timer(rnd.uniform(0, 0.03), self.inject,
                                (random.Random(rnd.random()), touched or DEVICES))
        if rnd.random() < 0.7:
            fault.start()
        started = time.monotonic()
        reply = client.call(request.pdu)
        elapsed = (time.monotonic() - started) * 1000
        if fault.ident is not None:
            fault.join()
        if reply is None or reply[0] < 0x80:
            return reply, elapsed
        after = (self.readback(client, outputs, request.coils), self.control.outputs())
        marker = "exception" if request.coils else MISSING
        # Faults queued up on a chip can outlast every try to read it: an
        # output that read as missing before is judged by `show` alone. One
        # that reads as missing only after is what the service could not put
        # back (or a read that still failed): not torn, counted apart.
        read = [a for a in outputs if before[0][a] != marker]
        unset = {outputs[a] for a in read if after[0][a] == marker}
        changed = {outputs[a] for a in read if after[0][a] not in (marker, before[0][a])}
        changed |= {m for m in set(before[1]) | set(after[1])
                    if before[1].get(m) != after[1].get(m)} - unset
        key = "FC%d %s" % (request.function, "+".join(sorted(changed | unset)) or "-")
        with self.stats_lock:
            self.checked += 1
            if changed:
                self.torn[key] += 1
                if self.torn[key] <= 2:
                    self.examples.append((request.pdu.hex(), reply.hex(), before, after))
            elif unset:
                self.unrestored[key] += 1
        return reply, elapsed

    def client(self, index):
        rnd = random.Random(self.args.seed * 1000 + index)
        client = Modbus(self.args.port)
        while time.monotonic() < self.end:
            request = make_request(rnd)
            if request.write:
                with self.write_lock:
                    reply, elapsed = self.check(client, request, rnd)
            else:
                started = time.monotonic()
                reply = client.call(request.pdu)
                elapsed = (time.monotonic() - started) * 1000
            with self.stats_lock:
                self.requests += 1
                self.max_ms = max(self.max_ms, elapsed)
                if reply is None:
                    self.unanswered += 1
                elif reply[0] >= 0x80:
                    self.exceptions[reply[1] if len(reply) > 1 else -1] += 1
        client.close()

    def faulter(self):
        rnd = random.Random(self.args.seed * 1000 + 998)
        while time.monotonic() < self.end:
            time.sleep(rnd.uniform(0.02, 0.2))
            self.inject(rnd)

    def changer(self):
        rnd = random.Random(self.args.seed * 1000 + 999)
        while time.monotonic() < self.end:
            time.sleep(rnd.uniform(0.02, 0.2))
            self.control.command(rnd.choice([
                "input %d %d" % (rnd.randrange(9), rnd.randrange(2)),
                "tmp 1 raw %d %d" % (rnd.randint(1, 16), rnd.randint(1, 4095)),
                "aio 3 adc %d %d" % (rnd.randint(1, 4), rnd.randrange(65536)),
                "aio 3 din %d %d" % (rnd.randint(1, 4), rnd.randrange(2)),
                "aio 3 alert %d" % rnd.choice([0, 0, 0, 1, 4, 0x400, 0x800]),
            ]))

    def run(self):
        threads = [threading.Thread(target=self.client, args=(i,)) for i in range(self.args.clients)]
        threads += [threading.Thread(target=self.faulter), threading.Thread(target=self.changer)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.control.command("aio 3 alert 0")


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    args = parser.parse_args()

    before = rss_kb(args.pid)
    chaos = Chaos(args)
    chaos.run()
    after = rss_kb(args.pid)
    err = sys.stderr
    print("seed=%d writes_checked=%d exceptions=%s" % (args.seed, chaos.checked,
          dict(sorted(chaos.exceptions.items()))), file=err)
    for title, counter in (("torn", chaos.torn), ("not reset, reading missing", chaos.unrestored)):
        for key, n in sorted(counter.items()):
            print("%s: %s x%d" % (title, key, n), file=err)
    for pdu, reply, before_state, after_state in chaos.examples:
        print("torn example: request %s reply %s\n  before %s\n  after  %s" %
              (pdu, reply, before_state, after_state), file=err)
    print("chaos_seconds=%d requests=%d faults=%d torn=%d unanswered=%d max_ms=%d "
          "rss_kb_before=%d rss_kb_after=%d" % (args.seconds, chaos.requests, chaos.faults,
                                                sum(chaos.torn.values()), chaos.unanswered,
                                                round(chaos.max_ms), before, after))


if __name__ == "__main__":
    main()
