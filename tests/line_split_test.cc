// The qellog tool's line splitter: how input lines become log-sized pieces,
// whatever chunks the input arrives in.
#include "line_split.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

using qellog_tool::fitting_prefix;
using qellog_tool::kPieceMax;
using qellog_tool::LineSplitter;

namespace {

using Pieces = std::vector<std::pair<unsigned long, std::string>>;

Pieces split(const std::string& input, const std::vector<size_t>& chunks) {
  Pieces out;
  LineSplitter s(
      [&out](unsigned long line, const std::string& text) { out.emplace_back(line, text); });
  size_t pos = 0;
  for (size_t i = 0; pos < input.size(); ++i) {
    const size_t n = std::min(chunks[i % chunks.size()], input.size() - pos);
    s.feed(input.data() + pos, n);
    pos += n;
  }
  s.finish();
  return out;
}

Pieces split_whole(const std::string& input) { return split(input, {input.size() + 1}); }

// The text of each input line, put back together from its pieces; fails
// the test when a marker is missing or out of place.
std::vector<std::string> rejoin(const Pieces& pieces) {
  std::vector<std::string> lines;
  bool open = false;
  for (const auto& [line, text] : pieces) {
    EXPECT_LE(text.size(), kPieceMax) << "line " << line;
    std::string body = text;
    if (open) {
      EXPECT_EQ(body.compare(0, 2, "+ "), 0) << "continuation: " << body;
      body.erase(0, 2);
    } else {
      lines.emplace_back();
      EXPECT_EQ(line, lines.size()) << "line numbers count input lines";
    }
    // No input line of these tests ends in " \".
    open = body.size() >= 2 && body.compare(body.size() - 2, 2, " \\") == 0;
    if (open) body.erase(body.size() - 2);
    lines.back() += body;
  }
  EXPECT_FALSE(open) << "the last piece announced a continuation";
  return lines;
}

std::string pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

}  // namespace

TEST(LineSplitTest, LinesEndsAndEscapes) {
  const Pieces p = split_whole(std::string("one\r\ntwo\n\nx\0y\nlast\r", 19));
  const Pieces want = {{1, "one"}, {2, "two"}, {3, ""}, {4, "x\\0y"}, {5, "last"}};
  EXPECT_EQ(p, want);
  EXPECT_TRUE(split_whole("").empty()) << "no input, no line";
  EXPECT_EQ(split_whole("only\n"), (Pieces{{1, "only"}}))
      << "a final LF does not start another line";
  EXPECT_EQ(split_whole("a\r\r\n"), (Pieces{{1, "a\r"}})) << "only the CR right before the LF goes";
}

TEST(LineSplitTest, PieceLimits) {
  EXPECT_EQ(split_whole(pattern(kPieceMax)).size(), 1u)
      << "a line of exactly the capacity stays whole";
  const Pieces two = split_whole(pattern(kPieceMax + 1));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0].second, pattern(kPieceMax - 2) + " \\");
  EXPECT_EQ(two[1].second, "+ " + pattern(kPieceMax + 1).substr(kPieceMax - 2));
  EXPECT_EQ(two[1].first, 1u) << "pieces keep their line's number";

  // A NUL takes two characters of a piece.
  const std::string nuls(kPieceMax, '\0');
  EXPECT_EQ(fitting_prefix(nuls.data(), nuls.size(), 7), 3u);
  std::string shown;
  for (size_t i = 0; i < kPieceMax; ++i) shown += "\\0";
  EXPECT_EQ(rejoin(split_whole(nuls)), std::vector<std::string>{shown});
}

TEST(LineSplitTest, NeverCutsInsideUtf8) {
  std::string line = "x";                            // shifts the two-byte characters off the grid
  for (int i = 0; i < 400; ++i) line += "\xc3\xa9";  // é
  line += "\xe2\x82\xac\xf0\x9f\x99\x82";            // € and an emoji
  const Pieces p = split_whole(line + "\n");
  ASSERT_GT(p.size(), 3u);
  for (size_t i = 1; i < p.size(); ++i) {
    const unsigned char first = static_cast<unsigned char>(p[i].second[2]);
    EXPECT_NE(first & 0xC0, 0x80) << "piece " << i << " starts mid-sequence";
  }
  EXPECT_EQ(rejoin(p), std::vector<std::string>{line});

  // Bytes that are no UTF-8 at all are cut at the capacity.
  const std::string junk(3 * kPieceMax, '\x80');
  EXPECT_EQ(rejoin(split_whole(junk)), std::vector<std::string>{junk});
}

TEST(LineSplitTest, ChunkingDoesNotMatter) {
  std::string input = "short\r\n" + pattern(5000) + "\r\n";
  input += std::string("mid\0nul\r", 8);
  input += "\n" + pattern(3 * kPieceMax) + "\n\n";
  input += pattern(700);  // no LF at the end
  const Pieces whole = split_whole(input);
  const std::vector<std::string> want = {
      "short", pattern(5000), "mid\\0nul", pattern(3 * kPieceMax), "", pattern(700)};
  EXPECT_EQ(rejoin(whole), want);

  std::mt19937 rng(12345);
  std::vector<std::vector<size_t>> chunkings = {{1}, {2}, {kPieceMax}, {4096}};
  std::vector<size_t> random_sizes;
  for (int i = 0; i < 200; ++i) random_sizes.push_back(1 + rng() % 900);
  chunkings.push_back(random_sizes);
  for (const auto& chunks : chunkings) {
    EXPECT_EQ(split(input, chunks), whole) << "first chunk size " << chunks[0];
  }
}
