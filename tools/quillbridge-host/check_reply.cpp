#include "quillbridge-host/check_mode.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "backend/sentence_request.h"
#include "platform/platform.h"
#include "text/token_cutting.h"

namespace host_check {
namespace {

using host_display::Report;

struct HeaderPair {
  std::string_view key;
  std::string_view value;
};

// The header pairs the module's reader takes from `reply`, in order, as
// views into it. The only call of the reader here, so that a change to the
// reader is met in one place.
std::vector<HeaderPair> headers_as_module_reads(const std::string& reply) {
  std::vector<HeaderPair> pairs;
  text::read_header_block(std::string_view(reply), [&](std::string_view key, std::string_view value) {
    pairs.push_back({key, value});
  });
  return pairs;
}

// A line of the reply: where it starts and ends (before its LF), numbered
// from 1 for the status line.
struct ReplyLine {
  std::size_t number, start, end;
};

// Where the reply's lines start, found in one pass, so that finding the
// line of an offset is a binary search however many headers there are.
class ReplyLines {
 public:
  explicit ReplyLines(const std::string& reply) : size_(reply.size()) {
    starts_.push_back(0);
    for (std::size_t lf = reply.find('\n'); lf != std::string::npos; lf = reply.find('\n', lf + 1))
      starts_.push_back(lf + 1);
  }

  // The line holding `offset` (an offset past the end: the last line).
  ReplyLine at(std::size_t offset) const {
    const std::size_t index =
        static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) -
                                 starts_.begin()) - 1;
    return {index + 1, starts_[index], index + 1 < starts_.size() ? starts_[index + 1] - 1 : size_};
  }

 private:
  std::vector<std::size_t> starts_;
  std::size_t size_;
};

// A line's bytes without its CR.
std::string_view line_text(const std::string& reply, const ReplyLine& line) {
  std::string_view text(reply.data() + line.start, line.end - line.start);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return text;
}

std::size_t offset_in(const std::string& reply, std::string_view view) {
  return static_cast<std::size_t>(view.data() - reply.data());
}

// The header a reply to `asking` gives its result in.
std::string_view result_key(const Asking& asking) {
  return asking.form == backend::Protocol::shiori_3_0 ? "Value" : "Sentence";
}

// Says what the status line tells about an empty result.
void explain_status(const std::string& reply, const ReplyLines& lines, bool has_result,
                    const Asking& asking, const Report& report) {
  const std::string_view status = line_text(reply, lines.at(0));
  report.line("Status line: " + report.quoted(status));
  // The code as the module reads it to decide on a retry.
  const std::string_view code = backend::status_code(reply);
  if (status.substr(0, 7) != "SHIORI/" || code.size() != 3) {
    report.line("That is not a SHIORI status line; Quillbridge does not look at it.");
    return;
  }
  if (code[0] == '2') {
    if (code == "204" && !has_result)
      report.line("204 No Content: the backend has no answer for this event; its dictionary has\n"
                  "  nothing for it (check the event's name and the dictionary).");
    return;
  }
  report.line(std::string(code) +
              " is not a success status: the backend did not answer the request.");
  if (code == "400" && asking.form == backend::Protocol::shiori_3_0 && asking.set_by_line)
    report.line("400 Bad Request to the SHIORI/3.0 request that the shiori.protocol line asks\n"
                "  for: this backend speaks only SHIORI/2.x. Remove the line, and Quillbridge\n"
                "  sends it the SHIORI/2.5 request.");
  else if (code == "400" && asking.retried)
    report.line("It answered 400 Bad Request to both forms, SHIORI/2.5 and SHIORI/3.0: it\n"
                "  speaks neither request, and cannot be used.");
  else if (code == "400")
    report.line("400 Bad Request to SHIORI/2.5 usually comes from a backend that reads only\n"
                "  SHIORI/3.0; the shiori.protocol line keeps Quillbridge from asking it so.\n"
                "  Set the line to SHIORI/3.0, or remove it.");
  if (has_result)
    report.line("Quillbridge does not look at the status and takes the " +
                std::string(result_key(asking)) + " anyway.");
}

