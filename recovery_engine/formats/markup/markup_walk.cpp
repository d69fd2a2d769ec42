#include "formats/markup/markup_walk.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/byte_fields.h"
#include "formats/stored_file_stops.h"
#include "formats/validation_result.h"

namespace quarvelin {
namespace {

constexpr int32_t kWindowBytes = 1 << 20;
// Longer names are compared by their first this many characters.
constexpr size_t kLongestName = 256;

bool IsSpace(char32_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

char32_t Lower(char32_t c) {
  return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool SameIgnoringCase(std::u32string_view a, std::u32string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char32_t x, char32_t y) { return Lower(x) == Lower(y); });
}

// C0 control characters other than tab, line feed, form feed and carriage return: no text holds
// them, so meeting one means the text has run into other data.
bool IsForeignControl(uint32_t c) {
  return c < 0x20 && c != '\t' && c != '\n' && c != '\f' && c != '\r';
}

// The candidate's characters, decoded window by window, up to where the text must stop.
class TextSource {
 public:
  static constexpr int32_t kEnd = -1;     // nothing more may be read; Stop() says why
  static constexpr int32_t kBinary = -2;  // bytes no text has; Position() is where they start

  TextSource(RangeReader& read, const HeaderIndex* nextFiles, const std::atomic<bool>* cancel)
      : read_(read), stops_(read, nextFiles), cancel_(cancel) {}

  void Begin(TextEncoding encoding, int64_t at) {
    encoding_ = encoding;
    pos_ = at;
    checkedTo_ = at;
  }

  // The next character, or kEnd / kBinary (which leave the position where they were met).
  int32_t Next();
  // Moves past the window's plain ASCII characters other than `a` and `b`, where each is one
  // byte; true when it moved. Runs of text cost a byte compare each instead of a decode.
  bool SkipPlain(char a, char b);

  int64_t Position() const { return pos_; }
  TextEncoding Encoding() const { return encoding_; }
  SearchStop Stop() const { return stop_; }
  bool Cancelled() const { return cancelled_; }
  // Strict UTF-8 (after a byte-order mark): no falling back to a one-byte code page.
  void RequireUtf8() { strictUtf8_ = true; }

 private:
  bool Refill();
  int32_t NextUtf8(Bytes b);
  int32_t NextUtf16(Bytes b);
  // A character cut short by the end of what may be read: another file, the limit or the device.
  int32_t CutShort(Bytes b) {
    if (pos_ + static_cast<int64_t>(b.size()) < stopAt_) stop_ = SearchStop::kFailedRead;
    return kEnd;
  }
  int32_t Take(int32_t c, int64_t length) {
    pos_ += length;
    return c;
  }

