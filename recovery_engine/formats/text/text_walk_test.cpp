#include "formats/text/text_walk.h"

#include <gtest/gtest.h>

#include <string>

#include "candidate.h"
#include "formats/registry.h"

namespace quarvelin {
namespace {

using testing::Candidate;
using testing::Concat;
using testing::File;
using testing::Placement;

// `lines` lines of words with accented letters, a euro sign and a four-byte emoji.
File Words(size_t lines) {
  std::string text;
  for (size_t i = 0; i < lines; ++i) {
    text += "Line " + std::to_string(i) +
            ": caf\xC3\xA9 \xE2\x82\xAC 5, na\xC3\xAFve \xF0\x9F\x99\x82\r\n";
  }
  return testing::Text(text);
}

int64_t Walk(const File& file, Placement p) {
  Candidate candidate(file, p);
  RangeReader reader = candidate.Reader();
  return WalkTextEnd(reader, candidate.Cancel(), 64 * MiB);
}

size_t Prefix(std::string_view text, bool* cut = nullptr) {
  return TextPrefix(testing::Text(text), cut);
}

TEST(TextWalk, TextIsPrintableAsciiAndWellFormedUtf8Only) {
  EXPECT_EQ(Prefix("plain\ttext\r\n"), 12u);
  EXPECT_EQ(Prefix("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x99\x82"), 14u);
  EXPECT_EQ(Prefix(std::string("ab\0cd", 5)), 2u);
  EXPECT_EQ(Prefix("ab\x1b[0m"), 2u);           // escape: a control byte
  EXPECT_EQ(Prefix("ab\x7f"), 2u);              // delete
  EXPECT_EQ(Prefix("ab\xC2\x85"), 2u);          // a C1 control
  EXPECT_EQ(Prefix("ab\xC0\xAF"), 2u);          // overlong
  EXPECT_EQ(Prefix("ab\xED\xA0\x80"), 2u);      // a surrogate
  EXPECT_EQ(Prefix("ab\xF4\x90\x80\x80"), 2u);  // past U+10FFFF
  EXPECT_EQ(Prefix("ab\xC3(x"), 2u);            // a lead byte without its continuation
  EXPECT_EQ(Prefix("ab\xFF"), 2u);
  // A character cut by the end of the bytes: not counted, and said to be cut only when what is
  // there could still be one.
  bool cut = false;
  EXPECT_EQ(Prefix("ab\xE2\x82", &cut), 2u);
  EXPECT_TRUE(cut);
  EXPECT_EQ(Prefix("ab\xE2(", &cut), 2u);
  EXPECT_FALSE(cut);
}

TEST(TextWalk, EndsAtTheZerosOrBinaryAfterItAndAtTheDeviceEnd) {
  const File text = Words(200);
  EXPECT_EQ(Walk(text, {.lead = 512}), std::ssize(text));
  EXPECT_EQ(Walk(Concat(text, File{0x01, 'a', 'b'}), {.lead = 512}), std::ssize(text));
  // No zeros after it: the device's end ends it.
  File whole = Concat(File(512 - text.size() % 512, 'x'), text);
  EXPECT_EQ(Walk(whole, {.lead = 0, .trailing = 0}), std::ssize(whole));
  // A character cut by the scan buffer's end is read whole from the device, whether the buffer
  // ends one, two or three bytes into it.
  const size_t emoji = 1024 + 7 + text.size() / 2;
  for (size_t into = 1; into < 4; ++into) {
    File split = Concat(File(emoji, 'y'), testing::Text("\xF0\x9F\x99\x82"), text);
    const size_t buffer = (emoji + into + 511) / 512 * 512;  // whole sectors, as a scan reads
    const size_t lead = buffer - emoji - into;
    EXPECT_EQ(Walk(split, {.lead = lead, .bufferBytes = buffer}), std::ssize(split)) << into;
  }
}

TEST(TextFormat, ASectorOfTextStartsOneUnlessAnotherTypeDoes) {
  const FileFormat& format = TextFormat();
  const File text = Words(40);
  ASSERT_GT(text.size(), 1024u);
  EXPECT_TRUE(format.startsUnheaded(text));
  // The first character that crosses the sector's end is whole after it.
  for (size_t shift = 0; shift < 3; ++shift) {
    EXPECT_TRUE(format.startsUnheaded(std::span(text).subspan(shift))) << shift;
  }
  EXPECT_FALSE(format.startsUnheaded(std::span(text).first(511)));
  File shortText = Concat(testing::Text("a short note\n"), File(600, 0));
  EXPECT_FALSE(format.startsUnheaded(shortText));
  EXPECT_FALSE(format.startsUnheaded(File(4096, 0)));
  EXPECT_FALSE(format.startsUnheaded(testing::RandomBytes(4096, 1)));
  // Other types' files made of text are theirs: a declaration, a root element, an RTF group.
  for (const char* start :
       {"<?xml version=\"1.0\"?>", "<!DOCTYPE HTML>", "<note>", "{\\rtf1", "%PDF-1.4"}) {
    EXPECT_FALSE(format.startsUnheaded(Concat(testing::Text(start), text))) << start;
  }
  // Two-byte headers are too common a start of text to count.
  EXPECT_TRUE(format.startsUnheaded(Concat(testing::Text("BMW and MZ"), text)));
}

TEST(TextFormat, CarvedOnlyWhenChosenByName) {
  for (const FileSignature& row : LoadSignatures({})) EXPECT_NE(row.extension, "txt");
  const auto rows = LoadSignatures({"txt"});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].header.empty());
  EXPECT_TRUE(rows[0].onlyWhenSelected);
  EXPECT_EQ(LoadSignatures({}).size() + 1, SignatureTable().size());
}

}  // namespace
}  // namespace quarvelin