// Where the module's reader stopped after `pairs`: the start of the line it
// gave up on (or the reply's end).
std::size_t reading_stop(const std::string& reply, const std::vector<HeaderPair>& pairs) {
  std::size_t from = 0;
  if (!pairs.empty()) from = offset_in(reply, pairs.back().value) + pairs.back().value.size();
  const std::size_t lf = reply.find('\n', from);
  return lf == std::string::npos ? reply.size() : lf + 1;
}

// Why the reader stopped at `stop`, in words; empty when it reached the
// empty line that ends a header block, which is no fault.
std::string why_reading_stopped(const std::string& reply, const ReplyLines& lines, std::size_t stop,
                                const Report& report) {
  const std::size_t nul = reply.find('\0');
  if (nul != std::string::npos && nul <= lines.at(stop).end)
    return "a NUL byte (line " + std::to_string(lines.at(nul).number) +
           ") ends the text Quillbridge reads; nothing after it is seen";
  if (stop >= reply.size()) return "the reply ends, without the empty line that ends headers";
  const ReplyLine line = lines.at(stop);
  const std::string_view text = line_text(reply, line);
  const std::string where = "line " + std::to_string(line.number);
  if (text.empty()) return {};
  const std::size_t colon = text.find(':');
  if (colon == 0) return where + " has an empty key, which ends the reading";
  if (colon == std::string_view::npos) return where + " " + report.quoted(text) + " has no colon";
  if (trimmed(text.substr(colon + 1)).empty())
    return where + ": the header " + report.quoted(text.substr(0, colon)) +
           " has an empty value, and Quillbridge stops reading at the first empty value";
  return where + " " + report.quoted(text) + " could not be read as a header";
}

// Explains why no result was taken from a reply that is not empty.
void explain_missing_result(const std::string& reply, const ReplyLines& lines,
                            const std::vector<HeaderPair>& pairs, const Asking& asking,
                            const Report& report) {
  const std::string_view wanted = result_key(asking);
  const bool as_3_0 = asking.form == backend::Protocol::shiori_3_0;
  bool explained = false;
  // A key runs up to the next colon, across line ends: a line without one
  // swallows the header after it.
  for (const HeaderPair& pair : pairs) {
    if (pair.key.find('\n') == std::string_view::npos) continue;
    const std::size_t first = lines.at(offset_in(reply, pair.key)).number;
    const std::size_t last = lines.at(offset_in(reply, pair.key) + pair.key.size()).number;
    report.line("Lines " + std::to_string(first) + " to " + std::to_string(last) +
                " were read as the one key " + report.quoted(pair.key) + ":");
    report.line("Quillbridge reads a key up to the next colon, also across line ends, so a line");
    report.line("without a colon (or an empty line) hides the header after it.");
    explained = true;
  }
  const std::size_t stop = reading_stop(reply, pairs);
  const std::string stop_reason = why_reading_stopped(reply, lines, stop, report);
  for (std::size_t at = reply.find('\n'); at != std::string::npos && at + 1 < reply.size();
       at = reply.find('\n', at + 1)) {
    const ReplyLine line = lines.at(at + 1);
    const std::string_view text = line_text(reply, line);
    const std::string_view key = text.substr(0, text.find(':'));
    if (key.size() == text.size()) continue;
    const std::string where = "Line " + std::to_string(line.number);
    const std::string header = std::string(" ").append(wanted).append(" header");
    if (key == wanted && line.start == stop && !stop_reason.empty()) {
      report.line(where + " holds the" + header + ", but its value is empty.");
      explained = true;
    } else if (key == wanted && line.start > stop && !stop_reason.empty()) {
      report.line(where + " holds a" + header + ", but Quillbridge stopped reading before it:");
      report.line(stop_reason + ".");
      explained = true;
    } else if (key == (as_3_0 ? "Sentence" : "Value")) {
      report.line(where + " has a " + std::string(key) + " header, where a SHIORI/" +
                  (as_3_0 ? "2.5" : "3.0") + " backend puts its answer;");
      report.line(std::string("an answer to the SHIORI/") + (as_3_0 ? "3.0" : "2.5") +
                  " request is read only from its" + header + ".");
      explained = true;
    } else if (key != wanted && same_ignoring_case(trimmed(key), wanted)) {
      report.line(where + " has the key " + report.quoted(key) + "; Quillbridge takes only " +
                  report.quoted(wanted) + ", spelled exactly so");
      report.line(std::string("(capital ") + wanted[0] + ", nothing between it and the colon).");
      explained = true;
    }
  }
  if (explained) return;
  report.line("The reply has no " + std::string(wanted) + " header.");
  if (!stop_reason.empty()) report.line("Reading stopped: " + stop_reason + ".");
}

