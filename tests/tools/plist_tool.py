#!/usr/bin/env python3
"""Property-list helper for the tests, built on Python's plistlib (an
independent reader and writer of both formats).

  plist_tool.py canon PATH            print the canonical text of the file's value
  plist_tool.py convert FMT IN OUT    read IN (any format), write OUT as FMT (xml|binary)
  plist_tool.py sample NAME FMT OUT   write the named sample value as FMT; print its canonical text
  plist_tool.py names                 list the sample names
  plist_tool.py fixtures DIR          write every sample as DIR/NAME.bplist and DIR/NAME.xml,
                                      with its canonical text in DIR/NAME.canon

Canonical text (the tests build the same text from a value in C++):
  dictionary  {key:value,...}  entries ordered by the keys' UTF-16 code units,
                               keys in string form
  array       [value,...]
  string      s"..."           JSON string, ASCII only (\\uXXXX, surrogate pairs)
  integer     i<decimal>
  real        r<16 hex digits of the IEEE-754 bits>, or rnan
  boolean     true / false
  data        d<hex>
  date        t<microseconds since 1970-01-01 UTC>
"""

import datetime
import json
import math
import plistlib
import struct
import sys

sys.setrecursionlimit(20000)

EPOCH = datetime.datetime(1970, 1, 1)


def canon(v):
    if isinstance(v, dict):
        keys = sorted(v.keys(), key=lambda k: k.encode("utf-16-be", "surrogatepass"))
        return "{" + ",".join(canon(k) + ":" + canon(v[k]) for k in keys) + "}"
    if isinstance(v, (list, tuple)):
        return "[" + ",".join(canon(x) for x in v) + "]"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return "s" + json.dumps(v, ensure_ascii=True)
    if isinstance(v, int):
        return "i" + str(v)
    if isinstance(v, float):
        if math.isnan(v):
            return "rnan"
        return "r" + struct.pack(">d", v).hex()
    if isinstance(v, (bytes, bytearray)):
        return "d" + bytes(v).hex()
    if isinstance(v, datetime.datetime):
        if v.tzinfo is not None:
            v = v.astimezone(datetime.timezone.utc).replace(tzinfo=None)
        return "t" + str((v - EPOCH) // datetime.timedelta(microseconds=1))
    raise TypeError("unexpected value type %r" % type(v))


def samples():
    shared = ["shared", 1]
    return {
        "scalars": {
            "string": "hello",
            "empty string": "",
            "int": 42,
            "negative": -7,
            "int64 min": -(2 ** 63),
            "int64 max": 2 ** 63 - 1,
            "uint64 max": 2 ** 64 - 1,
            "above int64": 2 ** 63,
            "byte": 255,
            "short": 65535,
            "word": 2 ** 32 - 1,
            "real": 0.1,
            "negative zero": -0.0,
            "big real": 1e300,
            "tiny real": 5e-324,
            "infinity": float("inf"),
            "minus infinity": float("-inf"),
            "true": True,
            "false": False,
            "data": b"\x00\x01\x02\xfe\xff",
            "empty data": b"",
            "date": datetime.datetime(2024, 2, 29, 13, 45, 30),
            "old date": datetime.datetime(1901, 12, 13, 20, 45, 52),
            "epoch date": datetime.datetime(2001, 1, 1),
        },
        "unicode": {
            "caf\u00e9": "na\u00efve \u2014 \u65e5\u672c\u8a9e",
            "\U0001f600 astral": "\U0001f680\U00010348",
            "\ue000 private": "tab\there, newline\nthere",
            "<&>\"'": "<tag> & \"quotes\" 'single'",
            "B": 1,
            "a": 2,
            "a/c": 3,
            "b": 4,
        },
        "nested": {
            "State:/Network/Global/IPv4": {
                "PrimaryInterface": "eth0",
                "Addresses": ["192.0.2.1", "192.0.2.2"],
                "Deep": [[[], {}], [{"x": [1, 2.5, True]}]],
            },
            "empty array": [],
            "empty dict": {},
        },
        "shared": {"one": shared, "two": shared, "three": [shared, shared]},
        "array": [1, "two", 3.0, [4], {"five": 5}, b"six", False],
        "long string": "x" * 100000 + "\u00e9" * 3,
        "many": list(range(2000)),
        "scalar root": "just a string",
        "deep 512": nest(512),
        "deep 513": nest(513),
    }


def nest(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def write(value, fmt, path):
    with open(path, "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_BINARY if fmt == "binary" else plistlib.FMT_XML,
                      sort_keys=False)


def main(argv):
    if len(argv) >= 2 and argv[1] == "canon":
        with open(argv[2], "rb") as f:
            print(canon(plistlib.load(f)))
    elif len(argv) >= 2 and argv[1] == "convert":
        with open(argv[3], "rb") as f:
            value = plistlib.load(f)
        write(value, argv[2], argv[4])
    elif len(argv) >= 2 and argv[1] == "sample":
        value = samples()[argv[2]]
        write(value, argv[3], argv[4])
        print(canon(value))
    elif len(argv) >= 2 and argv[1] == "names":
        print("\n".join(samples().keys()))
    elif len(argv) >= 2 and argv[1] == "fixtures":
        import os
        for name, value in samples().items():
            if name.startswith("deep") or name in ("many", "long string"):
                continue   # made at test time; not worth committing
            base = os.path.join(argv[2], name.replace(" ", "_"))
            write(value, "binary", base + ".bplist")
            write(value, "xml", base + ".xml")
            with open(base + ".canon", "w") as f:
                f.write(canon(value) + "\n")
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
