// Walks a failure over every system call and every allocation that a whole
// load / request / unload sequence makes, one at a time. For each: nothing
// crashes or leaks (LeakSanitizer watches in the sanitize build), the
// outcome is a defined one, the backend is never left loaded, and the next
// sequence works again. The exports run in this process, so that the
// platform layer's counters and the operator new below see the module's calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "platform/test_hooks.h"
#include "support/module_host.h"

extern "C" {
int load(char* block, long length);
int unload();
char* request(char* block, long* length);
}

// Allocation failure for everything operator new gives: counted and failed
// only while a sequence runs.
namespace {
bool counting_allocations = false;
long allocations = 0;
long failing_allocation = 0;

void* allocate(std::size_t size) {
  if (counting_allocations && ++allocations == failing_allocation) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// These pair malloc with free by design; the compiler cannot see the pairing.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (void* memory = allocate(size)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using namespace testing_support;
namespace faults = platform::fault_injection;
using faults::Call;

// The kinds walked: the platform layer's five, and operator new.
constexpr int allocation_kind = faults::call_kinds;
const char* const kind_names[] = {"block allocation", "module load", "entry lookup",
                                  "file open",        "file read",   "operator new"};

struct Outcome {
  int loaded = -1;
  bool reply_null = false;
  std::string reply;
  int unloaded = -1;
  std::string messages;
};

// One whole sequence with the failure point (kind, nth) armed; nth 0 arms
// nothing. Everything the host side needs is made before arming.
Outcome run_sequence(const std::string& directory, int kind, long nth, long* calls_seen) {
  const std::string request_text = plugin_request({"greet", "World"});
  char* directory_block = make_block(directory);
  char* request_block = make_block(request_text);
  Outcome outcome;
  outcome.reply.reserve(256);
  StderrCapture capture;

  faults::reset();
  allocations = 0;
  failing_allocation = 0;
  if (nth > 0 && kind == allocation_kind) failing_allocation = nth;
  if (nth > 0 && kind < allocation_kind) faults::fail_nth(static_cast<Call>(kind), nth);
  counting_allocations = true;

  outcome.loaded = load(directory_block, static_cast<long>(directory.size()));
  long length = static_cast<long>(request_text.size());
  char* reply = request(request_block, &length);
  outcome.unloaded = unload();

  counting_allocations = false;
  if (calls_seen != nullptr) {
    for (int k = 0; k < faults::call_kinds; ++k) calls_seen[k] = faults::calls_made(static_cast<Call>(k));
    calls_seen[allocation_kind] = allocations;
  }
  faults::reset();

  outcome.reply_null = reply == nullptr;
  if (reply != nullptr) outcome.reply.assign(reply, static_cast<std::size_t>(length));
  else outcome.reply = length == 0 ? "" : "(null block with a count)";
  std::free(reply);
  outcome.messages = capture.text();
  return outcome;
}

// Checks what one failure point did, then that a clean sequence works.
void check_failure_point(const std::string& directory, const FixtureLog& log, int kind, long nth,
                         int& walked) {
  const std::string where = std::string(kind_names[kind]) + " #" + std::to_string(nth);
  const Outcome hurt = run_sequence(directory, kind, nth, nullptr);
  ++walked;
  EXPECT_EQ(hurt.unloaded, 1) << where;
  if (hurt.loaded == 1) {
    EXPECT_EQ(hurt.messages, "") << where;
  } else {
    EXPECT_EQ(hurt.loaded, 0) << where;
    // Only running out of memory may cost the message its own memory.
    if (kind != allocation_kind) {
      EXPECT_NE(hurt.messages, "") << where;
    }
  }
  const bool full = hurt.loaded == 1 && hurt.reply == plugin_reply("from recording");
  const bool empty = hurt.reply == plugin_reply("");
  // Without memory for the reply block there is nothing to answer with.
  const bool no_block = hurt.reply_null && hurt.reply.empty() &&
                        (kind == static_cast<int>(Call::block_allocation) || kind == allocation_kind);
  EXPECT_TRUE(full || empty || no_block) << where << ": " << hurt.reply;

  // The backend got only what the host sent, and was freed again.
  const auto events = log.events();
  int attached = 0, detached = 0;
  for (const FixtureEvent& e : events) {
    EXPECT_EQ(e.fixture, "recording") << where << ": another backend was reached";
    if (e.event == "attach") ++attached;
    if (e.event == "detach") ++detached;
    if (e.event == "request") {
      EXPECT_NE(e.bytes.find("\r\nEvent: greet\r\nReference0: World\r\n"), std::string::npos)
          << where << ": the backend got a request the host never sent";
    }
  }
  EXPECT_EQ(attached, detached) << where;

  const Outcome again = run_sequence(directory, 0, 0, nullptr);
  EXPECT_EQ(again.loaded, 1) << where;
  EXPECT_EQ(again.reply, plugin_reply("from recording")) << where;
  EXPECT_EQ(again.messages, "") << where;
}

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    // A decoy backend in the current directory: a lost base directory must
    // not lead discovery here.
    decoy_.add_fixture("second", "satori.dll");
    decoy_.write("descript.txt", "shiori,satori.dll\r\n");
    saved_directory_ = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(decoy_.path().c_str()), 0);
  }
  void TearDown() override {
    if (saved_directory_ != nullptr) {
      EXPECT_EQ(chdir(saved_directory_), 0);
    }
    std::free(saved_directory_);
  }

  // Walks every failure point of `directory`'s sequence; returns how many.
  int walk(const std::string& directory) {
    long calls[faults::call_kinds + 1] = {};
    const Outcome clean = run_sequence(directory, 0, 0, calls);
    EXPECT_EQ(clean.loaded, 1);
    EXPECT_EQ(clean.reply, plugin_reply("from recording"));
    int walked = 0;
    for (int kind = 0; kind <= allocation_kind; ++kind) {
      EXPECT_GT(calls[kind], 0) << kind_names[kind];
      for (long nth = 1; nth <= calls[kind]; ++nth) {
        FixtureLog log;
        check_failure_point(directory, log, kind, nth, walked);
      }
    }
    std::printf("walked %d failure points:", walked);
    for (int kind = 0; kind <= allocation_kind; ++kind) std::printf(" %s %ld;", kind_names[kind], calls[kind]);
    std::printf("\n");
    return walked;
  }

  TempDir decoy_;
  char* saved_directory_ = nullptr;
};

TEST_F(FaultInjection, BackendNamedBySettingsFile) {
  TempDir dir;
  dir.add_fixture("recording", "backend.so");
  dir.write("descript.txt", "name,test\r\nshiori,backend.so\r\n");
  EXPECT_GT(walk(dir.base()), 20);
}

TEST_F(FaultInjection, BackendFoundByFallbackName) {
  TempDir dir;
  dir.add_fixture("recording", "aya.dll");
  // Read, but names no backend: the fallback list decides.
  dir.write("alias.txt", "name,test\r\n");
  EXPECT_GT(walk(dir.base()), 20);
}

}  // namespace