  RangeReader& read_;
  StoredFileStops stops_;
  const std::atomic<bool>* cancel_;
  TextEncoding encoding_ = TextEncoding::kUtf8;
  bool strictUtf8_ = false;
  bool sawMultiByte_ = false;  // a UTF-8 sequence of two or more bytes was met
  Bytes window_;
  int64_t base_ = 0;
  bool final_ = false;     // the device can be read no further than the window
  int64_t judgedTo_ = 0;   // the window's bytes below this may be decoded
  int64_t checkedTo_ = 0;  // sector starts below this were looked at for other files' headers
  int64_t pos_ = 0;
  int64_t stopAt_ = kMarkupLargest;  // the text may not reach this offset
  SearchStop stop_ = SearchStop::kReach;
  bool cancelled_ = false;
};

bool TextSource::Refill() {
  if (IsCancelled(cancel_)) {
    cancelled_ = true;
    return false;
  }
  // A character that ran past the last window's judged bytes left sector starts unchecked.
  const int64_t base = std::min(pos_, checkedTo_);
  // Characters start below judgedTo_ and take at most four bytes; a header at a sector start is
  // judged with its longest bytes at hand.
  const int64_t reach = stops_.Reach();
  const auto need = static_cast<int32_t>(4 + reach + 1);
  Bytes got = read_.ReadWindow(base, kWindowBytes, need);
  if (!got.empty()) {
    final_ = !read_.InBuffer(got) && got.size() < static_cast<size_t>(kWindowBytes);
  } else {
    got = read_.ReadLongest(base, need, 1);
    final_ = true;
  }
  window_ = got;
  base_ = base;
  const int64_t end = base_ + static_cast<int64_t>(window_.size());
  judgedTo_ = final_ ? end : end - 4 - reach;
  const int64_t checkTo = final_ ? end : end - reach;
  if (const auto other = stops_.First(window_, base_, checkedTo_, std::min(checkTo, stopAt_))) {
    stopAt_ = *other;
    stop_ = SearchStop::kNextFile;
  }
  checkedTo_ = std::max(checkedTo_, checkTo);
  return pos_ < judgedTo_;
}

int32_t TextSource::Next() {
  if (pos_ >= stopAt_) return kEnd;
  if (pos_ < base_ || pos_ >= judgedTo_) {
    if (final_ && pos_ >= judgedTo_) {
      stop_ = SearchStop::kFailedRead;
      return kEnd;
    }
    if (!Refill()) {
      if (!cancelled_ && pos_ < stopAt_) stop_ = SearchStop::kFailedRead;
      return kEnd;
    }
    if (pos_ >= stopAt_) return kEnd;
  }
  // The bytes a character may take: never past another file's start, the limit or the device.
  const int64_t usable = std::min(stopAt_, base_ + static_cast<int64_t>(window_.size())) - pos_;
  const Bytes b = window_.subspan(static_cast<size_t>(pos_ - base_),
                                  static_cast<size_t>(std::min<int64_t>(usable, 4)));
  switch (encoding_) {
    case TextEncoding::kUtf16Le:
    case TextEncoding::kUtf16Be:
      return NextUtf16(b);
    case TextEncoding::kSingleByte:
      return IsForeignControl(b[0]) ? kBinary : Take(b[0], 1);
    case TextEncoding::kUtf8:
      break;
  }
  return NextUtf8(b);
}

bool TextSource::SkipPlain(char a, char b) {
  if (encoding_ != TextEncoding::kUtf8 && encoding_ != TextEncoding::kSingleByte) return false;
  const int64_t to = std::min(judgedTo_, stopAt_);
  if (pos_ < base_ || pos_ >= to) return false;
  const Bytes bytes =
      window_.subspan(static_cast<size_t>(pos_ - base_), static_cast<size_t>(to - pos_));
  size_t n = 0;
  while (n < bytes.size()) {
    const uint8_t c = bytes[n];
    if (c >= 0x80 || IsForeignControl(c) || c == a || c == b) break;
    ++n;
  }
  pos_ += static_cast<int64_t>(n);
  return n > 0;
}

int32_t TextSource::NextUtf8(Bytes b) {
  const uint8_t lead = b[0];
  if (lead < 0x80) return IsForeignControl(lead) ? kBinary : Take(lead, 1);
  // Well-formed sequences (RFC 3629): the lead byte sets the length and the second byte's range.
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  bool valid = length > 0;
  uint32_t c = length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
  for (size_t i = 1; valid && i < length && i < b.size(); ++i) {
    const uint8_t next = b[i];
    valid = i == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
    c = (c << 6) | (next & 0x3Fu);
  }
  if (valid && b.size() < length) return CutShort(b);
  if (valid) {
    sawMultiByte_ = true;
    return Take(static_cast<int32_t>(c), static_cast<int64_t>(length));
  }
  // A file in a one-byte code page shows it at its first letter beyond ASCII; a UTF-8 file that
  // goes bad after good sequences has run into other data.
  if (strictUtf8_ || sawMultiByte_) return kBinary;
  encoding_ = TextEncoding::kSingleByte;
  return Take(lead, 1);
}

int32_t TextSource::NextUtf16(Bytes b) {
  const bool little = encoding_ == TextEncoding::kUtf16Le;
  const auto unit = [&](size_t at) -> std::optional<uint16_t> {
    return little ? ReadLe16(b, at) : ReadBe16(b, at);
  };
  const auto first = unit(0);
  if (!first) return CutShort(b);
  const uint16_t u = *first;
  if (u == 0 || IsForeignControl(u) || (u >= 0xDC00 && u <= 0xDFFF)) return kBinary;
  if (u < 0xD800 || u > 0xDBFF) return Take(u, 2);
  const auto second = unit(2);
  if (!second) return CutShort(b);
  if (*second < 0xDC00 || *second > 0xDFFF) return kBinary;
  return Take(static_cast<int32_t>(0x10000 + ((u - 0xD800u) << 10) + (*second - 0xDC00u)), 4);
}

// Reads the markup's structure just far enough to find where its root element closes.
class MarkupWalker {
 public:
  MarkupWalker(RangeReader& read, const HeaderIndex* nextFiles, const std::atomic<bool>* cancel)
      : read_(read), text_(read, nextFiles, cancel) {}

