version=2
# One line of a qellog log file, without its line end (CR LF, or LF alone
# from a log with Lineend=lf), to one record: the rule base for rsyslog's
# mmnormalize (liblognorm 2; "version=2" above selects its engine and must
# stay the first line). qellog-central.conf finishes each record: it joins
# the parts of the value field and of the time of day, turns "error" into
# true, takes a declared class name (after "ERROR ", where the log writes
# it) out of the text into "class", and adds the host, the file and, for
# lifecycle records, the whole line.
#
# A message line holds the prefix fields its log's mask enables, in this
# order and each followed by a blank: the time of day (17:14:07.427, or the
# dated 2026-12-09T17:14:07.427+01:00), the elapsed time (000012.345ms),
# pid:tid (01234:01240) and the processor (03, or -1); then the value field
# (eight lower-case hex digits), the tag "ERROR " and the text, which may
# hold anything. The fields are read from the left, each in its own shape;
# the text is everything after the last one. The value field is tried
# before the processor, so a value of decimal digits (00000000) is never
# taken for a processor number.
#
# How liblognorm 2.0.6 matches, and why the rules look as they do:
# - At each point it tries the alternatives in the order of "priority"
#   (unset: 30000) and keeps the first one with which the rest matches.
# - A type (@name) returns its first match and is never re-entered, so
#   each type below runs to the end of the line; its name says what may
#   still follow.
# - The length a type reports is wrong after an alternative that ended
#   further right has failed, so no type ends in the middle of a line; the
#   fields are built-in parsers, the value field eight one-digit
#   alternatives (v1 .. v8).

# The text: the error tag may open it.
type=@text:%{"type":"literal", "text":"ERROR", "name":"error", "priority":31000}% %text:rest%
type=@text:%{"type":"rest", "name":"text", "priority":31900}%

# The value field and the text.
type=@value-8:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v8"}, {"type":"literal", "text":"1", "name":"v8"}, {"type":"literal", "text":"2", "name":"v8"}, {"type":"literal", "text":"3", "name":"v8"}, {"type":"literal", "text":"4", "name":"v8"}, {"type":"literal", "text":"5", "name":"v8"}, {"type":"literal", "text":"6", "name":"v8"}, {"type":"literal", "text":"7", "name":"v8"},
      {"type":"literal", "text":"8", "name":"v8"}, {"type":"literal", "text":"9", "name":"v8"}, {"type":"literal", "text":"a", "name":"v8"}, {"type":"literal", "text":"b", "name":"v8"}, {"type":"literal", "text":"c", "name":"v8"}, {"type":"literal", "text":"d", "name":"v8"}, {"type":"literal", "text":"e", "name":"v8"}, {"type":"literal", "text":"f", "name":"v8"}]}% %.:@text%
type=@value-7:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v7"}, {"type":"literal", "text":"1", "name":"v7"}, {"type":"literal", "text":"2", "name":"v7"}, {"type":"literal", "text":"3", "name":"v7"}, {"type":"literal", "text":"4", "name":"v7"}, {"type":"literal", "text":"5", "name":"v7"}, {"type":"literal", "text":"6", "name":"v7"}, {"type":"literal", "text":"7", "name":"v7"},
      {"type":"literal", "text":"8", "name":"v7"}, {"type":"literal", "text":"9", "name":"v7"}, {"type":"literal", "text":"a", "name":"v7"}, {"type":"literal", "text":"b", "name":"v7"}, {"type":"literal", "text":"c", "name":"v7"}, {"type":"literal", "text":"d", "name":"v7"}, {"type":"literal", "text":"e", "name":"v7"}, {"type":"literal", "text":"f", "name":"v7"}]}%%.:@value-8%
type=@value-6:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v6"}, {"type":"literal", "text":"1", "name":"v6"}, {"type":"literal", "text":"2", "name":"v6"}, {"type":"literal", "text":"3", "name":"v6"}, {"type":"literal", "text":"4", "name":"v6"}, {"type":"literal", "text":"5", "name":"v6"}, {"type":"literal", "text":"6", "name":"v6"}, {"type":"literal", "text":"7", "name":"v6"},
      {"type":"literal", "text":"8", "name":"v6"}, {"type":"literal", "text":"9", "name":"v6"}, {"type":"literal", "text":"a", "name":"v6"}, {"type":"literal", "text":"b", "name":"v6"}, {"type":"literal", "text":"c", "name":"v6"}, {"type":"literal", "text":"d", "name":"v6"}, {"type":"literal", "text":"e", "name":"v6"}, {"type":"literal", "text":"f", "name":"v6"}]}%%.:@value-7%