// The tags of the host ghost's script that a Sentence can carry by mistake
// (a backend that writes its talk as a script of its own), said in terms
// of what they do once the ghost's script shows the Sentence. A 0x5C that
// ends a two-byte character is no tag, nor is an escaped backslash.
void explain_script_tags(std::string_view sentence, const Report& report) {
  const char* speaker = nullptr;
  if (sentence.size() >= 2 && sentence[0] == '\\') {
    if (sentence[1] == '0' || sentence[1] == 'h') speaker = "first character (\\0)";
    if (sentence[1] == '1' || sentence[1] == 'u') speaker = "second character (\\1)";
  }
  if (speaker != nullptr)
    report.line("It begins with the scope tag " + std::string(sentence.substr(0, 2)) +
                ": where the ghost's script shows it, the\n  " + speaker +
                " speaks from there on, whoever spoke before it.");
  const platform::LeadByteSet& lead = platform::lead_bytes();
  for (std::size_t i = 0; i + 1 < sentence.size(); ++i) {
    const auto byte = static_cast<unsigned char>(sentence[i]);
    if (lead.lead[byte]) {
      ++i;
    } else if (byte == '\\') {
      if (sentence[i + 1] == 'e') {
        report.line("It holds \\e, the end of a script: where the ghost's script shows it, the"
                    "\n  script ends there, and nothing after it is shown.");
        return;
      }
      ++i;  // the tag's letter, or the second of an escaped backslash
    }
  }
}

}  // namespace

bool explain_reply(const std::string& reply, const Asking& asking, const Report& report) {
  report.heading("Reading the reply as Quillbridge does");
  if (reply.empty()) {
    report.line("The backend's reply is empty: Quillbridge answers with an empty Result.");
    return false;
  }
  const std::vector<HeaderPair> pairs = headers_as_module_reads(reply);
  const ReplyLines lines(reply);
  const backend::SentenceResult result = backend::result_in(reply, asking.form);
  const std::string_view sentence = result.text, key = result_key(asking);
  explain_status(reply, lines, !sentence.empty(), asking, report);
  for (const HeaderPair& pair : pairs)
    report.line("line " + std::to_string(lines.at(offset_in(reply, pair.key)).number) +
                ": header " + report.quoted(pair.key) + " = " + report.quoted(pair.value));
  if (!sentence.empty()) {
    const std::size_t line = lines.at(offset_in(reply, sentence)).number;
    report.line(std::string(key == "Value" ? "Result: " : "Sentence: ") + report.quoted(sentence) +
                ", from the " + std::string(key) + " header on line " + std::to_string(line) + ".");
    std::size_t taken = 0;
    for (const HeaderPair& pair : pairs) taken += pair.key == key ? 1 : 0;
    if (taken > 1) report.line("(The reply has several; the last one replaces the others.)");
    if (result.utf8)
      report.line("Its Charset says UTF-8: Quillbridge's reply to the host says so too.");
    explain_script_tags(sentence, report);
    return true;
  }
  report.line("No " + std::string(key) + ": Quillbridge answers with an empty Result.");
  explain_missing_result(reply, lines, pairs, asking, report);
  if (asking.form == backend::Protocol::shiori_2_5) {
    report.line("An engine that reads SHIORI/3.0 only (YAYA's base dictionary does) answers the");
    report.line("SHIORI/2.5 request so; for one, put the line shiori.protocol,SHIORI/3.0 into");
    report.line("the folder's descript.txt.");
  }
  return false;
}

}  // namespace host_check