  MarkupEnd Run();

 private:
  enum class State {
    kText,
    kTagOpen,      // after "<"
    kBang,         // after "<!": a comment, CDATA, a document type or another declaration
    kComment,      // inside "<!-- -->"
    kCdata,        // inside "<![CDATA[ ]]>"
    kDoctype,      // inside "<!DOCTYPE ...>", with its internal subset
    kDeclaration,  // any other "<!...>"
    kInstruction,  // inside "<? ?>"
    kStartName,
    kAttributes,
    kEndName,
    kEndRest,  // after an end tag's name, up to its ">"
    kRawText,  // an HTML script or style sheet, up to its end tag
  };

  void DetectEncoding();
  // Skips the characters that cannot change the state it is in.
  void SkipPlain();
  // Feeds one character; true when the root element has just closed.
  bool Feed(char32_t c);
  bool StartTagDone();
  bool EndTagDone();
  MarkupEnd Finish();

  RangeReader& read_;
  TextSource text_;
  MarkupEnd result_;
  State state_ = State::kText;
  State afterComment_ = State::kText;
  bool html_ = false;  // an HTML document: it ends at its first "</html>"
  bool rootSeen_ = false;
  std::u32string root_;
  int64_t depth_ = 0;
  std::u32string name_;
  std::u32string bang_;  // what follows "<!" until it tells which kind of markup it opens
  char32_t quote_ = 0;   // the quote an attribute value or a literal is inside of
  bool afterEquals_ = false;
  bool slash_ = false;  // the tag's last character so far was "/"
  int closers_ = 0;     // "-" or "]" just before a ">" that may close a comment or CDATA
  bool question_ = false;
  // Document type: its name is being read, the internal subset is open, "<!-" seen in it.
  bool doctypeName_ = false;
  bool subset_ = false;
  int subsetComment_ = 0;
  std::u32string rawEnd_;  // "</script" or "</style" in lower case
  size_t rawMatched_ = 0;
  bool malformed_ = false;
};

void MarkupWalker::DetectEncoding() {
  const Bytes head = read_.ReadLongest(0, 4, 1);
  const auto starts = [&](std::initializer_list<uint8_t> bytes) {
    return head.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), head.begin());
  };
  if (starts({0xEF, 0xBB, 0xBF})) {
    text_.Begin(TextEncoding::kUtf8, 3);
    text_.RequireUtf8();
  } else if (starts({0xFF, 0xFE})) {
    text_.Begin(TextEncoding::kUtf16Le, 2);
  } else if (starts({0xFE, 0xFF})) {
    text_.Begin(TextEncoding::kUtf16Be, 2);
  } else if (starts({'<', 0})) {
    text_.Begin(TextEncoding::kUtf16Le, 0);
  } else if (starts({0, '<'})) {
    text_.Begin(TextEncoding::kUtf16Be, 0);
  } else {
    text_.Begin(TextEncoding::kUtf8, 0);
  }
}

bool MarkupWalker::StartTagDone() {
  const bool empty = slash_;
  if (!rootSeen_) {
    rootSeen_ = true;
    root_ = name_;
    if (SameIgnoringCase(name_, U"html")) {
      html_ = true;
    } else if (!html_ && (name_ == U"svg" || name_ == U"svg:svg")) {
      result_.kind = MarkupKind::kSvg;
    }
    if (html_) result_.kind = MarkupKind::kHtml;
    // In HTML only "</html>" closes the document.
    if (empty && !html_) return true;
    depth_ = 1;
  } else if (!html_ && !empty) {
    ++depth_;
  }
  state_ = State::kText;
  if (html_ && !empty &&
      (SameIgnoringCase(name_, U"script") || SameIgnoringCase(name_, U"style"))) {
    rawEnd_ = U"</";
    for (char32_t c : name_) rawEnd_ += Lower(c);
    rawMatched_ = 0;
    state_ = State::kRawText;
  }
  return false;
}

