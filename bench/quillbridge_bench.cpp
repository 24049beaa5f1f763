// What the module costs beside the copying any relay must do, and what
// reading a settings file costs beside one plain read of it.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <malloc.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "files/settings_file.h"

namespace {

namespace fs = std::filesystem;

using LoadEntry = int (*)(char*, long);
using RequestEntry = char* (*)(char*, long*);
using UnloadEntry = int (*)();

// Two-byte characters whose trail bytes include ':' and '\\', so that a scan
// that ignores the lead-byte rule would cut them.
constexpr const char shift_jis_text[] = "\x82\xA0\x95\x5C\x83\x3A\x88\x9F\x82\xE7\x8E\x9A";

void* open_or_throw(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
  return handle;
}

template <typename Entry>
Entry entry(void* handle, const char* name) {
  return reinterpret_cast<Entry>(dlsym(handle, name));
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Directories the benchmarks run in, made once and removed at exit.
struct Workspace {
  fs::path root;
  std::string ascii_dir, shift_jis_dir, fallback_dir;
  void* module = nullptr;
  LoadEntry load = nullptr;
  RequestEntry request = nullptr;
  UnloadEntry unload = nullptr;

  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "quillbridge-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
    ascii_dir = make_dir("ascii", "echo.dll", "x");
    shift_jis_dir = make_dir("shift_jis", "echo.dll", shift_jis_text);
    // No settings file: discovery walks the whole list to its last name.
    fallback_dir = make_dir("fallback", "psyche.dll", "x");
    fs::remove(fs::path(fallback_dir) / "descript.txt");
    module = open_or_throw(QB_MODULE_PATH);
    load = entry<LoadEntry>(module, "load");
    request = entry<RequestEntry>(module, "request");
    unload = entry<UnloadEntry>(module, "unload");
  }

  ~Workspace() {
    if (module != nullptr) {
      unload();
      dlclose(module);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  std::string make_dir(const std::string& name, const std::string& backend, const std::string& filler) {
    const fs::path dir = root / name;
    fs::create_directory(dir);
    fs::copy_file(QB_ECHO_BACKEND_PATH, dir / backend);
    write_file(dir / "filler.txt", filler);
    write_file(dir / "descript.txt", "charset,Shift_JIS\r\nshiori," + backend + "\r\n");
    return dir.string() + "/";
  }
};

Workspace& workspace() {
  static Workspace instance;
  return instance;
}

// A host block: malloc'd bytes without a NUL, as hosts hand them over.
char* host_block(const std::string& text) {
  char* block = static_cast<char*>(std::malloc(text.size()));
  std::memcpy(block, text.data(), text.size());
  return block;
}

std::string repeat_to(const std::string& unit, std::size_t size) {
  std::string text;
  text.reserve(size);
  while (text.size() + unit.size() <= size) text += unit;
  text.append(size - text.size(), 'x');
  return text;
}

// A plug-in request of `arguments` arguments whose whole text is about
// `size` bytes (never less than its headers need).
std::string plugin_request(std::size_t arguments, std::size_t size, const std::string& unit) {
  std::string text = "EXECUTE SAORI/1.0\r\nSender: bench\r\nCharset: Shift_JIS\r\n";
  const std::size_t frame = text.size() + 2 + arguments * 16;
  const std::size_t each = arguments == 0 || size <= frame ? 1 : (size - frame) / arguments;
  for (std::size_t i = 0; i < arguments; ++i)
    text += "Argument" + std::to_string(i) + ": " + repeat_to(unit, each) + "\r\n";
  return text + "\r\n";
}

int load_module_for(const std::string& directory) {
  Workspace& space = workspace();
  return space.load(host_block(directory), static_cast<long>(directory.size()));
}

void run_round_trip(benchmark::State& state, const std::string& text) {
  Workspace& space = workspace();
  for (auto _ : state) {
    long length = static_cast<long>(text.size());
    char* reply = space.request(host_block(text), &length);
    benchmark::DoNotOptimize(reply);
    std::free(reply);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The same traffic with the module taken out: the host block is copied
// straight into a block for the backend, and its reply into one for the host.
void run_copy_only(benchmark::State& state, const std::string& text) {
  void* backend = open_or_throw(workspace().ascii_dir + "echo.dll");
  const std::string directory = workspace().ascii_dir;
  entry<LoadEntry>(backend, "load")(host_block(directory), static_cast<long>(directory.size()));
  const RequestEntry backend_request = entry<RequestEntry>(backend, "request");
  for (auto _ : state) {
    char* from_host = host_block(text);
    long length = static_cast<long>(text.size());
    char* to_backend = static_cast<char*>(std::malloc(text.size()));
    std::memcpy(to_backend, from_host, text.size());
    std::free(from_host);
    char* from_backend = backend_request(to_backend, &length);
    char* to_host = static_cast<char*>(std::malloc(static_cast<std::size_t>(length)));
    std::memcpy(to_host, from_backend, static_cast<std::size_t>(length));
    std::free(from_backend);
    benchmark::DoNotOptimize(to_host);
    std::free(to_host);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  entry<UnloadEntry>(backend, "unload")();
  dlclose(backend);
}

void BM_RoundTrip(benchmark::State& state) {
  if (load_module_for(workspace().ascii_dir) == 0) state.SkipWithError("load failed");
  run_round_trip(state, plugin_request(1, static_cast<std::size_t>(state.range(0)), "x"));
}

void BM_CopyOnly(benchmark::State& state) {
  run_copy_only(state, plugin_request(1, static_cast<std::size_t>(state.range(0)), "x"));
}

void BM_RoundTripShiftJis(benchmark::State& state) {
  if (load_module_for(workspace().shift_jis_dir) == 0) state.SkipWithError("load failed");
  run_round_trip(state, plugin_request(1, static_cast<std::size_t>(state.range(0)), shift_jis_text));
}

void BM_CopyOnlyShiftJis(benchmark::State& state) {
  run_copy_only(state, plugin_request(1, static_cast<std::size_t>(state.range(0)), shift_jis_text));
}

// Arguments of 64 bytes each: cost should grow with their count, not faster.
std::string arguments_request(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  return plugin_request(count, 55 + count * (16 + 64), "x");
}

void BM_RoundTripArguments(benchmark::State& state) {
  if (load_module_for(workspace().ascii_dir) == 0) state.SkipWithError("load failed");
  run_round_trip(state, arguments_request(state));
}

void BM_CopyOnlyArguments(benchmark::State& state) { run_copy_only(state, arguments_request(state)); }

// A settings file of about `size` bytes: CR LF lines mixing ASCII and
// two-byte text, as real settings files do.
fs::path settings_file(std::size_t size) {
  const fs::path path = workspace().root / ("settings-" + std::to_string(size) + ".txt");
  if (fs::exists(path)) return path;
  std::string text;
  text.reserve(size + 64);
  for (std::size_t line = 0; text.size() < size; ++line)
    text += "entry" + std::to_string(line) + ",value " + shift_jis_text + ",end\r\n";
  text.resize(size);
  write_file(path, text);
  return path;
}

void BM_ReadLines(benchmark::State& state) {
  const fs::path path = settings_file(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::string> lines;
    files::read_lines(lines, path.string());
    benchmark::DoNotOptimize(lines.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// One fread of the whole file into a buffer made beforehand.
void BM_FreadWhole(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const fs::path path = settings_file(size);
  std::vector<char> buffer(size);
  for (auto _ : state) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const std::size_t got = std::fread(buffer.data(), 1, size, file);
    std::fclose(file);
    benchmark::DoNotOptimize(got);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// load with no settings file, finding the backend under the last fallback
// name, then unload; against binding that same file directly.
void BM_LoadThroughFallbacks(benchmark::State& state) {
  Workspace& space = workspace();
  for (auto _ : state) {
    if (load_module_for(space.fallback_dir) == 0) state.SkipWithError("load failed");
    space.unload();
  }
}

void BM_BindDirectly(benchmark::State& state) {
  const std::string directory = workspace().fallback_dir;
  const std::string path = directory + "psyche.dll";
  for (auto _ : state) {
    void* backend = open_or_throw(path);
    const auto load = entry<LoadEntry>(backend, "load");
    benchmark::DoNotOptimize(entry<RequestEntry>(backend, "request"));
    const auto unload = entry<UnloadEntry>(backend, "unload");
    load(host_block(directory), static_cast<long>(directory.size()));
    unload();
    dlclose(backend);
  }
}

constexpr std::int64_t KiB = 1024;
constexpr std::int64_t MiB = 1024 * KiB;

BENCHMARK(BM_RoundTrip)->RangeMultiplier(4)->Range(64, MiB);
BENCHMARK(BM_CopyOnly)->RangeMultiplier(4)->Range(64, MiB);
BENCHMARK(BM_RoundTripShiftJis)->Arg(64 * KiB);
BENCHMARK(BM_CopyOnlyShiftJis)->Arg(64 * KiB);
BENCHMARK(BM_RoundTripArguments)->Arg(0)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_CopyOnlyArguments)->Arg(0)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_ReadLines)->Arg(KiB)->Arg(32 * KiB)->Arg(MiB)->Arg(10 * MiB);
BENCHMARK(BM_FreadWhole)->Arg(KiB)->Arg(32 * KiB)->Arg(MiB)->Arg(10 * MiB);
BENCHMARK(BM_LoadThroughFallbacks);
BENCHMARK(BM_BindDirectly);

}  // namespace

int main(int argc, char** argv) {
  // Keep freed memory in the process: otherwise glibc hands large blocks back
  // to the system between iterations and both sides time page faults instead
  // of their own work, by amounts that depend on what ran before.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
