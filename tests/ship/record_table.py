"""Sample lines of a qellog log file (without their line end) and the
record the central server must make of each; check_records.py adds host
and file, and the line itself to lifecycle records."""


def msg(text, error=False, **fields):
    return dict(type="message", error=error, text=text, **fields)


def life(event, **fields):
    return dict(type="lifecycle", event=event, **fields)


T, D, P, V = "14:07:09.123", "000012.345", dict(pid=1234, tid=1240), "0000abcd"
TABLE = [
    (b"Logfile: /var/log/app/app.log", life("logfile", path="/var/log/app/app.log")),
    (b"Logging started at 05.03.2024 14:07:09 ", life("started")),
    (b"QEL Loglib Version: 1,1,0,24 created Dec 15 2022", life("library")),
    (b"", life("blank")),
    (b"myhost Version: 2.3.1 created 2024-01-10", life("banner", name="myhost", version="2.3.1", created="2024-01-10")),
    (b"Description: acquisition service", life("description", description="acquisition service")),
    (b" Version:  created ", life("banner", created="")),
    (b"/var/log/app/ship.log", life("path")),
    (b"/var/log/app/app.log", msg("/var/log/app/app.log")),
    (b"logfile continued 05.03.2024 14:07:09", life("continued")),
    (b"14:07.09.123 05.03.2024", life("timestamp")),
    (b"ERROR write_to_file: 3 lines lost since 05.03.2024 14:07:09.123, last error 28",
     life("lost", error=True, lost=3, since="05.03.2024 14:07:09.123", last_error=28)),
    (b"2026-12-09T17:14:07.427+01:00 02 ERROR write_to_file: 1 lines lost since 09.12.2026 17:14:06.001, last error 5",
     life("lost", error=True, time="2026-12-09T17:14:07.427+01:00", cpu=2, lost=1,
          since="09.12.2026 17:14:06.001", last_error=5)),
    (b"14:07:09.123 000012.345ms 01234:01240 03 flushlog: flushlog start 1001",
     msg("flushlog: flushlog start 1001", time=T, elapsed_ms=D, cpu=3, **P)),
    (b"14:07:09.123 000012.345ms 01234:01240 03 00000000 ERROR get_default_logname: x",
     msg("get_default_logname: x", True, time=T, elapsed_ms=D, cpu=3, value="00000000", **P)),
    (b"2026-12-09T17:14:07.427-05:30 -00012.345ms 4194304:4194305 -1 ffffffff x",
     msg("x", time="2026-12-09T17:14:07.427-05:30", elapsed_ms="-00012.345", pid=4194304, tid=4194305,
         cpu=-1, value="ffffffff")),
    (b"000000.999ms 00000000 5 items", msg("5 items", elapsed_ms="000000.999", value="00000000")),
    (b"01234:01240 0000abcd ERROR ", msg("", True, value=V, **P)),
    (b"00000000 12345678 x", msg("12345678 x", value="00000000")),
    (b"03 00000000 x", msg("x", cpu=3, value="00000000")),
    (b"123 0000abcd x", msg("x", cpu=123, value=V)),
    (b"ERROR config: no file", msg("config: no file", True)),
    (b"0000abcd \"q\" \\b\\ cr\rlf\ntab\tesc\x1bdel\x7f \xc3\xa9 \xff",
     msg("\"q\" \\b\\ cr\rlf\ntab\tesc\x1bdel\x7f \u00e9 ?", value=V)),
    (b"0000abcd 17:14:07.427 000001.000ms 00001:00002 01 cafebabe ERROR fake",
     msg("17:14:07.427 000001.000ms 00001:00002 01 cafebabe ERROR fake", value=V)),
    (b"00000000 ERROR write_to_file: 3 lines lost since 05.03.2024 14:07:09.123, last error 28 x",
     msg("write_to_file: 3 lines lost since 05.03.2024 14:07:09.123, last error 28 x", True, value="00000000")),
    (b"00000000 Logfile: /x", msg("Logfile: /x", value="00000000")),
    (b"ERRORX", msg("ERRORX")),
    (b"plain text", msg("plain text")),
    # Class names that the central configuration declares (WARN DEBUG_2).
    (b"00000000 WARN disk low", msg("disk low", value="00000000", **{"class": "WARN"})),
    (b"14:07:09.123 ERROR DEBUG_2 ", msg("", True, time=T, **{"class": "DEBUG_2"})),
    (b"WARN x", msg("x", **{"class": "WARN"})),
    (b"00000000 WARNING x", msg("WARNING x", value="00000000")),
    (b"0000abcd NOTE x", msg("NOTE x", value=V)),
    (b"00000000 WARN", msg("WARN", value="00000000")),
    (b"Logging ended at 05.03.2024 14:07.09 ", life("ended")),
    (b"-" * 72, life("rule")),
]
