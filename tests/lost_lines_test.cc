// Lost lines on a real full disk: a 64 KiB tmpfs filled by the log, then
// freed. Every failed line is counted and reported once on stderr, and the
// record of the loss reaches the file exactly once: with the next line, from
// the destructor before the trailer, or from the flush thread alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log_test_util.h"
#include "qellog/log.h"

using namespace qellog_test;

namespace {

const std::regex kRecord(R"(ERROR write_to_file: (\d+) lines lost since (\d\d)\.(\d\d)\.(\d{4}) )"
                         R"((\d\d):(\d\d):(\d\d)\.(\d{3}), last error 28)");

// Lines of 128 bytes with their CR LF, after a first line that brings the
// file to a multiple of 128, never cross a page of the disk: the line that
// finds it full fails whole. Lines of 102 bytes do cross pages.
constexpr size_t kAligned = 126;
constexpr size_t kCrossing = 100;

std::string numbered(int i, size_t width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "L%04d ", i);
  std::string text = buf;
  text.resize(width, 'x');
  return text;
}

long long ms_of(const timeval& t) { return t.tv_sec * 1000LL + t.tv_usec / 1000; }

// The record's count, and its stamp in ms since the epoch (TZ is UTC).
struct Record {
  unsigned long count = 0;
  long long stamp_ms = -1;
};

bool parse_record(const std::string& line, Record* out) {
  std::smatch m;
  if (!std::regex_match(line, m, kRecord)) return false;
  struct tm cal {};
  cal.tm_mday = std::stoi(m[2]);
  cal.tm_mon = std::stoi(m[3]) - 1;
  cal.tm_year = std::stoi(m[4]) - 1900;
  cal.tm_hour = std::stoi(m[5]);
  cal.tm_min = std::stoi(m[6]);
  cal.tm_sec = std::stoi(m[7]);
  out->count = std::stoul(m[1]);
  out->stamp_ms = timegm(&cal) * 1000LL + std::stoi(m[8]);
  return true;
}

size_t count_records(const std::string& path) {
  size_t n = 0;
  for (const std::string& l : split_crlf(read_file(path))) n += l.find("write_to_file:") != l.npos;
  return n;
}

// True when every other thread of the process sleeps: a flush thread that
// has just been started is then waiting for a request.
bool other_threads_sleep() {
  const std::string self = std::to_string(syscall(SYS_gettid));
  for (const std::string& task : list_dir("/proc/self/task")) {
    if (task == self) continue;
    const std::string stat = read_file("/proc/self/task/" + task + "/stat");
    const size_t end = stat.rfind(')');
    if (end == stat.npos || stat.compare(end, 3, ") S") != 0) return false;
  }
  return true;
}

bool ends_in_fragment(const std::string& path) {
  const std::string text = read_file(path);
  return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") != 0;
}

class LostLines : public LogTest {
 protected:
  std::string mnt = dir.file("mnt");
  bool mounted = false;
  // What the host wrote to the current log, line by line, and the clock
  // around the first write that failed.
  std::vector<std::string> written, failed;
  timeval before{}, after{};
  int next = 0;