type=@value-5:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v5"}, {"type":"literal", "text":"1", "name":"v5"}, {"type":"literal", "text":"2", "name":"v5"}, {"type":"literal", "text":"3", "name":"v5"}, {"type":"literal", "text":"4", "name":"v5"}, {"type":"literal", "text":"5", "name":"v5"}, {"type":"literal", "text":"6", "name":"v5"}, {"type":"literal", "text":"7", "name":"v5"},
      {"type":"literal", "text":"8", "name":"v5"}, {"type":"literal", "text":"9", "name":"v5"}, {"type":"literal", "text":"a", "name":"v5"}, {"type":"literal", "text":"b", "name":"v5"}, {"type":"literal", "text":"c", "name":"v5"}, {"type":"literal", "text":"d", "name":"v5"}, {"type":"literal", "text":"e", "name":"v5"}, {"type":"literal", "text":"f", "name":"v5"}]}%%.:@value-6%
type=@value-4:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v4"}, {"type":"literal", "text":"1", "name":"v4"}, {"type":"literal", "text":"2", "name":"v4"}, {"type":"literal", "text":"3", "name":"v4"}, {"type":"literal", "text":"4", "name":"v4"}, {"type":"literal", "text":"5", "name":"v4"}, {"type":"literal", "text":"6", "name":"v4"}, {"type":"literal", "text":"7", "name":"v4"},
      {"type":"literal", "text":"8", "name":"v4"}, {"type":"literal", "text":"9", "name":"v4"}, {"type":"literal", "text":"a", "name":"v4"}, {"type":"literal", "text":"b", "name":"v4"}, {"type":"literal", "text":"c", "name":"v4"}, {"type":"literal", "text":"d", "name":"v4"}, {"type":"literal", "text":"e", "name":"v4"}, {"type":"literal", "text":"f", "name":"v4"}]}%%.:@value-5%
type=@value-3:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v3"}, {"type":"literal", "text":"1", "name":"v3"}, {"type":"literal", "text":"2", "name":"v3"}, {"type":"literal", "text":"3", "name":"v3"}, {"type":"literal", "text":"4", "name":"v3"}, {"type":"literal", "text":"5", "name":"v3"}, {"type":"literal", "text":"6", "name":"v3"}, {"type":"literal", "text":"7", "name":"v3"},
      {"type":"literal", "text":"8", "name":"v3"}, {"type":"literal", "text":"9", "name":"v3"}, {"type":"literal", "text":"a", "name":"v3"}, {"type":"literal", "text":"b", "name":"v3"}, {"type":"literal", "text":"c", "name":"v3"}, {"type":"literal", "text":"d", "name":"v3"}, {"type":"literal", "text":"e", "name":"v3"}, {"type":"literal", "text":"f", "name":"v3"}]}%%.:@value-4%
type=@value-2:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v2"}, {"type":"literal", "text":"1", "name":"v2"}, {"type":"literal", "text":"2", "name":"v2"}, {"type":"literal", "text":"3", "name":"v2"}, {"type":"literal", "text":"4", "name":"v2"}, {"type":"literal", "text":"5", "name":"v2"}, {"type":"literal", "text":"6", "name":"v2"}, {"type":"literal", "text":"7", "name":"v2"},
      {"type":"literal", "text":"8", "name":"v2"}, {"type":"literal", "text":"9", "name":"v2"}, {"type":"literal", "text":"a", "name":"v2"}, {"type":"literal", "text":"b", "name":"v2"}, {"type":"literal", "text":"c", "name":"v2"}, {"type":"literal", "text":"d", "name":"v2"}, {"type":"literal", "text":"e", "name":"v2"}, {"type":"literal", "text":"f", "name":"v2"}]}%%.:@value-3%
type=@value-text:%{"type":"alternative", "parser":[
      {"type":"literal", "text":"0", "name":"v1"}, {"type":"literal", "text":"1", "name":"v1"}, {"type":"literal", "text":"2", "name":"v1"}, {"type":"literal", "text":"3", "name":"v1"}, {"type":"literal", "text":"4", "name":"v1"}, {"type":"literal", "text":"5", "name":"v1"}, {"type":"literal", "text":"6", "name":"v1"}, {"type":"literal", "text":"7", "name":"v1"},
      {"type":"literal", "text":"8", "name":"v1"}, {"type":"literal", "text":"9", "name":"v1"}, {"type":"literal", "text":"a", "name":"v1"}, {"type":"literal", "text":"b", "name":"v1"}, {"type":"literal", "text":"c", "name":"v1"}, {"type":"literal", "text":"d", "name":"v1"}, {"type":"literal", "text":"e", "name":"v1"}, {"type":"literal", "text":"f", "name":"v1"}]}%%.:@value-2%

type=@after-cpu:%{"type":"@value-text", "name":".", "priority":31000}%
type=@after-cpu:%{"type":"@text", "name":".", "priority":31900}%

type=@after-pid:%{"type":"@value-text", "name":".", "priority":31000}%
type=@after-pid:%{"type":"number", "name":"cpu", "format":"number", "priority":31100}% %.:@after-cpu%
type=@after-pid:%{"type":"literal", "text":"-1", "name":"cpu", "priority":31200}% %.:@after-cpu%
type=@after-pid:%{"type":"@text", "name":".", "priority":31900}%

