// Fuzzes the log set-up from a parameter file: arbitrary file content and
// base name into CQel_ini::create_log_from_ini() and the two lookups.
//
// Input layout:
//   byte 0   length of the base name
//   byte 1   length of the lookup's section (0xff: null section)
//   byte 2   length of the lookup's key (0xff: null key)
//   then the base name, the section and the key, and the rest of the input
//   is the parameter file's content.
//
// The process works in a private scratch directory: HOME points below it
// and each input runs with it as the working directory, so relative log
// paths land inside it.
// The reader must cope with any path, but this process must not write
// outside its scratch directory; inputs that could make it do so are
// skipped (see may_leave_scratch()).
#include <fcntl.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qellog/ini.h"
#include "qellog/log.h"

namespace {

struct Scratch {
  std::string root;  // working directory
  std::string home;  // $HOME
};

void make_home_tree(const Scratch& s) {
  fuzz::make_dirs(s.home + "/.config/qel");
  // Present so that the default log name can be opened as well.
  fuzz::make_dirs(s.home + "/.qel/qel_logging");
}

const Scratch& scratch() {
  static const Scratch s = [] {
    Scratch made;
    made.root = fuzz::scratch_dir("fuzz_ini");
    made.home = made.root + "/home";
    setenv("HOME", made.home.c_str(), 1);
    return made;
  }();
  return s;
}

bool contains_ci(const std::string& text, const char* word) {
  const size_t n = std::strlen(word);
  for (size_t i = 0; i + n <= text.size(); ++i) {
    size_t j = 0;
    while (j < n && std::tolower(static_cast<unsigned char>(text[i + j])) == word[j]) ++j;
    if (j == n) return true;
  }
  return false;
}

// A loose reading of the file, wider than the parser's: every line (split
// at CR or LF, as the parser splits) that mentions Logpath or Logname in
// any letter case, anywhere, is taken as setting one of them. Such a line
// must not climb with "..", and any text after a '=' that starts with '/'
// (after blanks and control characters) must name a place inside the
// scratch directory. Everything else the log set-up can write to is
// relative to the working directory or below HOME.
bool may_leave_scratch(const std::string& ini, const std::string& root) {
  size_t begin = 0;
  while (begin <= ini.size()) {
    size_t end = ini.find_first_of("\r\n", begin);
    if (end == std::string::npos) end = ini.size();
    const std::string line = ini.substr(begin, end - begin);
    begin = end + 1;
    if (!contains_ci(line, "logpath") && !contains_ci(line, "logname")) continue;
    if (line.find("..") != std::string::npos) return true;
    for (size_t eq = line.find('='); eq != std::string::npos; eq = line.find('=', eq + 1)) {
      size_t v = eq + 1;
      while (v < line.size() && static_cast<unsigned char>(line[v]) <= 0x20) ++v;
      if (v < line.size() && line[v] == '/' && line.compare(v, root.size() + 1, root + "/") != 0) {
        return true;
      }
    }
  }
  return false;
}

bool known_result(unsigned rc) {
  return rc == INI_SUCCESS || rc == INI_ERR_BUFFER_TOO_SHORT || rc == INI_ERR_LOAD_FILE ||
         rc == INI_ERR_NOT_FOUND;
}

void use_log(CQel_Log* log) {
  log->set_lib_desc("fuzz_ini description");
  log->set_lib_vers("fuzz_ini", "1.0", "today");
  log->writelog(LOGBIT_ERROR, "%s", "an error line");
  log->writelog(LOGBIT_INFO, 42, "%s %d", "a trace line", 7);
  log->writelog(0, "%s", "flag word zero");
  log->writetime();
  log->writelog(LOGBIT_INTERNAL | LOGBIT_NOCRLF, -1, "%s", "no line end");
  log->flushlog();
  log->writelog(LOGBIT_ERROR | LOGBIT_INFO, "%s", "after the flush");
}

void run_lookups(CQel_ini& ini, const char* section, const char* key) {
  constexpr unsigned kUntouched = 0xdeadbeef;
  unsigned value = kUntouched;
  const unsigned rc = ini.get_param_from_ini(section, key, value);
  if (!known_result(rc)) fuzz::fail("get_param_from_ini returned 0x%x", rc);
  if (rc != INI_SUCCESS && value != kUntouched) {
    fuzz::fail("get_param_from_ini failed with 0x%x but stored 0x%x", rc, value);
  }
  if ((section == nullptr || key == nullptr) && rc == INI_SUCCESS) {
    fuzz::fail("get_param_from_ini found a value for a null section or key");
  }

  // The general bits are the same lookup under a fixed section and key.
  unsigned general = kUntouched;
  unsigned direct = kUntouched;
  const unsigned rc_general = ini.get_general_bits_from_ini(general);
  const unsigned rc_direct = ini.get_param_from_ini("GENERAL", "general", direct);
  if (rc_general != rc_direct || general != direct) {
    fuzz::fail("get_general_bits_from_ini 0x%x/0x%x, lookup 0x%x/0x%x", rc_general, general,
               rc_direct, direct);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Scratch& s = scratch();
  if (size < 3) return 0;
  fuzz::Reader in(data, size);
  const size_t name_len = in.u8();
  const uint8_t section_len = in.u8();
  const uint8_t key_len = in.u8();
  const std::string name = in.bytes(name_len);
  const std::string section = section_len == 0xff ? "" : in.bytes(section_len);
  const std::string key = key_len == 0xff ? "" : in.bytes(key_len);
  const std::string ini_text = in.rest();

  // The base name becomes part of several paths; one that climbs could
  // reach out of the scratch directory.
  if (std::string(name.c_str()).find("..") != std::string::npos) return 0;
  if (may_leave_scratch(ini_text, s.root)) return 0;

  fuzz::NoDescriptorLeak no_leak;
  fuzz::InDir in_scratch(s.root);
  fuzz::clear_dir(s.root);
  make_home_tree(s);

  {
    CQel_ini ini(name.c_str());
    char param_path[1024];
    if (ini.get_ini_filename(param_path, sizeof param_path) == INI_SUCCESS) {
      // A base name with '/' puts the file into a subdirectory.
      const std::string path = param_path;
      fuzz::make_dirs(path.substr(0, path.rfind('/')));
      fuzz::write_file(path, ini_text.data(), ini_text.size());
    }

    CQel_Log diag((s.root + "/diag.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    diag.set_logbits(0x10F003);
    ini.set_ini_log(&diag);

    if (CQel_Log* log = ini.create_log_from_ini()) {
      use_log(log);
      delete log;
    }
    run_lookups(ini, section_len == 0xff ? nullptr : section.c_str(),
                key_len == 0xff ? nullptr : key.c_str());
    ini.set_ini_log(nullptr);
  }
  return 0;
}
