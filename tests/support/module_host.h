// Test support: drives the built module exactly as a plug-in host does, in
// fresh temporary directories holding fixture backends.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "quillbridge-host/host_request.h"

namespace testing_support {

// A temporary directory, removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The directory as hosts pass it: with a trailing separator.
  std::string base() const { return path_.string() + "/"; }
  void write(const std::string& name, const std::string& bytes) const;
  // Copies the fixture backend `fixture` (e.g. "recording") in as `name`.
  void add_fixture(const std::string& fixture, const std::string& name) const;

 private:
  std::filesystem::path path_;
};

std::string read_file_bytes(const std::filesystem::path& path);

// One call received by a fixture backend, as its log recorded it.
struct FixtureEvent {
  std::string fixture;
  std::string event;
  std::string bytes;
  bool operator==(const FixtureEvent&) const = default;
};

// Points the fixtures' log and reply at files in a directory of its own,
// and reads the log back.
class FixtureLog {
 public:
  FixtureLog();
  ~FixtureLog();
  std::vector<FixtureEvent> events() const;
  // Only the events named `event`, in order.
  std::vector<std::string> bytes_of(const std::string& event) const;
  void set_reply(const std::string& reply) const;
  void set_mode(const std::string& mode) const;

 private:
  TempDir dir_;
};

// Collects what is written to standard error while it lives.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  std::string text();

 private:
  int saved_ = -1;
  TempDir dir_;
  bool restored_ = false;
};

// The built module, opened with dlopen and closed (really unloaded) at the end.
class ModuleHost {
 public:
  ModuleHost();
  ~ModuleHost();
  ModuleHost(const ModuleHost&) = delete;
  ModuleHost& operator=(const ModuleHost&) = delete;

  int load(const std::string& directory);
  int unload();
  std::string request(const std::string& text);
  void close();
  bool is_open() const { return handle_ != nullptr; }

  using LoadEntry = int (*)(char*, long);
  using UnloadEntry = int (*)();
  using RequestEntry = char* (*)(char*, long*);
  LoadEntry load_entry = nullptr;
  UnloadEntry unload_entry = nullptr;
  RequestEntry request_entry = nullptr;

 private:
  void* handle_ = nullptr;
};

// True while the module file is still mapped into the process.
bool module_is_resident();

// A block as a host hands it over: malloc'd, no NUL.
char* make_block(const std::string& bytes);

// A plug-in request carrying `arguments` as Argument0, Argument1, ..., as
// the host tool composes it.
using host_request::plugin_request;

// The reply the module gives for `sentence`.
std::string plugin_reply(const std::string& sentence);

}  // namespace testing_support

namespace testing_support {
// The Shift_JIS bytes of a UTF-8 text, converted by the system's converter
// so that the module's byte constants are checked against an independent source.
std::string to_shift_jis(const std::string& utf8);
}  // namespace testing_support