bool MarkupWalker::EndTagDone() {
  state_ = State::kText;
  if (html_) return SameIgnoringCase(name_, U"html");
  if (!rootSeen_) return false;
  if (--depth_ > 0) return false;
  // The tags did not nest: no end this walk can vouch for.
  if (name_ != root_) malformed_ = true;
  return !malformed_;
}

bool MarkupWalker::Feed(char32_t c) {
  const auto addToName = [&] {
    if (name_.size() < kLongestName) name_ += c;
  };
  switch (state_) {
    case State::kText:
      if (c == '<') state_ = State::kTagOpen;
      return false;
    case State::kTagOpen:
      name_.clear();
      slash_ = false;
      quote_ = 0;
      if (c == '!') {
        bang_.clear();
        state_ = State::kBang;
      } else if (c == '?') {
        question_ = false;
        state_ = State::kInstruction;
      } else if (c == '/') {
        state_ = State::kEndName;
      } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
                 c >= 0x80) {
        addToName();
        state_ = State::kStartName;
      } else {
        state_ = c == '<' ? State::kTagOpen : State::kText;  // a "<" in text
      }
      return false;
    case State::kBang: {
      bang_ += c;
      const std::u32string_view seen = bang_;
      if (seen == U"--") {
        closers_ = 0;
        afterComment_ = State::kText;
        state_ = State::kComment;
      } else if (seen == U"[CDATA[") {
        closers_ = 0;
        state_ = State::kCdata;
      } else if (SameIgnoringCase(seen, U"DOCTYPE")) {
        name_.clear();
        quote_ = 0;
        doctypeName_ = true;
        subset_ = false;
        subsetComment_ = 0;
        state_ = State::kDoctype;
      } else if (!std::u32string_view(U"--").starts_with(seen) &&
                 !std::u32string_view(U"[CDATA[").starts_with(seen) &&
                 !SameIgnoringCase(std::u32string_view(U"DOCTYPE").substr(0, seen.size()), seen)) {
        state_ = c == '>' ? State::kText : State::kDeclaration;
      }
      return false;
    }
    case State::kComment:
      if (c == '>' && closers_ >= 2) {
        state_ = afterComment_;
      } else {
        closers_ = c == '-' ? std::min(closers_ + 1, 2) : 0;
      }
      return false;
    case State::kCdata:
      if (c == '>' && closers_ >= 2) {
        state_ = State::kText;
      } else {
        closers_ = c == ']' ? std::min(closers_ + 1, 2) : 0;
      }
      return false;
    case State::kInstruction:
      if (c == '>' && question_) state_ = State::kText;
      question_ = c == '?';
      return false;
    case State::kDeclaration:
      if (c == '>') state_ = State::kText;
      return false;
    case State::kDoctype:
      if (doctypeName_) {
        if (!IsSpace(c) && c != '>' && c != '[') {
          addToName();
          return false;
        }
        if (!name_.empty()) {
          doctypeName_ = false;
          if (SameIgnoringCase(name_, U"html")) {
            html_ = true;
            result_.kind = MarkupKind::kHtml;
          }
        }
        if (IsSpace(c)) return false;
      }
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
      } else if (c == '"' || c == '\'') {
        quote_ = c;
      } else if (subset_) {
        // Comments in the internal subset may hold quotes and brackets: "<!--" opens one.
        const bool opens =
            c == '<' || (c == '!' && subsetComment_ == 1) || (c == '-' && subsetComment_ >= 2);
        subsetComment_ = opens ? (c == '<' ? 1 : subsetComment_ + 1) : 0;
        if (subsetComment_ == 4) {
          subsetComment_ = 0;
          closers_ = 0;
          afterComment_ = State::kDoctype;
          state_ = State::kComment;
        } else if (c == ']') {
          subset_ = false;
        }
      } else if (c == '[') {
        subset_ = true;
      } else if (c == '>') {
        state_ = State::kText;
      }
      return false;
    case State::kStartName:
      if (c == '>') return StartTagDone();
      if (c == '/') {
        slash_ = true;
        state_ = State::kAttributes;
      } else if (IsSpace(c)) {
        afterEquals_ = false;
        state_ = State::kAttributes;
      } else {
        addToName();
      }
      return false;
    case State::kAttributes:
      if (quote_ != 0) {
        if (c == quote_) quote_ = 0;
        return false;
      }
      if (c == '>') return StartTagDone();
      if ((c == '"' || c == '\'') && afterEquals_) {
        quote_ = c;
        afterEquals_ = false;
      } else if (c == '=') {
        afterEquals_ = true;
      } else if (!IsSpace(c)) {
        afterEquals_ = false;
      }
      if (!IsSpace(c)) slash_ = c == '/';
      return false;
    case State::kEndName:
      if (c == '>') return EndTagDone();
      if (IsSpace(c) || c == '/') {
        state_ = State::kEndRest;
      } else {
        addToName();
      }
      return false;
    case State::kEndRest:
      return c == '>' && EndTagDone();
    case State::kRawText: {
      const char32_t lower = Lower(c);
      if (rawMatched_ == rawEnd_.size()) {
        if (IsSpace(c) || c == '/' || c == '>') {
          name_.assign(rawEnd_, 2);
          state_ = State::kEndName;
          return Feed(c);
        }
        rawMatched_ = 0;
      }
      if (lower == rawEnd_[rawMatched_]) {
        ++rawMatched_;
      } else {
        rawMatched_ = c == '<' ? 1 : 0;
      }
      return false;
    }
  }
  return false;
}