type=@after-delta:%{"type":"number", "name":"pid", "format":"number", "priority":31000}%:%tid:number{"format":"number"}% %.:@after-pid%
type=@after-delta:%{"type":"@after-pid", "name":".", "priority":31900}%

type=@after-time:%{"type":"float", "name":"elapsed_ms", "priority":31000}%ms %.:@after-delta%
type=@after-time:%{"type":"@after-delta", "name":".", "priority":31900}%

# A message line: at least one field or the tag; the first one present
# opens the chain.
type=@message:%{"type":"time-24hr", "name":"hms", "priority":31000}%.%ms:number% %.:@after-time%
type=@message:%{"type":"date-rfc5424", "name":"time", "priority":31010}% %.:@after-time%
type=@message:%{"type":"float", "name":"elapsed_ms", "priority":31020}%ms %.:@after-delta%
type=@message:%{"type":"number", "name":"pid", "format":"number", "priority":31030}%:%tid:number{"format":"number"}% %.:@after-pid%
type=@message:%{"type":"@value-text", "name":".", "priority":31040}%
type=@message:%{"type":"number", "name":"cpu", "format":"number", "priority":31050}% %.:@after-cpu%
type=@message:%{"type":"literal", "text":"-1", "name":"cpu", "priority":31060}% %.:@after-cpu%
type=@message:%{"type":"literal", "text":"ERROR", "name":"error", "priority":31070}% %text:rest%

# The lost-line record: the prefix fields of the mask, the tag and a fixed
# text, without a value field. A chain of its own, so that a line that
# only begins like it stays a message.
type=@lost-text:ERROR write_to_file: %lost:number{"format":"number"}% lines lost since %since:char-to{"extradata":","}%, last error %last_error:number{"format":"number"}%
type=@lost-pid:%{"type":"number", "name":"cpu", "format":"number", "priority":31100}% %.:@lost-text%
type=@lost-pid:%{"type":"literal", "text":"-1", "name":"cpu", "priority":31200}% %.:@lost-text%
type=@lost-pid:%{"type":"@lost-text", "name":".", "priority":31900}%
type=@lost-delta:%{"type":"number", "name":"pid", "format":"number", "priority":31000}%:%tid:number{"format":"number"}% %.:@lost-pid%
type=@lost-delta:%{"type":"@lost-pid", "name":".", "priority":31900}%
type=@lost-time:%{"type":"float", "name":"elapsed_ms", "priority":31000}%ms %.:@lost-delta%
type=@lost-time:%{"type":"@lost-delta", "name":".", "priority":31900}%
type=@lost:%{"type":"time-24hr", "name":"hms", "priority":31000}%.%ms:number% %.:@lost-time%
type=@lost:%{"type":"date-rfc5424", "name":"time", "priority":31010}% %.:@lost-time%
type=@lost:%{"type":"@lost-time", "name":".", "priority":31900}%

# The rest of a banner after "<name> Version: ": "<version> created
# <created>", each possibly empty.
type=@banner-rest:%{"type":"literal", "text":" created ", "priority":31000}%%created:rest%
type=@banner-rest:%{"type":"string-to", "extradata":" created ", "name":"version", "priority":31100}% created %created:rest%

# The lines, most specific first (the fixed lines of the headers and the
# trailer keep the default priority, 30000): the time-stamp line, the
# lost-line record, message lines, the banner and, last, bare text. The
# continuation header's first line, the log's path, is bare text too;
# qellog-central.conf tells it by the file it came from.
rule=lifecycle,logfile:Logfile: %path:rest%
rule=lifecycle,started:Logging started at %-:rest%
rule=lifecycle,library:QEL Loglib Version: %-:rest%
rule=lifecycle,continued:logfile continued %-:rest%
rule=lifecycle,description:Description: %description:rest%
rule=lifecycle,ended:Logging ended at %-:rest%
rule=lifecycle,rule:------------------------------------------------------------------------
rule=lifecycle,timestamp:%{"type":"number", "priority":32000}%:%-:number%.%-:number%.%-:number% %-:number%.%-:number%.%-:number%
rule=lifecycle,lost:%{"type":"@lost", "name":".", "priority":32100}%
rule=message:%{"type":"@message", "name":".", "priority":32200}%
rule=lifecycle,banner:%{"type":"literal", "text":" Version: ", "priority":32300}%%.:@banner-rest%
rule=lifecycle,banner:%{"type":"string-to", "extradata":" Version: ", "name":"name", "priority":32400}% Version: %.:@banner-rest%
rule=message,bare:%{"type":"rest", "name":"text", "priority":32900}%

annotate=message:+type="message"
annotate=bare:+bare="yes"
annotate=lifecycle:+type="lifecycle"
annotate=logfile:+event="logfile"
annotate=started:+event="started"
annotate=library:+event="library"
annotate=continued:+event="continued"
annotate=description:+event="description"
annotate=ended:+event="ended"
annotate=rule:+event="rule"
annotate=timestamp:+event="timestamp"
annotate=lost:+event="lost"
annotate=banner:+event="banner"
