#!/usr/bin/env python3
"""Judges the records that the central rsyslogd wrote (one JSON object a
line) against the log files the driver wrote, read on their own.

  check_records.py ship LOGDIR LIVE ALL TOTAL JUDGED
  check_records.py table-lines FILE [lf]  appends the table's lines to FILE
  check_records.py table LIVE ALL MESSAGES [lf]

ALL holds every record, MESSAGES what the configuration's switch kept of
them when set to drop the lifecycle records. In a ship run every line that
is not the driver's must arrive as a lifecycle record holding it (the
events themselves are the table's business). Prints the counts; exit status
1 on any fault."""
import codecs
import collections
import json
import os
import re
import socket
import sys

from record_table import TABLE

codecs.register_error("qmark", lambda e: ("?" * (e.end - e.start), e.end))
MARK = re.compile(rb"ship (\d+) f([0-9a-f]) v([01]) e([01])")
FIELDS = [  # prefix bit, record fields, shape
    (1, ("time",), rb"(\d\d:\d\d:\d\d\.\d{3}|\d{4}-\d\d-\d\dT[\d:.]{12}[+-]\d\d:\d\d) "),
    (2, ("elapsed_ms",), rb"(-?\d+\.\d{3})ms "),
    (4, ("pid", "tid"), rb"(\d+):(\d+) "),
    (8, ("cpu",), rb"(-?\d+) "),
]


def text(raw):
    """The text as the central server keeps it: bytes that are not UTF-8 become '?'."""
    return raw.decode("utf-8", "qmark")


def expected_message(line, host, file):
    """The record of a driver line, taken apart by the layout its text names."""
    bits, value, error = (int(g, 16) for g in MARK.search(line).groups()[1:])
    rec, pos = {"type": "message", "host": host, "file": file, "error": error == 1}, 0
    shapes = [(names, shape) for bit, names, shape in FIELDS if bits & bit]
    shapes += [(("value",), rb"([0-9a-f]{8}) ")] if value else []
    for names, shape in shapes + ([((), rb"ERROR ")] if error else []):
        m = re.compile(shape).match(line, pos)
        if not m:
            return None
        for name, got in zip(names, m.groups()):
            rec[name] = int(got) if name in ("pid", "tid", "cpu") else got.decode()
        pos = m.end()
    rec["text"] = text(line[pos:])
    return rec if MARK.match(line, pos) else None


def disk_lines(logdir):
    seen = set()  # the generations layout: the live name links the current file
    for name in sorted(os.listdir(logdir)):
        st = os.stat(os.path.join(logdir, name))
        if (st.st_dev, st.st_ino) in seen:
            continue
        seen.add((st.st_dev, st.st_ino))
        with open(os.path.join(logdir, name), "rb") as f:
            *lines, tail = f.read().split(b"\r\n")
        yield from lines + ([tail] if tail else [])


def read_records(path):
    with open(path, "rb") as f:
        return [json.loads(raw.decode("utf-8")) for raw in f.read().splitlines()]


def check_switch(records, messages_path):
    kept = read_records(messages_path)
    want = sorted(json.dumps(r, sort_keys=True) for r in records if r["type"] == "message")
    return sorted(json.dumps(r, sort_keys=True) for r in kept) == want


def ship(logdir, live, all_path, total, judged):
    host = socket.gethostname().split(".")[0]
    expected, lifecycle, faults = {}, collections.Counter(), collections.Counter()
    for line in disk_lines(logdir):
        m = MARK.search(line)
        if m:
            n, rec = int(m.group(1)), expected_message(line, host, live)
            faults["disk_malformed"] += rec is None or n >= total
            faults["disk_duplicated"] += n in expected
            expected[n] = rec
        elif line != b"shipping probe":
            lifecycle[text(line)] += 1
    faults["disk_missing"] = total - len(expected)
    records = read_records(all_path)
    arrived = collections.Counter()
    for rec in records:
        m = MARK.search(rec.get("text", "").encode("utf-8", "surrogateescape"))
        if rec["type"] == "message" and m:
            n = int(m.group(1))
            arrived[n] += 1
            faults["wrong_fields"] += rec != expected.get(n)
        elif rec["type"] == "message":
            faults["lifecycle_as_message"] += rec["text"] != "shipping probe"
        else:
            key = rec.get("line")
            faults["wrong_lifecycle"] += lifecycle[key] <= 0 or rec["host"] != host or rec["file"] != live
            lifecycle[key] -= 1
    faults["duplicated"] = sum(c - 1 for c in arrived.values())
    if judged:
        faults["missing"] = total - len(arrived)
        faults["lifecycle_missing"] = sum(c for c in lifecycle.values() if c > 0)
    dated = sum("T" in r.get("time", "") for r in records)
    print("check_records: %d records, %d messages, %d with the dated time;"
          % (len(records), sum(arrived.values()), dated),
          " ".join("%s=%d" % kv for kv in sorted(faults.items())))
    return sum(faults.values()) == 0


def table_rows(ending):
    """The table as a log with this line end holds it and imfile ships it:
    with LF alone, a LF never stands inside a line (the library shows it as
    \\n), and imfile drops an empty line, so no blank record comes of it."""
    return [(line, want) for line, want in TABLE
            if ending == b"\r\n" or (line and b"\n" not in line)]


def table(live, all_path, messages_path, ending):
    host = socket.gethostname().split(".")[0]
    every = read_records(all_path)
    records = [r for r in every if r.get("text") != "shipping probe"]
    rows = table_rows(ending)
    ok = len(records) == len(rows) and check_switch(every, messages_path)
    for (line, want), got in zip(rows, records):
        want = dict(want, host=host, file=live)
        if want["type"] == "lifecycle":
            want["line"] = text(line)
        if got != want:
            print("line  %r\n  got  %s\n  want %s" % (line, got, want))
            ok = False
    print("check_records: %d table lines, %d records" % (len(rows), len(records)))
    return ok


def main(argv):
    ending = b"\n" if argv[-1] == "lf" else b"\r\n"
    if argv[1] == "table-lines":
        with open(argv[2], "ab") as f:
            f.write(b"".join(line + ending for line, _ in table_rows(ending)))
        return 0
    if argv[1] == "table":
        return 0 if table(*argv[2:5], ending) else 1
    return 0 if ship(*argv[2:5], int(argv[5]), argv[6] == "yes") else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
