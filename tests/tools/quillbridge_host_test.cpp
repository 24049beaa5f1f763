// quillbridge-host run as a user runs it: on the demo directory and on
// directories holding fixture backends, checking what it prints and the
// exit codes scripts rely on.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/module_host.h"

namespace {

using testing_support::FixtureLog;
using testing_support::TempDir;

struct HostRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string quoted(const std::string& word) {
  std::string text = "'";
  for (char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

// Runs the tool with `arguments`, feeding it `input` on standard input.
HostRun run_host(const std::vector<std::string>& arguments, const std::string& input = "") {
  TempDir io;
  io.write("in", input);
  std::string command = quoted(QB_HOST_PATH);
  for (const std::string& argument : arguments) command += " " + quoted(argument);
  command += " <" + quoted((io.path() / "in").string()) + " >" +
             quoted((io.path() / "out").string()) + " 2>" + quoted((io.path() / "err").string());
  HostRun run;
  const int status = std::system(command.c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = testing_support::read_file_bytes(io.path() / "out");
  run.err = testing_support::read_file_bytes(io.path() / "err");
  return run;
}

const std::string demo_reply =
    "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\n"
    "Result: Hello, World! This is the phrasebook backend.\r\n\r\n";

TEST(QuillbridgeHost, DemoRequestShowsRequestAndReplyWithLineEndsVisible) {
  const HostRun run = run_host({QB_MODULE_PATH, QB_DEMO_DIR, "greet", "World"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("= 1\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Argument0: greet\\r\\n\nArgument1: World\\r\\n\n\\r\\n\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("Result: Hello, World! This is the phrasebook backend.\\r\\n\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "");
}

TEST(QuillbridgeHost, RawPrintsTheReplyBytesAndNothingElse) {
  const HostRun run = run_host({"--raw", QB_MODULE_PATH, QB_DEMO_DIR, "greet", "World"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, demo_reply);
}

TEST(QuillbridgeHost, ArgumentsAfterTheFirstAreNeverTakenAsOptions) {
  const HostRun run = run_host({"--raw", QB_MODULE_PATH, QB_DEMO_DIR, "add", "--raw", "-1"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Result: --raw and -1 make a pair."), std::string::npos) << run.out;
  const HostRun check_word = run_host({QB_MODULE_PATH, QB_DEMO_DIR, "add", "--check", "x"});
  EXPECT_NE(check_word.out.find("Result: --check and x make a pair."), std::string::npos)
      << check_word.out;
}

TEST(QuillbridgeHost, RequestFileAndStandardInputAreSentByteForByte) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  const std::string request =
      "EXECUTE SAORI/1.0\r\nArgument0: \x95\x5C\x8E\xA6\r\nArgument1: b\xFF\r\n\r\n";
  const std::string sent_on =
      "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n"
      "Event: \x95\x5C\x8E\xA6\r\nReference0: b\xFF\r\n\r\n";
  dir.write("request.txt", request);

  const HostRun from_file = run_host({"--sjis", QB_MODULE_PATH, dir.base(), "-f",
                                  (dir.path() / "request.txt").string()});
  const HostRun from_stdin = run_host({"--raw", QB_MODULE_PATH, dir.base(), "--request", "-"}, request);
  EXPECT_EQ(from_file.status, 0) << from_file.err;
  EXPECT_EQ(from_stdin.status, 0) << from_stdin.err;
  EXPECT_EQ(log.bytes_of("request"), (std::vector<std::string>{sent_on, sent_on}));
  EXPECT_EQ(from_stdin.out, testing_support::plugin_reply("from recording"));
}

TEST(QuillbridgeHost, NonAsciiBytesAreEscapedOrShownAsShiftJis) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  // "Hyouji" (two characters, the first with a 0x5C second byte), then a
  // byte that begins no character, then a control byte.
  log.set_reply("SHIORI/2.5 200 OK\r\nSentence: \x95\x5C\x8E\xA6\xFF\x01\r\n\r\n");

  const HostRun escaped = run_host({QB_MODULE_PATH, dir.base(), "x"});
  const HostRun converted = run_host({"--sjis", QB_MODULE_PATH, dir.base(), "x"});
  EXPECT_NE(escaped.out.find("Result: \\x95\\\\x8E\\xA6\\xFF\\x01\\r\\n\n"), std::string::npos)
      << escaped.out;
  EXPECT_NE(converted.out.find("Result: \xE8\xA1\xA8\xE7\xA4\xBA\\xFF\\x01\\r\\n\n"),
            std::string::npos)
      << converted.out;
}

TEST(QuillbridgeHost, SjisSendsTypedUtf8AsShiftJisAndShowsMessagesConverted) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  // "Sekai" typed in UTF-8, on the command line and on a typed line.
  const std::string sekai_utf8 = "\xE4\xB8\x96\xE7\x95\x8C";
  const std::string sekai_sjis = "\x90\xA2\x8A\x45";
  EXPECT_EQ(run_host({"--sjis", QB_MODULE_PATH, dir.base(), "hello", sekai_utf8}).status, 0);
  EXPECT_EQ(run_host({"--sjis", "-i", QB_MODULE_PATH, dir.base()}, "hello " + sekai_utf8 + "\n")
                .status,
            0);
  const std::string sent_on = "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\n"
                              "Charset: Shift_JIS\r\nEvent: hello\r\nReference0: " +
                              sekai_sjis + "\r\n\r\n";
  EXPECT_EQ(log.bytes_of("request"), (std::vector<std::string>{sent_on, sent_on}));

  // Text Shift_JIS cannot write is refused before anything is sent.
  const HostRun emoji = run_host({"--sjis", QB_MODULE_PATH, dir.base(), "\xF0\x9F\x98\x80"});
  EXPECT_EQ(emoji.status, 2);
  EXPECT_NE(emoji.err.find("Shift_JIS can write; nothing was sent"), std::string::npos) << emoji.err;
  EXPECT_EQ(log.bytes_of("request").size(), 2u);

  // The module's own message, Shift_JIS on standard error, arrives as UTF-8
  // ("Shiori ga mitsukarimasen deshita"), before the tool's own line.
  TempDir empty;
  const HostRun not_found = run_host({"--sjis", QB_MODULE_PATH, empty.base(), "x"});
  EXPECT_EQ(not_found.status, 1);
  const std::size_t message = not_found.err.find(
      "error - Quillbridge.dll: \xE6\xA0\x9E\xE3\x81\x8C\xE8\xA6\x8B\xE3\x81\xA4");
  EXPECT_NE(message, std::string::npos) << not_found.err;
  EXPECT_LT(message, not_found.err.find("quillbridge-host: the module's load returned 0"));
}

TEST(QuillbridgeHost, InteractiveModeSendsOneRequestPerLine) {
  const HostRun run = run_host({"-i", "--raw", QB_MODULE_PATH, QB_DEMO_DIR},
                           "greet World\n\n   \nadd\tA B\tC\r\nversion\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, demo_reply +
                         "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\n"
                         "Result: A B and C make a pair.\r\n\r\n"
                         "SAORI/1.0 200 OK\r\nCharset: Shift_JIS\r\nResult: phrasebook 1.0\r\n\r\n");
}

TEST(QuillbridgeHost, LoadReturningZeroExitsWithOneAndSendsNothing) {
  FixtureLog log;
  TempDir empty;
  const HostRun not_found = run_host({QB_MODULE_PATH, empty.base(), "greet"});
  EXPECT_EQ(not_found.status, 1);
  EXPECT_NE(not_found.err.find("error - Quillbridge.dll: "), std::string::npos);
  EXPECT_NE(not_found.err.find("load returned 0"), std::string::npos) << not_found.err;
  EXPECT_EQ(not_found.out.find("--- request"), std::string::npos) << not_found.out;

  TempDir refusing;
  refusing.add_fixture("refusing", "shiori.dll");
  EXPECT_EQ(run_host({QB_MODULE_PATH, refusing.base(), "greet"}).status, 1);
  EXPECT_TRUE(log.bytes_of("request").empty());
}

TEST(QuillbridgeHost, UnusableModuleFilesExitWithThreeAndSayWhy) {
  TempDir dir;
  dir.write("notes.dll", "MZ this is no module");
  dir.add_fixture("no_unload", "partial.so");

  const HostRun missing = run_host({(dir.path() / "absent.so").string(), dir.base()});
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("no module file at"), std::string::npos) << missing.err;

  const HostRun not_module = run_host({(dir.path() / "notes.dll").string(), dir.base()});
  EXPECT_EQ(not_module.status, 3);
  EXPECT_NE(not_module.err.find("is not a module"), std::string::npos) << not_module.err;
  EXPECT_NE(not_module.err.find("Windows DLL"), std::string::npos) << not_module.err;

  const HostRun directory = run_host({dir.path().string(), dir.base()});
  EXPECT_EQ(directory.status, 3);
  EXPECT_NE(directory.err.find("is a directory"), std::string::npos) << directory.err;

  const HostRun partial = run_host({(dir.path() / "partial.so").string(), dir.base()});
  EXPECT_EQ(partial.status, 3);
  EXPECT_NE(partial.err.find("does not export unload"), std::string::npos) << partial.err;

  // Loading a pipe would wait for a writer forever, in either mode.
  ASSERT_EQ(::mkfifo((dir.path() / "pipe.dll").c_str(), 0600), 0);
  const HostRun pipe = run_host({(dir.path() / "pipe.dll").string(), dir.base()});
  EXPECT_EQ(pipe.status, 3);
  EXPECT_NE(pipe.err.find("is not a module"), std::string::npos) << pipe.err;
  dir.write("descript.txt", "shiori,pipe.dll\r\n");
  const HostRun check = run_host({"--check", dir.base()});
  EXPECT_EQ(check.status, 1) << check.out;
  EXPECT_NE(check.out.find("\"pipe.dll\" is not a file in the folder"), std::string::npos)
      << check.out;
}

// Each way a backend's reply ends up as an empty result, and the one way
// it does not: --check must tell them apart by what it says and its exit
// code, and must have sent exactly what the module sends.
TEST(QuillbridgeHost, CheckNamesWhyAReplyGaveNoSentence) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  struct Case {
    std::string reply;
    int status;
    std::string said;
  };
  const Case cases[] = {
      {"SHIORI/2.5 200 OK\r\nTo: \r\nSentence: hi\r\n\r\n", 3,
       "line 2: the header \"To\" has an empty value"},
      {"SHIORI/2.5 200 OK\r\nsentence: hi\r\n\r\n", 3, "Line 2 has the key \"sentence\""},
      {"SHIORI/2.5 204 No Content\r\n\r\n", 3, "no answer for this event"},
      {"SHIORI/2.5 200 OK\r\nX: 1\r\nnoise\r\nSentence: hi\r\n\r\n", 3,
       "Lines 3 to 4 were read as the one key"},
      {"SHIORI/2.5 500 Internal Server Error\r\nSentence: a\r\nSentence: b\r\n\r\n", 0,
       "Sentence: \"b\", from the Sentence header on line 3"},
  };
  for (const Case& c : cases) {
    log.set_reply(c.reply);
    const HostRun run = run_host({"--check", dir.base(), "greet", "-x"});
    EXPECT_EQ(run.status, c.status) << c.reply << run.out << run.err;
    EXPECT_NE(run.out.find(c.said), std::string::npos) << run.out;
  }
  const std::string sent =
      "GET Sentence SHIORI/2.5\r\nSender: Quillbridge\r\nCharset: Shift_JIS\r\n"
      "Event: greet\r\nReference0: -x\r\n\r\n";
  EXPECT_EQ(log.bytes_of("request"), std::vector<std::string>(std::size(cases), sent));

  TempDir empty;
  EXPECT_EQ(run_host({"--check", empty.base(), "greet"}).status, 1);
  EXPECT_EQ(run_host({"--check", (empty.path() / "absent").string()}).status, 2);
}

// Which form --check asks in and why: a 400 to the 2.5 request brings the
// 3.0 one, whose Value is the result; a "shiori.protocol" line fixes the
// form, or is ignored with a value Quillbridge does not know; a 204 to the
// 2.5 request points at that line; a 400 to the form the line asks for
// says what to change.
TEST(QuillbridgeHost, CheckSaysWhichFormItAsksInAndWhy) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  struct Case {
    std::string settings;  // descript.txt after its "shiori" line
    std::string mode;
    int status;
    std::size_t requests;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"", "engine-3.0", 0, 2,
       {"answered the SHIORI/2.5 request with 400 Bad Request",
        "request in the SHIORI/3.0 form", "ID: greet\\r\\n",
        "Result: \"greet/x\", from the Value header on line 3."}},
      {"", "engine-id-only", 3, 1, {"204 No Content", "put the line shiori.protocol,SHIORI/3.0"}},
      {"shiori.protocol,SHIORI/3.0\r\n", "engine-id-only", 0, 1,
       {"line 2 fixes the form", "in the SHIORI/3.0 form only, as descript.txt line 2 says",
        "Result: \"greet/x\", from the Value header"}},
      {"shiori.protocol,SHIORI/3.0\r\n", "engine-2.x", 3, 1,
       {"speaks only SHIORI/2.x. Remove the line"}},
      {"shiori.protocol,3.0\r\n", "engine-3.0", 0, 2, {"so it ignores the line", "Value header"}},
      {"", "", 3, 2, {"400 Bad Request to both forms"}},
  };
  log.set_reply("SHIORI/3.0 400 Bad Request\r\nCharset: UTF-8\r\n\r\n");
  std::size_t requests = 0;
  for (const Case& c : cases) {
    dir.write("descript.txt", "shiori,shiori.dll\r\n" + c.settings);
    log.set_mode(c.mode);
    const HostRun run = run_host({"--check", dir.base(), "greet", "x"});
    EXPECT_EQ(run.status, c.status) << c.mode << "\n" << run.out << run.err;
    for (const std::string& said : c.said)
      EXPECT_NE(run.out.find(said), std::string::npos) << said << "\n" << run.out;
    requests += c.requests;
    EXPECT_EQ(log.bytes_of("request").size(), requests) << c.mode << "\n" << run.out;
  }
}

// A backend that crashes, aborts, exits or hangs in one of its calls: the
// check still ends, keeps (in its output file) every step said before, says
// in which call and how the backend died, relays the backend's last words as
// they came (converted with --sjis, its characters cut between writes), and
// exits with 4. The plain modes say the same of the module in one line.
TEST(QuillbridgeHost, CheckSurvivesABackendThatCrashesOrHangs) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  // A sanitizer build would otherwise turn the crash into an exit of its own.
  const char* sanitizer_options = std::getenv("ASAN_OPTIONS");
  const std::string kept = sanitizer_options != nullptr ? sanitizer_options : "";
  ::setenv("ASAN_OPTIONS", (kept + ":handle_segv=0:handle_abort=0").c_str(), 1);
  const std::string goodbye = "fixture: \xE3\x81\x95\xE3\x82\x88\xE3\x81\x86\xE3\x81\xAA\xE3\x82\x89\n";
  struct Case {
    std::string mode;
    std::string before;  // the last step said before the backend was called
    std::string said;
    std::string plain;   // what the plain mode says; empty: not run (it has no time limit)
  };
  const Case cases[] = {
      {"crash-load", "It exports load, request and unload.", "(SIGSEGV) in its load.",
       "crashed with signal 11 (SIGSEGV) in its load"},
      {"abort-load", "It exports load, request and unload.", "(SIGABRT) in its load.", ""},
      {"hang-load", "It exports load, request and unload.", "still in its load after 1 s", ""},
      {"crash-request", "Event: greet\\r\\n", "(SIGSEGV) in its request.", ""},
      {"abort-request", "Event: greet\\r\\n", "(SIGABRT) in its request.",
       "crashed with signal 6 (SIGABRT) in its request"},
      {"exit-request", "Event: greet\\r\\n", "ended the process with exit code 3 in its request.",
       "ended the process with exit code 3 in its request"},
      {"hang-request", "Event: greet\\r\\n", "still in its request after 1 s", ""},
      {"hang-unload", "Sentence: \"from recording\"",
       "still in its unload, or freeing its file (its clean-up runs then) after 1 s", ""},
  };
  for (const Case& c : cases) {
    log.set_mode(c.mode);
    const HostRun run = run_host({"--sjis", "--timeout", "1", "--check", dir.base(), "greet"});
    EXPECT_EQ(run.status, 4) << c.mode << "\n" << run.out << run.err;
    const std::size_t before = run.out.find(c.before);
    EXPECT_NE(before, std::string::npos) << c.mode << "\n" << run.out;
    EXPECT_GT(run.out.find(c.said), before) << c.mode << "\n" << run.out;
    EXPECT_NE(run.err.find(goodbye), std::string::npos) << c.mode << "\n" << run.err;
    if (c.plain.empty()) continue;
    const HostRun plain = run_host({"--sjis", QB_MODULE_PATH, dir.base(), "greet"});
    EXPECT_EQ(plain.status, 4) << c.mode << "\n" << plain.err;
    const std::size_t words = plain.err.find(goodbye);
    EXPECT_NE(words, std::string::npos) << c.mode << "\n" << plain.err;
    EXPECT_GT(plain.err.find("quillbridge-host: the module " + c.plain), words) << plain.err;
  }
  if (sanitizer_options != nullptr)
    ::setenv("ASAN_OPTIONS", kept.c_str(), 1);
  else
    ::unsetenv("ASAN_OPTIONS");