  void SetUp() override {
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "no tmpfs for a full disk: mount failed, errno " << errno;
    }
    mounted = true;
    path = mnt + "/app.log";
  }
  void TearDown() override {
    if (mounted) umount2(mnt.c_str(), MNT_DETACH);
  }
  // A file that takes `size` bytes of the disk, so that removing it frees them.
  void make_file(const std::string& name, size_t size) {
    const int fd = open((mnt + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_NE(fd, -1);
    const std::string block(size, 'f');
    ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    close(fd);
  }
  void remove_file(const std::string& name) { ASSERT_EQ(unlink((mnt + "/" + name).c_str()), 0); }
  // A fresh log `file` on the disk with the record on.
  void open_full(const std::string& file) {
    written.clear();
    failed.clear();
    log = open_log(file);
    log->set_lostlines(true);
    const size_t pad = 128 - log->get_curfilesize() % 128;
    put(std::string(pad < 3 ? pad + 126 : pad - 2, 'A'));
  }
  void put(const std::string& text) {
    const unsigned long lost = log->get_lostcount();
    timeval t0, t1;
    gettimeofday(&t0, nullptr);
    log->writelog(2, "%s", text.c_str());
    gettimeofday(&t1, nullptr);
    if (log->get_lostcount() == lost) {
      written.push_back(text);
      return;
    }
    if (failed.empty()) {
      before = t0;
      after = t1;
    }
    failed.push_back(text);
  }
  // Numbered lines until one fails, then `more` lines.
  void fill(size_t width, int more) {
    const size_t lost = failed.size();
    for (int i = 0; i < 5000 && failed.size() == lost; ++i) put(numbered(next++, width));
    // Apart in time, so that the record's stamp tells the first loss from
    // the later ones.
    if (more > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int k = 0; k < more; ++k) put(numbered(next++, width));
  }
  // The file after its header: the first `whole` lines the host wrote, then
  // with `fragment` the start of a failed line, then the one record, whose
  // count and stamp are checked. Returns the lines after the record.
  std::vector<std::string> check_record(const std::string& file, size_t whole, bool fragment,
                                        unsigned long count) {
    const std::vector<std::string> lines = body_lines(file);
    const auto whole_end = written.begin() + static_cast<std::ptrdiff_t>(whole);
    if (lines.size() < whole || !std::equal(written.begin(), whole_end, lines.begin())) {
      ADD_FAILURE() << "the lines written are not all there, whole and once";
      return {};
    }
    size_t at = whole;
    if (fragment) {
      const std::string piece = at < lines.size() ? lines[at++] : "";
      if (piece.find("write_to_file:") != piece.npos) {
        ADD_FAILURE() << "the record is glued to the fragment: " << piece;
        return {};
      }
      EXPECT_TRUE(!piece.empty() && piece.size() < failed[0].size() &&
                  failed[0].compare(0, piece.size(), piece) == 0)
          << "no fragment of " << failed[0] << ": " << piece;
    }
    Record r;
    if (at >= lines.size() || !parse_record(lines[at], &r)) {
      ADD_FAILURE() << "no record on a line of its own: "
                    << (at < lines.size() ? lines[at] : "end of file");
      return {};
    }
    EXPECT_EQ(r.count, count);
    EXPECT_GE(r.stamp_ms, ms_of(before));
    EXPECT_LE(r.stamp_ms, ms_of(after));
    return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(at + 1),
                                    lines.end());
  }
};

TEST_F(LostLines, FullDiskCountsReportsAndRecordsEachLossOnce) {
  make_file("filler", 16 * 1024);
  open_full(path);
  testing::internal::CaptureStderr();
  fill(kAligned, 3);
  ASSERT_GT(written.size(), 10u) << "the disk was full before the log began";
  EXPECT_EQ(failed.size(), 4u);
  EXPECT_EQ(log->get_lostcount(), 4u);
  EXPECT_EQ(count_records(path), 0u);
  const size_t whole = written.size();
  remove_file("filler");
  put(numbered(next++, kAligned));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(err, "Error in write to logfile " + path + ": 28\n"), 4u) << err;
  EXPECT_EQ(count_of(err, "Error in write"), log->get_lostcount());
  EXPECT_EQ(check_record(path, whole, false, 4), std::vector<std::string>{written.back()});
  // The record is not repeated: the next line comes alone, then the trailer.
  put(numbered(next++, kAligned));
  log.reset();
  EXPECT_EQ(count_records(path), 1u);
  std::vector<std::string> tail = check_record(path, whole, false, 4);
  ASSERT_EQ(tail.size(), 7u) << read_file(path);
  EXPECT_EQ(tail[0], written[whole]);
  EXPECT_EQ(tail[1], written[whole + 1]);
  EXPECT_EQ(tail[2], "");
  EXPECT_EQ(tail[3].substr(0, 17), "Logging ended at ");
  remove_file("app.log");

  // A record still pending at the end comes right before the trailer.
  const std::string quiet = mnt + "/quiet.log";
  make_file("filler", 16 * 1024);
  open_full(quiet);
  testing::internal::CaptureStderr();
  fill(kAligned, 1);
  EXPECT_EQ(log->get_lostcount(), 2u);
  remove_file("filler");
  log.reset();
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(err, "Error in write to logfile " + quiet + ": 28\n"), 2u) << err;
  EXPECT_EQ(count_of(err, "Error in write"), 2u);
  tail = check_record(quiet, written.size(), false, 2);
  ASSERT_EQ(tail.size(), 5u) << read_file(quiet);
  EXPECT_EQ(tail[0], "");
  EXPECT_EQ(tail[1].substr(0, 17), "Logging ended at ");
  EXPECT_EQ(count_records(quiet), 1u);
}

