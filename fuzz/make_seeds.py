#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a sound session in the target's input format (see the comment at the
top of each target), so that the fuzzer starts from inputs that reach deep into the
code and mutates from there. Run it again after changing an input format:

    fuzz/make_seeds.py
"""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
CR = b"\r"


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


# ---- fuzz_receive: operation, argument, stop, then [timing][length][bytes] chunks ----

def chunk(data, after_host=True, delay_ms=2):
    return bytes([(0x80 if after_host else 0) | delay_ms, len(data)]) + data


def session(operation, argument, replies, stop=0):
    return bytes([operation]) + struct.pack(">H", argument) + bytes([stop]) + b"".join(
        chunk(r) for r in replies)


def record(state=1, count=3, a=0, b=700, starts=(437, 812, 1000, 0, 0, 0)):
    out = bytearray(28 * CR)
    out[0], out[2] = state, count
    out[4:6] = struct.pack(">H", a)
    out[7:9] = struct.pack(">H", b)
    for i, s in enumerate(starts):
        out[10 + 3 * i:12 + 3 * i] = struct.pack(">H", s)
    return bytes(out)


def position(steps):
    return b"w" + struct.pack(">I", steps)


IDENTIFY = [b"y\x15", b"n\x30\x39", b"g\x04", b"z\x03\xe8", b"p\x01\xf4",
            b"m" + struct.pack(">I", 8717), b"v\x00\xfa", b"t\x06", position(11000), record()]
OK = b"OK" + CR

write("receive", "identify", session(0, 0, IDENTIFY))
write("receive", "identify-wrong-letters", session(0, 0, [b"Y\x15", b"n\x30", b"g\x04\x00", b"z\x03\xe8"]))
# A move to 500.0 nm at 0.05 nm per step: "W" 10000 steps, head = target + zero offset.
head = struct.pack(">I", 11000)
write("receive", "move", session(1, 5000, [head + CR, position(9000), position(10200), position(11000),
                                           position(11000), position(11000)]))
write("receive", "move-ends-with-O", session(1, 5000, [head + CR, position(9000), b"OKKK" + CR, position(9500)]))
write("receive", "move-port-vanishes", session(1, 5000, [head + CR, position(9000)]) + bytes([0x85, 255]))
write("receive", "refresh", session(2, 0, [b"y\x15", b"n\x30\x39", b"g\x04", b"z\x03\xe8",
                                           b"m" + struct.pack(">I", 8717), b"t\x06", b"v\x00\xfa", position(11000)]))
write("receive", "jog", session(3, 400, [position(11000)] + [position(11000 + 40 * i) for i in range(1, 12)]
                                 + [b"OKKK" + CR, position(11500)]))
write("receive", "step-up", session(5, 100, [struct.pack(">I", 11100) + CR, position(11050), position(11100)]))
write("receive", "download", session(7, 0, [OK] * 5 + [OK, b"OK"] + [b"F\x00\rOK\r"] * 6 + [b"OKKK" + CR]
                                     + IDENTIFY))
write("receive", "filter-set", session(8, 3, [b"F\x00\rOK\r"] * 6 + [record()]))
write("receive", "filter-switch", session(9, 0, [OK, record(state=0)]))
write("receive", "power-on", session(12, 4000, [OK, b"m" + struct.pack(">I", 8000)]))
write("receive", "stopped-from-outside", session(1, 5000, [head + CR, position(9000), position(9500)], stop=3))

# ---- fuzz_filter_record: grating, then the reply to "f" ----
write("filter_record", "three-filters", bytes([3]) + record())
write("filter_record", "negative-a", bytes([0]) + record(a=0x8005, count=6, starts=(1, 2, 3, 4, 5, 65535)))
write("filter_record", "not-set-up", bytes([3]) + record(state=7))
write("filter_record", "count-above-six", bytes([8]) + record(count=9))
write("filter_record", "short", bytes([3]) + record()[:12])
write("filter_record", "long", bytes([3]) + record() + record(state=0))

# ---- fuzz_parameter_file: grating, then the file ----
LINE1 = b"00258\t430\t500\t1000\t09\t435.85\t6\t\r\n"
LINE2 = b"1\t-5\t700\t3\t349.6\t649.6\t800.0\t\r\n"
write("parameter_file", "sound", bytes([3]) + LINE1 + LINE2)
write("parameter_file", "no-wheel", bytes([0]) + LINE1.replace(b"430", b"130") + b"2\t\r\n")
write("parameter_file", "six-filters", bytes([1]) + LINE1 + b"0\t0\t700\t6\t300\t400\t500\t600\t700\t800\t\r\n")
write("parameter_file", "line1-only", bytes([3]) + LINE1)
write("parameter_file", "lf-only", bytes([3]) + (LINE1 + LINE2).replace(b"\r\n", b"\n"))
write("parameter_file", "cr-only", bytes([3]) + (LINE1 + LINE2).replace(b"\r\n", b"\r"))
write("parameter_file", "coarse-grating", bytes([5]) + LINE1.replace(b"430", b"410") + LINE2)
write("parameter_file", "too-large-value", bytes([3]) + b"70000" + LINE1[5:] + LINE2)
write("parameter_file", "byte-order-mark", bytes([3]) + b"\xef\xbb\xbf" + LINE1 + LINE2)
write("parameter_file", "not-text", bytes([3]) + LINE1[:10] + b"\x00\xff\xfe" + LINE1[10:] + LINE2)

# ---- fuzz_sim_parser: faults, then [time][length][bytes] pieces ----

def pieces(*parts, gap=4):
    return b"".join(bytes([gap, len(p)]) + p for p in parts)


write("sim_parser", "identify", bytes([0]) + pieces(b"y", b"n", b"g", b"z", b"p", b"m", b"v", b"t", b"w", b"f\r"))
write("sim_parser", "settings", bytes([0]) + pieces(b"N\x01\x02", b"G\x04", b"P\x01\xf4", b"Z\x03\xe8", b"Y\x00\x09",
                                                    b"M\x00\x00\x22\x0d", b"T\x06", b"V\x64\x00", b"S\x01\r"))
write("sim_parser", "filters", bytes([0]) + pieces(b"F\x03\r", b"\x80\x05\r", b"\x02\xbc\r", b"\x01\xb5\r",
                                                   b"\x03\x2c\r", b"\x03\xe8\r", b"f\r"))
write("sim_parser", "motion", bytes([0]) + pieces(b"W\x00\x00\x27\x10", b"w", b"K\x01", b"w", b"k", b"K\x02\x00",
                                                  b"w", b"U\x00\x00\x00\x64", b"D\x00\x00\x00\x64", b"K\x08")
           + bytes([230, 1]) + b"w")
write("sim_parser", "split-and-faults", bytes([0x3f]) + pieces(b"W\x00", b"\x00\x27", b"\x10w", b"K", b"\x08", gap=1))
