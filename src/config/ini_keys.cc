// The [LOGGING] key table: how each key is applied, read back, explained
// and written into a fresh parameter file. The trace lines are the
// reader's documented texts.
#include "config/ini_keys.h"

#include <cstdio>

#include "config/ini_values.h"
#include "config/param_doc.h"

namespace qellog {
namespace {

std::string no_limit(unsigned long v) { return v == 0 ? "no limit" : ""; }

std::string no_hold(unsigned long v) { return v == 0 ? "no hold" : ""; }

std::string nothing_passes(unsigned long v) {
  return v == 0 ? "no line passes the mask: nothing is written" : "";
}

// A flush is requested when the count of writes exceeds flushcount.
std::string syncs_every(unsigned long v) {
  // snprintf, not std::to_string: the latter's digit table would be a
  // symbol of the shared library.
  char text[64];
  std::snprintf(text, sizeof text, "an fsync every %lu writes", v + 1);
  return text;
}

std::string only_at_flushes(unsigned long v) { return v == 0 ? "checked only at flushes" : ""; }

void trace_switch(SettingStep& s, const char* key, int shown) {
  s.ini.writelog(LOGBIT_INFO, "%s: %s %s ul %d", s.op, key, s.text, shown);
}

}  // namespace

const IniKey kLogKeys[] = {
    {kDirectoryKey, ValueKind::kDirectory, "", nullptr, nullptr, nullptr, nullptr, nullptr, true,
     "Directory of the log file. When missing it is created (mode 0775),\n"
     "but only its last component: its parent must exist."},
    {kFileNameKey, ValueKind::kFileName, "", nullptr, nullptr, nullptr, nullptr, nullptr, true,
     "Name of the log file inside Logpath."},
    {kOpenFlagsKey, ValueKind::kOpenFlags, "", nullptr, nullptr, nullptr, nullptr, "O_CREAT", true,
     "Open flags: O_CREAT creates a missing log file; O_TRUNC would empty\n"
     "it at every start. Without O_CREAT the file must exist already."},
    {kModeKey, ValueKind::kMode, "", nullptr, nullptr, nullptr, nullptr, "0644", true,
     "Permission bits of a newly created log file (less the umask)."},
    {"Logging", ValueKind::kMask, "",
     [](SettingStep& s) {
       s.log.set_logbits(read_word(s.text));
       s.ini.writelog(LOGBIT_INFO, "%s: Logging %s logbits 0x%x ", s.op, s.text,
                      s.log.get_logbits());
     },
     [](CQel_Log& l) -> unsigned long { return l.get_logbits(); }, nothing_passes, "3", "0x1003",
     true,
     "Enable mask: 0x1 errors, 0x2 information, other bits for the program;\n"
     "prefix fields 0x1000 time of day, 0x2000 elapsed time, 0x4000 pid:tid,\n"
     "0x8000 processor. A line is written when its flag word shares a bit\n"
     "with this mask; 0 writes nothing."},
    {"Flushcount", ValueKind::kCount, "",
     [](SettingStep& s) {
       s.log.set_flushcount(read_word(s.text));
       s.ini.writelog(LOGBIT_INFO, "%s: Flushcount %s  %d", s.op, s.text,
                      static_cast<int>(s.log.get_flushcount()));
     },
     [](CQel_Log& l) -> unsigned long { return l.get_flushcount(); }, syncs_every, "1000", "1000",
     true, "The file is synced to disk after this many writes."},
    {"Maxfilesize", ValueKind::kSize, "bytes",
     [](SettingStep& s) {
       s.log.set_maxfilesize(read_size(s.text).bytes);
       s.ini.writelog(LOGBIT_INFO, "%s: Maxfilesize %s  %d ", s.op, s.text,
                      static_cast<int>(s.log.get_maxfilesize()));
     },
     [](CQel_Log& l) { return l.get_maxfilesize(); }, nullptr, "4Mb", "4Mb", true,
     "Size at which the flush thread moves the file to a time-stamped name\n"
     "and starts a new one: a number of bytes, or with the unit Mb or kb."},
    {"Strictsize", ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       s.log.set_strictsize(r.on);
       trace_switch(s, "Strictsize", r.shown);
     },
     [](CQel_Log& l) -> unsigned long { return l.get_strictsize(); }, nullptr, "no", "yes", true,
     "yes: the line that takes the file to Maxfilesize makes the flush thread\n"
     "rotate next, so that a file ends near the limit however busy the log is\n"
     "(without it the size is judged only at flush requests)."},
    {"Maxfilecount", ValueKind::kCount, "",
     [](SettingStep& s) {
       s.log.set_maxfilecount(read_number(s.text).value);
       s.ini.writelog(LOGBIT_INFO, "%s: Maxfilecount %s  %lu ", s.op, s.text,
                      s.log.get_maxfilecount());
     },
     [](CQel_Log& l) { return l.get_maxfilecount(); }, no_limit, "0", "10", false,
     "Keep at most this many rotated files of this log (0: no limit)."},
    {"Maxtotalsize", ValueKind::kSize, "bytes",
     [](SettingStep& s) {
       s.log.set_maxtotalsize(read_size(s.text).bytes);
       s.ini.writelog(LOGBIT_INFO, "%s: Maxtotalsize %s  %lu ", s.op, s.text,
                      s.log.get_maxtotalsize());
     },
     [](CQel_Log& l) { return l.get_maxtotalsize(); }, no_limit, "0", "100Mb", false,
     "Keep rotated files while their total size stays within this (Mb or kb)."},
    {"Maxfileage", ValueKind::kCount, "days",
     [](SettingStep& s) {
       s.log.set_maxfileage(read_number(s.text).value);
       s.ini.writelog(LOGBIT_INFO, "%s: Maxfileage %s  %lu ", s.op, s.text, s.log.get_maxfileage());
     },
     [](CQel_Log& l) { return l.get_maxfileage(); }, no_limit, "0", "30", false,
     "Remove rotated files whose stamp is older than this many days."},
    {"Lostlines", ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       s.log.set_lostlines(r.on);
       trace_switch(s, "Lostlines", r.shown);
     },
     [](CQel_Log& l) -> unsigned long { return l.get_lostlines(); }, nullptr, "no", "yes", false,
     "yes: a line that could not be written is recorded in the file by the\n"
     "next line that could (\"... lines lost since ..., last error ...\")."},
    {"Reopen", ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       s.log.set_reopen(r.on);
       trace_switch(s, "Reopen", r.shown);
     },
     [](CQel_Log& l) -> unsigned long { return l.get_reopen(); }, nullptr, "no", "yes", false,
     "yes: the flush thread notices when another tool (logrotate) moved or\n"
     "truncated the file and goes on in the file under the name; it checks at\n"
     "each flush and every Reopeninterval seconds."},
    {"Reopeninterval", ValueKind::kCount, "s",
     [](SettingStep& s) {
       s.log.set_reopeninterval(read_word(s.text));
       s.ini.writelog(LOGBIT_INFO, "%s: Reopeninterval %s  %u ", s.op, s.text,
                      s.log.get_reopeninterval());
     },
     [](CQel_Log& l) -> unsigned long { return l.get_reopeninterval(); }, only_at_flushes, "0",
     "10", false, "Seconds between the checks of Reopen (0: only at flushes)."},
    {"Rotatetime", ValueKind::kPeriod, "",
     [](SettingStep& s) {
       s.log.set_rotatetime(read_period(s.text));
       s.ini.writelog(LOGBIT_INFO, "%s: Rotatetime %s  %u ", s.op, s.text, s.log.get_rotatetime());
     },
     [](CQel_Log& l) -> unsigned long { return l.get_rotatetime(); }, nullptr, "none", "daily",
     false, "daily or hourly: also rotate at local midnight or the top of the hour."},
    {"Tailsafe", ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       s.log.set_tailsafe(r.on);
       trace_switch(s, "Tailsafe", r.shown);
     },
     [](CQel_Log& l) -> unsigned long { return l.get_tailsafe(); }, nullptr, "no", "yes", false,
     "yes: the new file takes the name before the old one gets its rotated\n"
     "name, so that a shipper tailing the name never misses a line."},
    {"Generations", ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       s.log.set_generations(r.on);
       trace_switch(s, "Generations", r.shown);
     },
     [](CQel_Log& l) -> unsigned long { return l.get_generations(); }, nullptr, "no", "yes", false,
     "yes: every file is born under its rotated name and keeps it; the log's\n"
     "name is a second link to the current file. A shipper that reads the\n"
     "rotated names by a wildcard finds every file, however far behind it is."},
    {"Shiplag", ValueKind::kCount, "s",
     [](SettingStep& s) {
       s.log.set_shiplag(read_number(s.text).value);
       s.ini.writelog(LOGBIT_INFO, "%s: Shiplag %s  %lu ", s.op, s.text, s.log.get_shiplag());
     },
     [](CQel_Log& l) { return l.get_shiplag(); }, no_hold, "0", "3600", false,
     "Retention keeps a rotated file until this many seconds after it left\n"
     "the log's name, for a shipper that lags (0: no hold)."},
    {"Isotime", ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       s.log.set_isotime(r.on);
       trace_switch(s, "Isotime", r.shown);
     },
     [](CQel_Log& l) -> unsigned long { return l.get_isotime(); }, nullptr, "no", "yes", false,
     "yes: the time field (Logging 0x1000) with the local date and UTC offset,\n"
     "2026-12-09T17:14:07.427+01:00, so that lines of several days or hosts\n"
     "can be ordered."},
    {"Maxlinelength", ValueKind::kLength, "characters",
     [](SettingStep& s) {
       s.log.set_maxlinelength(read_number(s.text).value);
       s.ini.writelog(LOGBIT_INFO, "%s: Maxlinelength %s  %lu ", s.op, s.text,
                      s.log.get_maxlinelength());
     },
     [](CQel_Log& l) { return l.get_maxlinelength(); }, nullptr, "297", "4096", false,
     "The longest line, prefix fields included (297 to 65536, default 297):\n"
     "a longer message is written whole up to this length, then cut."},
    {kLineEndKey, ValueKind::kLineEnd, "",
     [](SettingStep& s) {
       s.log.set_lineend(read_lineend(s.text));
       s.ini.writelog(LOGBIT_INFO, "%s: Lineend %s  %s ", s.op, s.text,
                      lineend_word(s.log.get_lineend()));
     },
     [](CQel_Log& l) -> unsigned long { return l.get_lineend(); }, nullptr, "crlf", "lf", false,
     "lf: every line ends in LF alone, for readers that expect it (a\n"
     "container's collector); crlf (the default): CR LF."},
    {kThreadKey, ValueKind::kSwitch, "",
     [](SettingStep& s) {
       const SwitchReading r = read_switch(s.text);
       trace_switch(s, kThreadKey, r.shown);
       // Off stops a thread that runs: a reload may find one.
       if (!r.on) s.log.stop_flush_thread();
       s.thread_started = r.on && s.log.start_flush_thread() == 0;
     },
     [](CQel_Log& l) -> unsigned long { return l.flush_thread.joinable(); }, nullptr, nullptr,
     "yes", true,
     "yes: a background thread syncs (and rotates) the file;\n"
     "no: every sync happens in the writing thread, and nothing rotates."},
};
const size_t kLogKeyCount = sizeof kLogKeys / sizeof kLogKeys[0];

const IniKey* find_log_key(const char* name) {
  for (const IniKey& key : kLogKeys) {
    if (same_ini_name(key.name, name)) return &key;
  }
  return nullptr;
}

bool asks_for_flush_thread(CQel_Log& log) {
  return log.get_reopen() || log.get_reopeninterval() != 0 ||
         log.get_rotatetime() != ROTATETIME_NONE;
}

}  // namespace qellog
