#!/usr/bin/python3
"""Talks to a running corvanebs over Modbus TCP with pymodbus, a client written elsewhere,
and prints one "name=value" line per check; exits 0 only if every check held.

    /usr/bin/python3 interop_pymodbus.py PORT

Only 127.0.0.1 is contacted. Expects a board with the base module only.
"""
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse

LOCK = 6914
UNLOCK = 5281
# Input registers 0-11 of the base module: a zero, the version 0.7.18, four constant words,
# and the presence masks of the four extension kinds, all empty here.
EXPECTED_IDENTIFICATION = [0, 0, 7, 18, 1234, 1234, 1234, 1234, 0, 0, 0, 0]

failures = []


def report(name, value, expected):
    print(f"{name}={value}")
    if value != expected:
        failures.append(f"{name}: got {value}, expected {expected}")


def outcome(response):
    """'ok' for a normal reply, 'exception=N' for a Modbus exception, else the error text."""
    if isinstance(response, ExceptionResponse):
        return f"exception={response.exception_code}"
    if response.isError():
        return f"error={response}"
    return "ok"


def main():
    if len(sys.argv) != 2:
        print("usage: interop_pymodbus.py PORT", file=sys.stderr)
        return 2
    client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=3, retries=1)
    if not client.connect():
        print("connect=failed")
        return 1
    try:
        rr = client.read_input_registers(0, 12, slave=1)
        report("input_registers", outcome(rr), "ok")
        if not rr.isError():
            report("identification", ",".join(map(str, rr.registers)),
                   ",".join(map(str, EXPECTED_IDENTIFICATION)))

        report("write_coil0_on", outcome(client.write_coil(0, True, slave=1)), "ok")
        rr = client.read_coils(0, 1, slave=1)
        report("read_coil0", outcome(rr) if rr.isError() else int(rr.bits[0]), 1)
        report("write_coil0_off", outcome(client.write_coil(0, False, slave=1)), "ok")
        rr = client.read_coils(0, 1, slave=1)
        report("read_coil0_after_off", outcome(rr) if rr.isError() else int(rr.bits[0]), 0)

        report("lock", outcome(client.write_register(0, LOCK, slave=1)), "ok")
        report("write_hr16_locked", outcome(client.write_register(16, 1, slave=1)), "exception=1")
        # Base-module entries are configuration entries too, and unlike register 16 their
        # module is always fitted, so only the lock can refuse them.
        report("write_hr1_locked", outcome(client.write_register(1, 0, slave=1)), "exception=1")
        report("write_coil0_locked", outcome(client.write_coil(0, True, slave=1)), "exception=1")
        report("unlock", outcome(client.write_register(0, UNLOCK, slave=1)), "ok")
        report("write_hr1_unlocked", outcome(client.write_register(1, 0, slave=1)), "ok")
        report("write_coil0_unlocked", outcome(client.write_coil(0, False, slave=1)), "ok")
        report("bad_lock_value", outcome(client.write_register(0, 1234, slave=1)), "exception=3")
    finally:
        client.close()

    for failure in failures:
        print(f"FAILED {failure}", file=sys.stderr)
    print("result=" + ("pass" if not failures else "fail"))
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