void MarkupWalker::SkipPlain() {
  switch (state_) {
    case State::kText:
      text_.SkipPlain('<', '<');
      break;
    case State::kComment:
      if (text_.SkipPlain('-', '>')) closers_ = 0;
      break;
    case State::kCdata:
      if (text_.SkipPlain(']', '>')) closers_ = 0;
      break;
    case State::kInstruction:
      if (text_.SkipPlain('?', '>')) question_ = false;
      break;
    case State::kAttributes:
      if (quote_ != 0) text_.SkipPlain(static_cast<char>(quote_), static_cast<char>(quote_));
      break;
    case State::kRawText:
      if (rawMatched_ == 0) text_.SkipPlain('<', '<');
      break;
    default:
      break;
  }
}

MarkupEnd MarkupWalker::Finish() {
  int64_t end = text_.Position();
  // The line end after the closing tag belongs to the file.
  const int32_t first = text_.Next();
  if (first == '\n') {
    end = text_.Position();
  } else if (first == '\r') {
    end = text_.Position();
    if (text_.Next() == '\n') end = text_.Position();
  }
  result_.size = end;
  result_.searchedTo = end;
  result_.stop = SearchStop::kReach;
  return result_;
}

MarkupEnd MarkupWalker::Run() {
  DetectEncoding();
  while (true) {
    SkipPlain();
    const int32_t c = text_.Next();
    result_.encoding = text_.Encoding();
    if (c == TextSource::kBinary) {
      result_.size = text_.Position();
      result_.endedByBinary = true;
      result_.searchedTo = text_.Position();
      return result_;
    }
    if (c == TextSource::kEnd) {
      if (text_.Cancelled()) return MarkupEnd{};
      result_.searchedTo = text_.Position();
      result_.stop = text_.Stop();
      return result_;
    }
    if (Feed(static_cast<char32_t>(c))) return Finish();
    if (malformed_) {
      result_.searchedTo = text_.Position();
      return result_;
    }
  }
}

}  // namespace

MarkupEnd WalkMarkupEnd(RangeReader& read, const std::atomic<bool>* cancel,
                        const HeaderIndex* nextFiles) {
  return MarkupWalker(read, nextFiles, cancel).Run();
}

}  // namespace quarvelin