  // A backend whose exit-time clean-up never returns: nothing runs it once
  // the last call has returned, in any mode.
  log.set_mode("hang-exit");
  const auto started = std::chrono::steady_clock::now();
  const HostRun checked = run_host({"--timeout", "1", "--check", dir.base(), "greet"});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(run_host({"--raw", QB_MODULE_PATH, dir.base(), "greet"}).out,
            testing_support::plugin_reply("from recording"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

// Killed while the backend hangs, the tool takes the process running the
// backend with it: the pipe on its standard output, which that process
// holds too, closes.
TEST(QuillbridgeHost, NoBackendOutlivesTheTool) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  log.set_mode("hang-request");
  const std::vector<std::vector<std::string>> runs = {
      {QB_MODULE_PATH, dir.base(), "greet"}, {"--check", "--timeout", "0", dir.base(), "greet"}};
  for (std::size_t run = 0; run < runs.size(); ++run) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t tool = ::fork();
    if (tool == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv = {const_cast<char*>(QB_HOST_PATH)};
      for (const std::string& word : runs[run]) argv.push_back(const_cast<char*>(word.c_str()));
      argv.push_back(nullptr);
      ::execv(QB_HOST_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    for (int i = 0; i < 1000 && log.bytes_of("request").size() <= run; ++i) ::usleep(10000);
    ::usleep(300000);  // its goodbye written, it writes nothing more that could end it
    ::kill(tool, run == 0 ? SIGKILL : SIGTERM);
    ::waitpid(tool, nullptr, 0);
    bool closed = false;
    char buffer[4096];
    for (pollfd watched{out[0], POLLIN, 0}; !closed && ::poll(&watched, 1, 5000) > 0;)
      closed = ::read(out[0], buffer, sizeof buffer) <= 0;
    ::close(out[0]);
    EXPECT_TRUE(closed) << "the backend's process outlived the tool: " << runs[run][0];
  }
}

// The check before any request: a typo in the settings entry silently
// binds another DLL of the fallback list, and the check must say so; a
// folder whose backend is Quillbridge itself, or refuses to load, ends it.
TEST(QuillbridgeHost, CheckTellsWhichFileDiscoveryChoseAndWhy) {
  FixtureLog log;
  TempDir typo;
  typo.write("descript.txt", "Shiori,engine.dll\r\nshiori,engin.dll\r\n");
  typo.add_fixture("recording", "engine.dll");
  typo.add_fixture("second", "kawari.dll");
  const HostRun fallback = run_host({"--check", typo.base()});
  EXPECT_EQ(fallback.status, 0) << fallback.err;
  const std::vector<std::string> steps = {
      "line 2 names the backend \"engin.dll\"",
      "\"engin.dll\" is not a file in the folder",
      "Line 1 \"Shiori,engine.dll\" is passed over",
      "Fallback files absent: satori.dll, misaka.dll.",
      "Chosen: \"kawari.dll\", the first fallback",
      "load(\"" + typo.base() + "\") returned 1"};
  for (const std::string& said : steps)
    EXPECT_NE(fallback.out.find(said), std::string::npos) << said << "\n" << fallback.out;
  EXPECT_TRUE(log.bytes_of("request").empty()) << "no EVENT, so nothing is sent";

  TempDir itself;
  itself.write("descript.txt", "shiori,Quillbridge.dll\r\n");
  std::filesystem::copy_file(QB_MODULE_PATH, itself.path() / "Quillbridge.dll");
  const HostRun self = run_host({"--check", itself.base(), "greet"});
  EXPECT_EQ(self.status, 1);
  EXPECT_NE(self.out.find("It is Quillbridge itself"), std::string::npos) << self.out;

  TempDir refusing;
  refusing.add_fixture("refusing", "aya.dll");
  const HostRun refused = run_host({"--check", refusing.base(), "greet"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("returned 0"), std::string::npos) << refused.out;
  EXPECT_TRUE(log.bytes_of("request").empty());

  // A settings file saved with a byte order mark still names the backend
  // on its first line, and the check says that it saw the mark.
  TempDir marked;
  marked.write("descript.txt", "\xEF\xBB\xBFshiori,engine.dll\r\n");
  marked.add_fixture("recording", "engine.dll");
  const HostRun with_mark = run_host({"--check", marked.base()});
  EXPECT_EQ(with_mark.status, 0) << with_mark.out;
  EXPECT_NE(with_mark.out.find("begins with the bytes EF BB BF"), std::string::npos)
      << with_mark.out;
  EXPECT_NE(with_mark.out.find("line 1 names the backend \"engine.dll\""), std::string::npos)
      << with_mark.out;
}

// A file that will not bind: the check gives the loader's own reason, and
// names the exports of a module that speaks another interface.
TEST(QuillbridgeHost, CheckSaysWhyAFileDoesNotBind) {
  TempDir broken;
  broken.write("satori.dll", "MZ not a module");
  const HostRun unloadable = run_host({"--check", broken.base()});
  EXPECT_EQ(unloadable.status, 1);
  const std::size_t reason = unloadable.out.find("The system's loader says: ");
  ASSERT_NE(reason, std::string::npos) << unloadable.out;
  EXPECT_NE(unloadable.out.find("satori.dll", reason), std::string::npos) << unloadable.out;

  // Named after its file, as such modules are ("aosora_load" in libaosora.so).
  TempDir other;
  other.add_fixture("other_interface", "libother.so");
  other.write("descript.txt", "shiori,libother.so\r\n");
  const HostRun elsewhere = run_host({"--check", other.base(), "greet"});
  EXPECT_EQ(elsewhere.status, 1);
  const std::size_t named = elsewhere.out.find("It exports ");
  ASSERT_NE(named, std::string::npos) << elsewhere.out;
  const std::string line = elsewhere.out.substr(named, elsewhere.out.find('\n', named) - named);
  for (const char* name : {"other_load", "other_request", "other_unload", "so_create"})
    EXPECT_NE(line.find(name), std::string::npos) << name << "\n" << elsewhere.out;
  EXPECT_NE(elsewhere.out.find("another module interface"), std::string::npos) << elsewhere.out;

  // A module that merely lacks an entry names nothing of the kind.
  TempDir partial;
  partial.add_fixture("no_unload", "satori.dll");
  const HostRun lacking = run_host({"--check", partial.base()});
  EXPECT_EQ(lacking.status, 1);
  EXPECT_NE(lacking.out.find("does not export unload"), std::string::npos) << lacking.out;
  EXPECT_EQ(lacking.out.find("It exports "), std::string::npos) << lacking.out;
}

// A Sentence that carries tags of the ghost's script: the check says what
// they will do, and takes neither a trail byte 0x5C nor an escaped
// backslash for the start of a tag.
TEST(QuillbridgeHost, CheckSaysWhatScriptTagsInASentenceDo) {
  FixtureLog log;
  TempDir dir;
  dir.add_fixture("recording", "shiori.dll");
  struct Case {
    std::string sentence;
    bool switches_speaker;
    bool ends_script;
  };
  const Case cases[] = {
      {"\\1\\s[10]hi\\e", true, true},
      {"\\hhi", true, false},
      {"a\\eb", false, true},
      {"x\\1 \\\\e \x95\x5C" "e", false, false},
  };
  for (const Case& c : cases) {
    log.set_reply("SHIORI/3.0 200 OK\r\nSentence: " + c.sentence + "\r\n\r\n");
    const HostRun run = run_host({"--check", dir.base(), "greet"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("begins with the scope tag") != std::string::npos, c.switches_speaker)
        << run.out;
    EXPECT_EQ(run.out.find("the end of a script") != std::string::npos, c.ends_script) << run.out;
  }
}

TEST(QuillbridgeHost, UsageErrorsExitWithTwo) {
  EXPECT_EQ(run_host({}).status, 2);
  EXPECT_EQ(run_host({QB_MODULE_PATH}).status, 2);
  EXPECT_EQ(run_host({"--colour", QB_MODULE_PATH, QB_DEMO_DIR}).status, 2);
  EXPECT_EQ(run_host({QB_MODULE_PATH, QB_DEMO_DIR, "-f"}).status, 2);
  EXPECT_EQ(run_host({"-i", QB_MODULE_PATH, QB_DEMO_DIR, "greet"}).status, 2);
  const HostRun unreadable = run_host({QB_MODULE_PATH, QB_DEMO_DIR, "-f", "/nonexistent/request"});
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_NE(unreadable.err.find("cannot read the request file"), std::string::npos);
  const HostRun version = run_host({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("quillbridge-host ", 0), 0u) << version.out;
}

TEST(QuillbridgeHost, HelpFitsOnOneScreen) {
  const HostRun run = run_host({"--help"});
  EXPECT_EQ(run.status, 0);
  std::size_t lines = 0;
  for (char c : run.out) lines += c == '\n' ? 1 : 0;
  EXPECT_LE(lines, 24u);
  std::size_t widest = 0;
  for (std::size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
       start = end + 1)
    widest = std::max(widest, end - start);
  EXPECT_LE(widest, 80u);
  EXPECT_NE(run.out.find("Exit status"), std::string::npos);
}

}  // namespace
