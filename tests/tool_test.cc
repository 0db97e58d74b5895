// The qellog tool, run as a program with a HOME of its own: piping,
// --where, --init, --check and the command line.
#include <signal.h>
#include <sys/wait.h>

#include "tool_fixture.h"

using namespace qellog_tool_test;

namespace {

TEST_F(ToolTest, PipesEachLineAndClosesTheLog) {
  write_params("pipe", "0x3");
  const ChildResult r = run({"pipe"}, std::string("one\r\ntwo\n\nnul\0byte\nlast", 23));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string log = read_file(log_path("pipe"));
  EXPECT_TRUE(starts_with(log, "Logfile: " + log_path("pipe") + "\r\n")) << log;
  EXPECT_TRUE(contains(log, "\r\nqellog Version: ")) << "banner of the tool";
  EXPECT_EQ(message_lines(log),
            (std::vector<std::string>{"00000001 one", "00000002 two", "00000003 ",
                                      "00000004 nul\\0byte", "00000005 last"}));
  EXPECT_TRUE(ends_with_trailer(log)) << log;

  // A second run appends; empty input adds a header, banner and trailer.
  const ChildResult empty = run({"pipe"}, "");
  EXPECT_EQ(empty.status, 0) << empty.err;
  const std::string again = read_file(log_path("pipe"));
  ASSERT_TRUE(starts_with(again, log));
  const std::string added = again.substr(log.size());
  EXPECT_TRUE(starts_with(added, "Logfile: ")) << added;
  EXPECT_TRUE(message_lines(added).empty()) << added;
  EXPECT_TRUE(ends_with_trailer(added)) << added;
}

TEST_F(ToolTest, LongLinesAreSplitVisiblyAndKeptWhole) {
  // Every prefix field on, and the error tag: the longest prefix there is.
  write_params("long", "0xF003");
  std::string line600, line200k;
  for (int i = 0; i < 600; ++i) line600 += static_cast<char>('0' + i % 10);
  for (int i = 0; i < 200000; ++i) line200k += static_cast<char>('a' + i % 26);
  const ChildResult r = run({"--error", "long"}, line600 + "\n" + line200k + "\nend\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string log = read_file(log_path("long"));
  // Time of day, elapsed time, pid:tid and processor come first.
  const std::vector<std::string> lines = message_lines(log, 4);
  std::vector<std::string> rejoined;
  bool open = false;
  for (const std::string& l : split_crlf(log)) {
    EXPECT_LE(l.size(), 297u) << l.substr(0, 80);
  }
  for (const std::string& l : lines) {
    const std::string tag = l.substr(0, 15);  // "0000000N ERROR "
    ASSERT_EQ(tag.substr(8), " ERROR ") << l;
    std::string body = l.substr(15);
    if (open) {
      ASSERT_TRUE(starts_with(body, "+ ")) << l;
      body.erase(0, 2);
    } else {
      rejoined.emplace_back();
      EXPECT_EQ(tag.substr(0, 8), "0000000" + std::to_string(rejoined.size()));
    }
    open = ends_with(body, " \\");
    if (open) body.erase(body.size() - 2);
    rejoined.back() += body;
  }
  EXPECT_FALSE(open);
  EXPECT_EQ(rejoined, (std::vector<std::string>{line600, line200k, "end"}));
  EXPECT_GT(lines.size(), 200000u / 224) << "the long line took many pieces";
}

TEST_F(ToolTest, FlagWordChoosesClassAndTag) {
  write_params("flags", "0x3");
  EXPECT_EQ(run({"-e", "flags"}, "boom\n").status, 0);
  EXPECT_EQ(run({"--flags", "0x2", "flags"}, "info\n").status, 0);
  EXPECT_EQ(run({"flags"}, "plain\n").status, 0);
  EXPECT_EQ(run({"-f", "0x1", "flags"}, "hex one\n").status, 0);
  // A class the mask leaves out: nothing is written, and the tool says so.
  const ChildResult filtered = run({"--flags", "4", "flags"}, "hidden\n");
  EXPECT_EQ(filtered.status, 0);
  EXPECT_TRUE(contains(filtered.err, "shares no bit with the mask 0x3")) << filtered.err;
  EXPECT_EQ(message_lines(read_file(log_path("flags"))),
            (std::vector<std::string>{"00000001 ERROR boom", "00000001 info", "00000001 plain",
                                      "00000001 ERROR hex one"}));
}

TEST_F(ToolTest, WhereNamesTheSelectedLogAndItsRotatedFiles) {
  const ChildResult none = run({"--where", "app"});
  EXPECT_EQ(none.status, 1) << none.err;
  EXPECT_EQ(none.out, "parameter file: " + home() +
                          "/.config/qel/app_param.ini\n"
                          "log file: none (No such file or directory: the "
                          "library opens no log)\n");
  EXPECT_FALSE(file_exists(home() + "/.config")) << "--where creates nothing";

  // Logpath and Logname point away from the default name; two rotated
  // files, look-alikes of other logs that are not counted, and one of the
  // pattern without the log's header, listed apart.
  write_params("app", "3");
  mkdir((home() + "/logs").c_str(), 0755);
  const std::string dir = home() + "/logs/";
  const std::string head = "Logfile: " + dir + "app.log\r\n";
  const auto bytes = [&](size_t body) { return std::to_string(head.size() + body) + " bytes"; };
  write_file(log_path("app"), "12345");
  write_file(dir + "app_2024_03_05_14_07_09_123.log", head + "1234567");
  write_file(dir + "app_2023_12_31_23_59_59_999.log", head + "123");
  write_file(dir + "app_2024_03_05_14_07_09_123.log.1", head);
  write_file(dir + "appx_2024_03_05_14_07_09_123.log", head);
  write_file(dir + "app_2024_13_05_14_07_09_123.log", head);
  write_file(dir + "app_2024_03_06_00_00_00_000.log", "xx");
  const ChildResult r = run({"-w", "app"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "parameter file: " + home() + "/.config/qel/app_param.ini\n" + "log file: " +
                       dir + "app.log (Logpath + Logname), 5 bytes\nrotated names: " + dir +
                       "app_*.log\n" + "rotated file: " + dir +
                       "app_2023_12_31_23_59_59_999.log, " + bytes(3) + "\nrotated file: " + dir +
                       "app_2024_03_05_14_07_09_123.log, " + bytes(7) + "\nrotated files: 2, " +
                       std::to_string(2 * head.size() + 10) + " bytes; with the log file " +
                       std::to_string(2 * head.size() + 15) + " bytes\nnot this log's: " + dir +
                       "app_2024_03_06_00_00_00_000.log (no header of this log)\n");

  // A relative Logname without Logpath lands in the default directory.
  write_param_text("rel", "[logging]\nLOGNAME=r.log\n");
  const ChildResult rel = run({"--where", "rel"});
  EXPECT_TRUE(contains(
      rel.out,
      "log file: " + home() +
          "/.qel/qel_logging/r.log (Logname in the default log directory), not there yet\n"))
      << rel.out;
}

TEST_F(ToolTest, InitWritesAFileThatThePipeUses) {
  const std::string param = home() + "/.config/qel/fresh_param.ini";
  const ChildResult init = run({"--init", "fresh"});
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_TRUE(contains(init.out, param)) << init.out;
  const std::string text = read_file(param);
  for (const char* key :
       {"\n[LOGGING]\n", "\nLogpath = ", "\nLogname = fresh.log\n", "\nLogFileFlags = O_CREAT\n",
        "\nLogFilePermission = 0644\n", "\nLogging = 0x1003\n", "\nFlushcount = 1000\n",
        "\nMaxfilesize = 4Mb\n", "\nFlushthread = yes\n", "\n[GENERAL]\n", "\ngeneral = 0\n"}) {
    EXPECT_TRUE(contains(text, key)) << "missing " << key;
  }

  const ChildResult pipe = run({"fresh"}, "hello\n");
  EXPECT_EQ(pipe.status, 0) << pipe.err;
  const std::string log = read_file(home() + "/.qel/qel_logging/fresh.log");
  EXPECT_EQ(message_lines(log, 1), std::vector<std::string>{"00000001 hello"}) << log;
  const size_t at = log.find(" 00000001 hello\r\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(shape(log.substr(at - 12, 12)), "99:99:99.999")
      << "Logging = 0x1003 puts the time of day first";
  EXPECT_TRUE(ends_with_trailer(log));

  // A second --init leaves the file alone.
  write_file(param, text + "; edited\n");
  const ChildResult again = run({"-i", "fresh"});
  EXPECT_EQ(again.status, 3);
  EXPECT_TRUE(contains(again.err, param + " exists already")) << again.err;
  EXPECT_EQ(read_file(param), text + "; edited\n");
}

TEST_F(ToolTest, MissingOrUnusableParameterFileIsReported) {
  const ChildResult none = run({"ghost"}, "lost line\n");
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(contains(none.err, home() + "/.config/qel/ghost_param.ini does not exist"))
      << none.err;
  EXPECT_TRUE(contains(none.err, "qellog --init ghost")) << none.err;
  EXPECT_EQ(list_dir(home()).size(), 1u) << "only the test's stdin file";

  // A file without [LOGGING] means the default log, whose directory the
  // library does not create: no log file.
  write_param_text("bare", "[GENERAL]\ngeneral=1\n");
  const ChildResult bare = run({"bare"}, "lost line\n");
  EXPECT_EQ(bare.status, 1);
  EXPECT_TRUE(contains(bare.err, "qellog: cannot open the log file " + home() +
                                     "/.qel/qel_logging/bare.log: No such file or directory\n"))
      << bare.err;
}

TEST_F(ToolTest, UsageErrorsAndHelp) {
  const ChildResult help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(starts_with(help.out, "Usage: qellog")) << help.out;
  EXPECT_TRUE(contains(help.out, "Exit status:"));
  EXPECT_EQ(help.err, "");

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--bogus", "x"}, "unknown option '--bogus'"},
      {{"-ez", "x"}, "unknown option '-z'"},
      {{}, "missing NAME"},
      {{"-f"}, "option '-f' needs a value"},
      {{"--flags", "12abc", "x"}, "bad flag word '12abc'"},
      {{"--flags", "0x100000000", "x"}, "bad flag word"},
      {{"--flags", "-1", "x"}, "bad flag word"},
      {{"--flags", "0x1000000", "x"}, "writes no log line"},
      {{"--where", "--init", "x"}, "conflicts"},
      {{"--where", "--error", "x"}, "apply only to piping"},
      {{"--check", "--show", "x"}, "conflicts"},
      {{"--no-headers", "x"}, "applies only to --show"},
      {{"a", "b"}, "unexpected argument 'b'"},
      {{"../x"}, "bad NAME"},
      {{""}, "bad NAME"},
  };
  for (const auto& [args, message] : bad) {
    const ChildResult r = run(args);
    const std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_TRUE(starts_with(r.err, "qellog: ")) << shown << ": " << r.err;
    EXPECT_TRUE(contains(r.err, message)) << shown << ": " << r.err;
    EXPECT_TRUE(ends_with(r.err, "\nTry 'qellog --help'.\n")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_EQ(r.out, "") << shown;
  }
}

// Every setting that the library accepts but that probably means
// something else: one warning line each, with the key, the text and what
// the library reads, and status 4; and the settings that are right,
// however they are written, pass with status 0.
TEST_F(ToolTest, CheckTellsEachMistakeAndHowTheLibraryReadsIt) {
  const std::string logs = home() + "/logs";
  mkdir(logs.c_str(), 0755);
  const std::string base = "[LOGGING]\nLogpath=" + logs + "\nLogname=c.log\nLogFileFlags=O_CREAT\n";
  const struct {
    int status;
    std::string text;   // the whole parameter file
    std::string line;   // one line the output holds
    bool link = false;  // the live name a symbolic link
  } cases[] = {
      {4, base + "Maxfilecount = ten\n",
       "warning: Maxfilecount = ten: not a number: reads as 0 (no limit)\n"},
      {4, base + "Flushcount = 1k\n",
       "warning: Flushcount = 1k: the text after the number ('k') is not read: reads as 1 (an "
       "fsync every 2 writes)\n"},
      {4, base + "[GENERAL]\nMaxfilesize = 8Mb\n",
       "warning: Maxfilesize = 8Mb in [GENERAL]: the library reads it only in [LOGGING]: "
       "ignored\n"},
      {4, "Logging = 0x1003\n" + base,
       "warning: Logging = 0x1003 before any section: the library reads it only in [LOGGING]: "
       "ignored\n"},
      {4, base + "LOGNAME = d.log\n",
       "warning: Logname is given 2 times in [LOGGING] ('c.log', 'd.log'): the library reads "
       "'d.log'\n"},
      {4, "[LOGGING]\nLogpath=.\nLogname=c.log\nLogFileFlags=O_CREAT\n",
       "warning: Logpath = .: a relative directory: where the log goes depends on the program's "
       "working directory: reads as .\n"},
      {4, base,
       "warning: the log file " + logs +
           "/c.log is a symbolic link, not a regular file: the library never rotates it\n",
       true},
      {0, base + "Maxfilesize = 8Mb ; eight MiB\n",
       "  Maxfilesize        8388608 bytes (8 Mb)             from \"8Mb ; eight MiB\"\n"},
      {0, "[LOGGING]\nLogpath=" + home() + "/new\nLogname=c.log\nLogFileFlags=O_CREAT\n",
       "note: the set-up creates the directory " + home() + "/new (mode 0775 less the umask)\n"},
      {4, base + "Maxfilesise=8Mb\n",
       "warning: unknown key 'Maxfilesise' in [LOGGING] (did you mean Maxfilesize?): ignored\n"},
      {4, base + "flushtread=yes\n", "(did you mean Flushthread?)"},
      {4, base + "Maxfilesize=8MB\n",
       "warning: Maxfilesize = 8MB: the unit 'MB' is not Mb or kb (case matters): reads as 8 "
       "bytes\n"},
      {4, base + "Maxfilesize=8 ; kb\n",
       "warning: Maxfilesize = 8 ; kb: the unit kb is taken from further on in the text: reads as "
       "8192 bytes (8 kb)\n"},
      {4, base + "Maxtotalsize=64KB\n",
       "warning: Maxtotalsize = 64KB: the unit 'KB' is not Mb or kb (case matters): reads as 64 "
       "bytes\n"},
      {4, base + "Flushthread=Yes\n",
       "warning: Flushthread = Yes: neither 'yes', 'no' nor a number (case matters): reads as "
       "off\n"},
      {4, base + "Flushthread=true\n",
       "warning: Flushthread = true: neither 'yes', 'no' nor a number: reads as off\n"},
      {4, base + "Tailsafe=no, yes\n",
       "warning: Tailsafe = no, yes: the library finds 'yes' inside the text: reads as on\n"},
      {4, base + "Lostlines=2\n",
       "warning: Lostlines = 2: only the number 1 turns it on: reads as off\n"},
      {4, base + "LogFilePermission=640\n",
       "warning: LogFilePermission = 640: decimal 640 is octal 01200; write 0640 for an octal "
       "mode: reads as 01200\n"},
      {4, base + "LogFilePermission=0400\n",
       "warning: LogFilePermission = 0400: the owner cannot read and write the log: reads as "
       "0400\n"},
      {4, base + "Logging=zz\n",
       "warning: Logging = zz: not a number: reads as 0x0 (no line passes the mask: nothing is "
       "written)\n"},
      {4, base + "Rotatetime=daily ; at midnight\n",
       "warning: Rotatetime = daily ; at midnight: only 'hourly' and 'daily', exactly so, rotate "
       "by time: reads as off\n"},
      {4, base + "Reopen=yes\n",
       "warning: reopening and rotation by time are the flush thread's work: without Flushthread = "
       "yes they are ignored\n"},
  };
  for (const auto& [status, text, line, link] : cases) {
    write_param_text("c", text);
    if (link) {
      write_file(home() + "/real.log", "");
      symlink((home() + "/real.log").c_str(), (logs + "/c.log").c_str());
    }
    const ChildResult r = run({"--check", "c"});
    EXPECT_EQ(r.status, status) << text << r.out;
    EXPECT_TRUE(contains(r.out, line)) << text << "\n" << r.out;
    EXPECT_TRUE(ends_with(r.out, status == 4 ? "\n1 warning\n" : "\n0 warnings\n"))
        << text << ": exactly one warning\n"
        << r.out;
    unlink((logs + "/c.log").c_str());
  }
  EXPECT_EQ(list_dir(logs), std::vector<std::string>{}) << "the check creates nothing";
  EXPECT_FALSE(file_exists(home() + "/new"));
}

// Named classes, long lines and LF line ends: what --check says of them,
// what the pipe writes and what --show reads back.
TEST_F(ToolTest, ClassesLongLinesAndLineEnds) {
  const std::string logs = home() + "/logs";
  mkdir(logs.c_str(), 0755);
  const std::string base = "[LOGGING]\nLogpath=" + logs + "\nLogname=c.log\nLogFileFlags=O_CREAT\n";
  const struct {
    int status;
    std::string text;
    std::string line;
  } cases[] = {
      {4, base + "[CLASSES]\nlow = 0x20\n",
       "warning: the set-up reports: create_log_from_ini: class low = 0x20 refused: a name is 1 "
       "to 15 characters of A-Z, 0-9 and _\n"},
      {4, base + "[CLASSES]\nWARN = 0x4\nwarn = 0x8\n",
       "warning: WARN is given 2 times in [CLASSES] ('0x4', '0x8'): the library reads '0x8'\n"},
      {4, base + "Maxlinelength = 100\n",
       "warning: Maxlinelength = 100: outside 297 to 65536: reads as 297 characters\n"},
      {4, base + "Lineend = LF\n",
       "warning: Lineend = LF: only 'lf' and 'crlf', exactly so, choose a line end: reads as "
       "crlf\n"},
      {0, base + "Maxlinelength = 4096\nLineend = lf\n[CLASSES]\nFLUSHCOUNT = 0x10\n",
       "  class              FLUSHCOUNT 0x10\n"},
  };
  for (const auto& c : cases) {
    write_param_text("c", c.text);
    const ChildResult r = run({"--check", "c"});
    EXPECT_EQ(r.status, c.status) << c.text << r.out;
    EXPECT_TRUE(contains(r.out, c.line)) << c.text << "\n" << r.out;
    EXPECT_TRUE(ends_with(r.out, c.status == 4 ? "\n1 warning\n" : "\n0 warnings\n")) << r.out;
  }
  EXPECT_TRUE(contains(read_file(param_path("c")), "FLUSHCOUNT")) << "the check changed nothing";

  // The pipe: a long line whole, a CR shown; in a file with LF line ends.
  const std::string url(480, 'u');
  write_params("lf", "0x3", "Maxlinelength=1000\nLineend=lf\n[CLASSES]\nNOTE = 0x2\n");
  const ChildResult pipe = run({"lf"}, url + "\na\rb\r\n");
  ASSERT_EQ(pipe.status, 0) << pipe.err;
  const std::string log = read_file(log_path("lf"));
  EXPECT_EQ(log.find('\r'), std::string::npos) << log;
  EXPECT_TRUE(contains(log, "\n00000001 NOTE " + url + "\n00000002 NOTE a\\rb\n")) << log;
  const ChildResult show = run({"--show", "--no-headers", "lf"});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.out, "00000001 NOTE " + url + "\n00000002 NOTE a\\rb\n");
}

// Status 1 and the path with the system's reason when no log can be opened.
TEST_F(ToolTest, CheckReportsALogThatCannotBeOpened) {
  const ChildResult none = run({"--check", "gone"});
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(contains(none.out, "error: cannot read " + param_path("gone") +
                                     ": No such file or directory\n"
                                     "create one with: qellog --init gone\n"))
      << none.out;

  write_param_text("c",
                   "[LOGGING]\nLogname=/nonexistent_qellog_dir/x.log\n"
                   "LogFileFlags=O_CREAT\n");
  const ChildResult no_dir = run({"--check", "c"});
  EXPECT_EQ(no_dir.status, 1) << no_dir.out;
  EXPECT_TRUE(contains(
      no_dir.out,
      "error: cannot open the log file /nonexistent_qellog_dir/x.log: No such file or directory\n"))
      << no_dir.out;

  mkdir((home() + "/logs").c_str(), 0755);
  write_param_text(
      "c", "[LOGGING]\nLogpath=" + home() + "/logs\nLogname=absent.log\nLogFileFlags=O_APPEND\n");
  const ChildResult no_creat = run({"--check", "c"});
  EXPECT_EQ(no_creat.status, 1) << no_creat.out;
  EXPECT_TRUE(
      contains(no_creat.out,
               "error: cannot open the log file " + home() +
                   "/logs/absent.log: No such file or directory (LogFileFlags has no CREAT)\n"))
      << no_creat.out;
  EXPECT_TRUE(contains(no_creat.out, "\n0 warnings; no log file can be opened\n"));

  // A Logpath that is a file: the set-up falls back to the default
  // directory, which nobody made.
  write_file(home() + "/plain", "");
  write_param_text(
      "c", "[LOGGING]\nLogpath=" + home() + "/plain\nLogname=c.log\nLogFileFlags=O_CREAT\n");
  const ChildResult file_dir = run({"--check", "c"});
  EXPECT_EQ(file_dir.status, 1) << file_dir.out;
  const std::string fallback = home() + "/.qel/qel_logging/c.log";
  EXPECT_TRUE(contains(file_dir.out, "warning: Logpath = " + home() +
                                         "/plain: not a directory: the log goes to " + fallback +
                                         "\n"))
      << file_dir.out;
  EXPECT_TRUE(contains(file_dir.out, "error: cannot open the log file " + fallback +
                                         ": No such file or directory\n"))
      << file_dir.out;
}

// The worked example of the README: no warning, the settings as the
// library reads them, and the real log file left as it was.
TEST_F(ToolTest, CheckOfTheWorkedExampleIsCleanAndWritesNothing) {
  const std::string dir = home() + "/applogs";
  mkdir(dir.c_str(), 0755);
  write_file(dir + "/app.log", "keep me\n");
  write_param_text("app", "[LOGGING]\nLogpath=" + dir +
                              "\nLogname=app.log\nLogFileFlags=O_CREAT|O_TRUNC\n"
                              "LogFilePermission=0640\nLogging=0x1003\n"
                              "Flushcount=100\nMaxfilesize=8Mb\nFlushthread=yes\n");
  const ChildResult r = run({"--check", "app"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(starts_with(r.out, "parameter file: " + param_path("app") + "\n"));
  EXPECT_TRUE(contains(r.out, "  create_log_from_ini: Maxfilesize 8Mb  8388608 \n")) << r.out;
  EXPECT_TRUE(contains(r.out, "  create_log_from_ini: Flushthread yes ul 1\n"));
  EXPECT_TRUE(contains(
      r.out,
      "settings:\n"
      "  log file           " +
          dir +
          "/app.log (Logpath + Logname)\n"
          "  Logpath            " +
          dir + "  from \"" + dir +
          "\"\n"
          "  Logname            app.log                          from \"app.log\"\n"
          "  LogFileFlags       0x241 (O_WRONLY|O_CREAT|O_TRUNC) from \"O_CREAT|O_TRUNC\"\n"
          "  LogFilePermission  0640                             from \"0640\"\n"
          "  Logging            0x1003                           from \"0x1003\"\n"
          "  Flushcount         100 (an fsync every 101 writes)  from \"100\"\n"
          "  Maxfilesize        8388608 bytes (8 Mb)             from \"8Mb\"\n"
          "  Strictsize         off                              default\n"
          "  Maxfilecount       0 (no limit)                     default\n"))
      << r.out;
  EXPECT_TRUE(
      contains(r.out, "  Flushthread        on                               from \"yes\"\n"))
      << r.out;
  EXPECT_FALSE(contains(r.out, "/dev")) << "no value of the dry run's own";
  EXPECT_TRUE(ends_with(r.out, "\n0 warnings\n")) << r.out;
  EXPECT_EQ(read_file(dir + "/app.log"), "keep me\n");
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"app.log"});
}

// A log whose writes fail: the path and the reason when it cannot be
// opened, and status 5 when lines were lost.
TEST_F(ToolTest, UnopenableAndFullLogsAreReported) {
  write_param_text("deep",
                   "[LOGGING]\nLogname=/nonexistent_qellog_dir/d.log\n"
                   "LogFileFlags=O_CREAT\n");
  const ChildResult deep = run({"deep"}, "x\n");
  EXPECT_EQ(deep.status, 1);
  EXPECT_TRUE(starts_with(deep.err,
                          "qellog: cannot open the log file /nonexistent_qellog_dir/d.log: No such "
                          "file or directory\n"))
      << deep.err;

  write_param_text("full", "[LOGGING]\nLogname=/dev/full\n");
  const ChildResult full = run({"full"}, "one\ntwo\n");
  EXPECT_EQ(full.status, 5) << full.err;
  EXPECT_TRUE(contains(full.err, "log lines could not be written to /dev/full\n")) << full.err;
}

// The log on standard output, a pipe into a program that reads a byte and
// exits: the tool lives, stops reading at the first line lost (the banner
// may go first) and ends with status 5.
TEST_F(ToolTest, ReaderThatGoesAwayEndsThePipeWithStatus5) {
  write_param_text("svc", "[LOGGING]\nLogpath=/dev\nLogname=stdout\n");
  std::string input;
  for (int i = 0; i < 100000; ++i) input += "a line of input\n";
  write_file(home_.file("input"), input);
  const OneByteReader reader = start_one_byte_reader();
  ASSERT_NE(reader.pid, -1);
  const ChildResult r = run_in_child([&]() {
    if (dup2(open(home_.file("input").c_str(), O_RDONLY), 0) < 0 || dup2(reader.write_fd, 1) < 0) {
      return 126;
    }
    exec_tool({"svc"}, home());
  });
  close(reader.write_fd);
  waitpid(reader.pid, nullptr, 0);
  EXPECT_EQ(r.status, 5) << r.err;
  // Those lines and the end trailer, each reported once.
  const size_t errors = count_of(r.err, "Error in write to logfile /dev/stdout: 32\n");
  EXPECT_TRUE(errors == 2 || errors == 3) << r.err;
  EXPECT_TRUE(contains(r.err, "qellog: " + std::to_string(errors - 1) +
                                  " log lines could not be written to /dev/stdout\n"))
      << r.err;
}

TEST_F(ToolTest, StopSignalStillWritesTheTrailer) {
  write_params("stop", "0x3");
  int in[2];
  ASSERT_EQ(pipe(in), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[1]);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    setenv("HOME", home().c_str(), 1);
    execl(tool_.c_str(), tool_.c_str(), "stop", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  const char kLines[] = "before the signal\nunfinished";
  ASSERT_EQ(write(in[1], kLines, sizeof kLines - 1), static_cast<ssize_t>(sizeof kLines - 1));
  EXPECT_TRUE(wait_until([&] {
    return contains(read_file(log_path("stop")), "before the signal");
  })) << "the first line never reached the log";
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(in[1]);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  const std::string log = read_file(log_path("stop"));
  EXPECT_EQ(message_lines(log),
            (std::vector<std::string>{"00000001 before the signal", "00000002 unfinished"}));
  EXPECT_TRUE(ends_with_trailer(log)) << log;
}

}  // namespace