TEST_F(LostLines, FlushThreadWritesThePendingRecordOfAQuietHost) {
  // The thread runs from the start, as a host has it, and is waiting when
  // the losses come; the host writes nothing once the disk has room again.
  make_file("filler", 16 * 1024);
  open_full(path);
  ASSERT_EQ(log->start_flush_thread(), 0);
  ASSERT_TRUE(wait_until(other_threads_sleep));
  testing::internal::CaptureStderr();
  fill(kAligned, 2);
  EXPECT_EQ(log->get_lostcount(), 3u);
  remove_file("filler");
  EXPECT_TRUE(wait_until([&] { return count_records(path) == 1; }, 3000))
      << "no record from the flush thread within 3 s";
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(err, "Error in write to logfile " + path + ": 28\n"), 3u) << err;
  EXPECT_EQ(count_of(err, "Error in write"), 3u);
  EXPECT_EQ(check_record(path, written.size(), false, 3), std::vector<std::string>());
  log.reset();
  EXPECT_EQ(count_records(path), 1u);
}

// In the generations layout the record goes to the file born after the
// loss, once, right before the line that brought it.
TEST_F(LostLines, UnderGenerationsTheRecordLandsInTheNextFileOnce) {
  make_file("filler", 16 * 1024);
  open_full(path);
  log->set_generations(true);
  testing::internal::CaptureStderr();
  fill(kAligned, 2);
  EXPECT_EQ(log->get_lostcount(), 3u);
  remove_file("filler");
  log->create_next_file();
  put("after the rotation");
  log.reset();
  testing::internal::GetCapturedStderr();
  const std::vector<std::string> files = rotated_files(mnt);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(count_records(mnt + "/" + files[0]), 0u);
  const std::vector<std::string> lines = split_crlf(read_file(mnt + "/" + files[1]));
  Record r;
  ASSERT_GE(lines.size(), 10u);
  EXPECT_TRUE(parse_record(lines[6], &r) && r.count == 3) << lines[6];
  EXPECT_EQ(lines[7], "after the rotation");
  EXPECT_EQ(count_records(mnt + "/" + files[1]), 1u);
}

TEST_F(LostLines, RecordAfterAFragmentStartsALineOfItsOwn) {
  // The disk fills at a page boundary, with the record off; then one page
  // is freed and filled, with the record on, by lines that cross pages, so
  // the one that meets the end leaves its start in the file, and the lines
  // after it fail whole.
  make_file("filler", 16 * 1024);
  make_file("page", 4096);
  open_full(path);
  log->set_lostlines(false);
  testing::internal::CaptureStderr();
  fill(kAligned, 0);
  ASSERT_FALSE(ends_in_fragment(path));
  failed.clear();
  log->set_lostlines(true);
  remove_file("page");
  fill(kCrossing, 2);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ends_in_fragment(path)) << "no line crossed the end of the disk";
  EXPECT_EQ(failed.size(), 3u);
  EXPECT_EQ(log->get_lostcount(), 4u);
  const size_t whole = written.size();
  remove_file("filler");
  put(numbered(next++, kCrossing));
  EXPECT_EQ(check_record(path, whole, true, 3), std::vector<std::string>{written.back()});
}

}  // namespace
