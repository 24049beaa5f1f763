// Translating one plug-in request into the backend's "GET Sentence"
// request, and picking the Sentence out of its reply.
#pragma once

#include <cstddef>
#include <string_view>

#include "backend/backend_module.h"
#include "platform/platform.h"

namespace backend {

inline constexpr std::size_t max_arguments = 100;

// The arguments of one host request, in index order; unfilled slots are
// empty. The entries are views into the host's request text, which must
// outlive the list; the list itself holds no heap memory, whatever the
// number of arguments.
class ArgumentList {
 public:
  std::size_t size() const { return size_; }
  std::string_view operator[](std::size_t index) const {
    return {slots_[index].bytes, slots_[index].length};
  }

  // Stores `value` at `index` (below max_arguments), first extending the
  // list with empty entries when it is shorter. The list never shrinks.
  void set(std::size_t index, std::string_view value) {
    for (; size_ <= index; ++size_) slots_[size_] = Slot{};
    slots_[index] = Slot{value.data(), value.size()};
  }

 private:
  // Plain pointer and length, and slots from size_ on left unset: a request
  // pays only for the slots it fills, not for zeroing all of them.
  struct Slot {
    const char* bytes;
    std::size_t length;
  };
  Slot slots_[max_arguments];
  std::size_t size_ = 0;
};

// The length of the request text sent for `arguments` in `form`
// (shiori_2_5 or shiori_3_0).
std::size_t sentence_request_size(const ArgumentList& arguments, Protocol form);

// Writes the request text sent for `arguments` in `form` to `out`, which has
// room for sentence_request_size(arguments, form) bytes. The first argument
// is the Event (2.5) or the ID (3.0); the rest go out as Reference0,
// Reference1, ...
void compose_sentence_request(const ArgumentList& arguments, char* out, Protocol form);

// The status code of a backend reply: the word after the first space of its
// first line (any protocol version), or empty.
std::string_view status_code(std::string_view reply);

// What a reply gives the host: the value of its last "Sentence" header (an
// answer to 2.5) or its last "Value" header (an answer to 3.0), empty when
// there is none, and whether its last "Charset" header says UTF-8. The view
// points into `reply`.
struct SentenceResult {
  std::string_view text;
  bool utf8 = false;
};
SentenceResult result_in(std::string_view reply, Protocol form);

// Told each exchange with the backend as it happens: one, or two when a 400
// brought the same request again in the 3.0 form.
class ExchangeObserver {
 public:
  // The backend's request is about to be called with `request`.
  virtual void sending(std::string_view /*request*/, Protocol /*form*/) {}
  // It returned `reply`.
  virtual void replied(std::string_view /*reply*/) {}

 protected:
  ~ExchangeObserver() = default;
};

// The backend's reply block, to be read in place, and the form of the
// request it answers.
struct SentenceReply {
  platform::ReceivedBlock block;
  Protocol form = Protocol::shiori_2_5;
};

// Sends the bound backend (if any) the request for `arguments`, views into
// `host_request`, which is freed as soon as no retry can need it: before
// the backend is called when the backend's form is known, after its reply
// otherwise. A 2.5 request answered with 400 while the form is not known
// goes out once more in the 3.0 form; an answer to that other than 400
// settles the form as 3.0 for the rest of this load.
SentenceReply ask_sentence(BackendModule& backend, const ArgumentList& arguments,
                           platform::ReceivedBlock& host_request,
                           ExchangeObserver* observer = nullptr);

}  // namespace backend
