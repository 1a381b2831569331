#!/usr/bin/python3
"""pymodbus, a client written elsewhere, against corvanebs on 127.0.0.1:PORT (argv[1]) with
the base module only. Prints one "name=value" line per check, then result=pass|fail; exits 0
only if every check held."""
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse

c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=3, retries=1)


def outcome(r):
    if isinstance(r, ExceptionResponse):
        return f"exception={r.exception_code}"
    return f"error={r}" if r.isError() else "ok"


CHECKS = [
    # A zero, the version 0.7.18, four constant words, and the (empty) presence masks of
    # the four extension kinds.
    ("identification", lambda: c.read_input_registers(0, 12, slave=1).registers,
     [0, 0, 7, 18, 1234, 1234, 1234, 1234, 0, 0, 0, 0]),
    ("write_coil0_on", lambda: outcome(c.write_coil(0, True, slave=1)), "ok"),
    ("read_coil0", lambda: c.read_coils(0, 1, slave=1).bits[0], True),
    ("write_coil0_off", lambda: outcome(c.write_coil(0, False, slave=1)), "ok"),
    ("read_coil0_after_off", lambda: c.read_coils(0, 1, slave=1).bits[0], False),
    ("lock", lambda: outcome(c.write_register(0, 6914, slave=1)), "ok"),
    ("write_hr16_locked", lambda: outcome(c.write_register(16, 1, slave=1)), "exception=1"),
    # Base-module entries: their module is always fitted, so only the lock refuses them.
    ("write_hr1_locked", lambda: outcome(c.write_register(1, 0, slave=1)), "exception=1"),
    ("write_coil0_locked", lambda: outcome(c.write_coil(0, True, slave=1)), "exception=1"),
    ("unlock", lambda: outcome(c.write_register(0, 5281, slave=1)), "ok"),
    ("write_hr1_unlocked", lambda: outcome(c.write_register(1, 0, slave=1)), "ok"),
    ("write_coil0_unlocked", lambda: outcome(c.write_coil(0, False, slave=1)), "ok"),
    ("bad_lock_value", lambda: outcome(c.write_register(0, 1234, slave=1)), "exception=3"),
]

failed = not c.connect()
for name, check, expected in CHECKS if not failed else []:
    try:
        got = check()
    except Exception as error:  # an error reply has no registers or bits
        got = repr(error)
    failed |= got != expected
    print(f"{name}={got}" + ("" if got == expected else f" FAILED, expected {expected}"))
c.close()
print("result=" + ("fail" if failed else "pass"))
sys.exit(1 if failed else 0)
