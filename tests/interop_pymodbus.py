#!/usr/bin/python3
"""pymodbus, a client written elsewhere, against corvanebs on 127.0.0.1:PORT (argv[1]) with
the demo board (PWM1, REL1, TMP1, AIO3). Prints one "name=value" line per check, then
result=pass|fail; exits 0 only if every check held."""
import sys
import time

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse

c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=3, retries=1)
MISSING = 0x8000


def outcome(r):
    if isinstance(r, ExceptionResponse):
        return f"exception={r.exception_code}"
    return f"error={r}" if r.isError() else "ok"


def holding(address, count=1):
    return c.read_holding_registers(address, count, slave=1).registers


def inputs(address, count=1):
    return c.read_input_registers(address, count, slave=1).registers


def write(address, *values):
    if len(values) == 1:
        return outcome(c.write_register(address, values[0], slave=1))
    return outcome(c.write_registers(address, list(values), slave=1))


def eventually(read, expected):
    """The temperature mean fills up in the first passes after the start: 5 s at most."""
    for _ in range(50):
        if (got := read()) == expected:
            break
        time.sleep(0.1)
    return got


ROOM = list(range(210, 226))  # TMP1's inputs 1-16, 21.0-22.5 degrees
CHECKS = [
    # Base module (identification and coils are mbpoll's part): register 0 of every
    # extension module (AIO3's is its alert status), the absent ones missing; inputs.
    ("register0", lambda: inputs(16, 22),
     [0] + [MISSING] * 7 + [0] + [MISSING] * 3 + [0] + [MISSING] * 4 + [0] + [MISSING] * 4),
    ("base_inputs", lambda: c.read_discrete_inputs(0, 9, slave=1).bits[:9], [True] + [False] * 8),
    # PWM1: duties, polarity keeping the duties.
    ("pwm_duties", lambda: write(38, 100, 200, 300, 400), "ok"),
    ("pwm_polarity", lambda: outcome(c.write_coils(16, [False, True, True, False], slave=1)), "ok"),
    ("pwm_duties_read", lambda: holding(38, 4), [100, 200, 300, 400]),
    # REL1: coils and the port register.
    ("relay_coils", lambda: outcome(c.write_coils(48, [False, True] * 4, slave=1)), "ok"),
    ("relay_port", lambda: holding(70), [0xAA]),
    # TMP1: the ten-sample mean.
    ("tmp_mean", lambda: eventually(lambda: inputs(38, 16), ROOM), ROOM),
    # AIO3: the demo inputs (0x8472); a level written to an input is refused.
    ("aio_inputs", lambda: write(18, 0x8472), "ok"),
    ("aio_mv_pt1000_ua", lambda: inputs(150) + inputs(95) + inputs(180), [5000, 215, 12000]),
    ("aio_levels", lambda: inputs(122, 3), [500, MISSING, 600]),
    ("aio_digital", lambda: c.read_discrete_inputs(27, 1, slave=1).bits[:1], [True]),
    ("aio_input_not_output", lambda: write(83, 1), "exception=1"),
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
