// What a host pays for a request through the module, against calling the
// backend directly with the same traffic, and what reading a settings file
// costs beside one plain read of it. The C library's allocator runs at its
// defaults, as it does in every host: no tunables, no allocator settings.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "files/settings_file.h"

// Every heap call of the process (host, module and backend alike) passes
// through here on its way to the C library's own allocator, so that the
// benchmarks can count allocations and, for one request at a time, follow
// the live heap. Counting costs an increment; following the live heap is
// switched on only outside the timed loops.
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* memory, std::size_t size);
extern "C" void __libc_free(void* memory);

namespace {

struct HeapWatch {
  long allocations = 0;
  bool following = false;
  long long live = 0, peak = 0, start = 0;

  void start_peak() {
    live = peak = start = 0;
    following = true;
  }
  long long stop_peak() {
    following = false;
    return peak - start;
  }
  void allocated(void* memory) {
    ++allocations;
    if (following && memory != nullptr) {
      live += static_cast<long long>(malloc_usable_size(memory));
      if (live > peak) peak = live;
    }
  }
  void freeing(void* memory) {
    if (following && memory != nullptr) live -= static_cast<long long>(malloc_usable_size(memory));
  }
};
HeapWatch heap_watch;

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  void* memory = __libc_malloc(size);
  heap_watch.allocated(memory);
  return memory;
}
void* calloc(std::size_t count, std::size_t size) {
  void* memory = __libc_calloc(count, size);
  heap_watch.allocated(memory);
  return memory;
}
void* realloc(void* memory, std::size_t size) {
  heap_watch.freeing(memory);
  void* moved = __libc_realloc(memory, size);
  heap_watch.allocated(moved);
  return moved;
}
void free(void* memory) {
  heap_watch.freeing(memory);
  __libc_free(memory);
}
}  // extern "C"

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

// A build of the module, opened once, with folders of its own: a backend
// file is bound by one module at a time.
struct ModuleUnderTest {
  void* handle = nullptr;
  LoadEntry load = nullptr;
  RequestEntry request = nullptr;
  UnloadEntry unload = nullptr;
  std::string ascii_dir, shift_jis_dir;

  void open(const std::string& path) {
    handle = open_or_throw(path);
    load = entry<LoadEntry>(handle, "load");
    request = entry<RequestEntry>(handle, "request");
    unload = entry<UnloadEntry>(handle, "unload");
  }
  ~ModuleUnderTest() {
    if (handle == nullptr) return;
    unload();
    dlclose(handle);
  }
};

// Directories the benchmarks run in, made once and removed at exit.
struct Workspace {
  fs::path root;
  std::string fallback_dir;
  ModuleUnderTest module;
  // Another build of the module (QB_BENCH_COMPARE_MODULE), measured in the
  // same run with the same traffic.
  ModuleUnderTest compared;

  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "quillbridge-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
    module.ascii_dir = make_dir("ascii", "echo.dll", "x");
    module.shift_jis_dir = make_dir("shift_jis", "echo.dll", shift_jis_text);
    // No settings file: discovery walks the whole list to its last name.
    fallback_dir = make_dir("fallback", "psyche.dll", "x");
    fs::remove(fs::path(fallback_dir) / "descript.txt");
    module.open(QB_MODULE_PATH);
    if (const char* other = std::getenv("QB_BENCH_COMPARE_MODULE"); other != nullptr && *other) {
      compared.ascii_dir = make_dir("compared_ascii", "echo.dll", "x");
      compared.shift_jis_dir = make_dir("compared_shift_jis", "echo.dll", shift_jis_text);
      compared.open(other);
    }
  }

  ~Workspace() {
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

int load_module_for(const ModuleUnderTest& module, const std::string& directory) {
  return module.load(host_block(directory), static_cast<long>(directory.size()));
}

// What a host reads of a reply: its header lines, up to the empty one, for
// the value of the header it asked for ("Result" from the plug-in,
// "Sentence" from a backend called directly).
std::string_view host_read(std::string_view reply, std::string_view key) {
  std::string_view value;
  for (std::size_t line = reply.find("\r\n"); line != std::string_view::npos;) {
    line += 2;
    const std::size_t line_end = reply.find("\r\n", line);
    const std::string_view header = reply.substr(line, line_end - line);
    if (header.empty()) break;
    if (header.size() >= key.size() + 2 && header.substr(0, key.size()) == key &&
        header.substr(key.size(), 2) == ": ")
      value = header.substr(key.size() + 2);
    line = line_end;
  }
  return value;
}

// One request as a host makes it: copy the text into a block, call, copy the
// reply out (into a buffer the host keeps), free the reply block and read
// the reply for the value of `key`.
std::string_view host_call(RequestEntry entry, const std::string& text, std::string& reply_copy,
                           std::string_view key) {
  long length = static_cast<long>(text.size());
  char* reply = entry(host_block(text), &length);
  reply_copy.assign(reply, static_cast<std::size_t>(length));
  std::free(reply);
  const std::string_view value = host_read(reply_copy, key);
  benchmark::DoNotOptimize(value.data());
  return value;
}

// Times `entry` on `text` and reports, beside the time, what each request
// costs the process: heap allocations, minor page faults (counted over the
// timed iterations) and the most heap held at once during one request, as a
// multiple of the request's size.
void run_requests(benchmark::State& state, RequestEntry entry, const std::string& text,
                  std::string_view key) {
  std::string reply_copy;
  reply_copy.reserve(2 * text.size() + 4096);
  // Warm up, size the reply buffer, and make sure the answer arrives.
  if (host_call(entry, text, reply_copy, key).empty()) state.SkipWithError("no answer");

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const long allocations_before = heap_watch.allocations;
  for (auto _ : state) host_call(entry, text, reply_copy, key);
  const long allocations = heap_watch.allocations - allocations_before;
  getrusage(RUSAGE_SELF, &after);

  heap_watch.start_peak();
  host_call(entry, text, reply_copy, key);
  const double peak = static_cast<double>(heap_watch.stop_peak());

  const auto per_request = benchmark::Counter::kAvgIterations;
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations), per_request);
  state.counters["faults"] =
      benchmark::Counter(static_cast<double>(after.ru_minflt - before.ru_minflt), per_request);
  state.counters["peak_heap"] = peak / static_cast<double>(text.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The backend called straight from the host, with the same traffic: what a
// relay is measured against.
struct DirectBackend {
  void* module;
  RequestEntry request;
  DirectBackend() : module(open_or_throw(workspace().module.ascii_dir + "echo.dll")) {
    const std::string directory = workspace().module.ascii_dir;
    entry<LoadEntry>(module, "load")(host_block(directory), static_cast<long>(directory.size()));
    request = entry<RequestEntry>(module, "request");
  }
  ~DirectBackend() {
    entry<UnloadEntry>(module, "unload")();
    dlclose(module);
  }
};

// The module and the folder to run in: the built one, or with `compared`
// the other build named by QB_BENCH_COMPARE_MODULE.
enum class Build { built, compared };
const ModuleUnderTest& module_for(Build build) {
  return build == Build::built ? workspace().module : workspace().compared;
}

void run_round_trip(benchmark::State& state, Build build, bool shift_jis, const std::string& text) {
  const ModuleUnderTest& module = module_for(build);
  if (load_module_for(module, shift_jis ? module.shift_jis_dir : module.ascii_dir) == 0)
    state.SkipWithError("load failed");
  run_requests(state, module.request, text, "Result");
}

void run_direct_call(benchmark::State& state, const std::string& text) {
  DirectBackend backend;
  run_requests(state, backend.request, text, "Sentence");
}

std::string sized_request(benchmark::State& state, const std::string& unit) {
  return plugin_request(1, static_cast<std::size_t>(state.range(0)), unit);
}

void BM_RoundTrip(benchmark::State& state, Build build) {
  run_round_trip(state, build, false, sized_request(state, "x"));
}

void BM_DirectCall(benchmark::State& state) { run_direct_call(state, sized_request(state, "x")); }

void BM_RoundTripShiftJis(benchmark::State& state, Build build) {
  run_round_trip(state, build, true, sized_request(state, shift_jis_text));
}

void BM_DirectCallShiftJis(benchmark::State& state) {
  run_direct_call(state, sized_request(state, shift_jis_text));
}

// Arguments of 64 bytes each: cost should grow with their count, not faster.
std::string arguments_request(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  return plugin_request(count, 55 + count * (16 + 64), "x");
}

void BM_RoundTripArguments(benchmark::State& state, Build build) {
  run_round_trip(state, build, false, arguments_request(state));
}

void BM_DirectCallArguments(benchmark::State& state) {
  run_direct_call(state, arguments_request(state));
}

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

// Every line of a settings file kept as a text of its own.
struct LineList final : files::LineVisitor {
  bool visit_line(std::string& line) override {
    lines.push_back(std::move(line));
    return true;
  }
  std::vector<std::string> lines;
};

void BM_ReadLines(benchmark::State& state) {
  const fs::path path = settings_file(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    LineList read;
    files::read_lines(path.string(), read);
    benchmark::DoNotOptimize(read.lines.data());
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
    if (load_module_for(space.module, space.fallback_dir) == 0) state.SkipWithError("load failed");
    space.module.unload();
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

// Every case, in the order they run: each request family through the
// module, then (when QB_BENCH_COMPARE_MODULE names another build) the same
// traffic through that build right after it, then the direct call.
void register_cases(bool with_compared) {
  using Relay = void (*)(benchmark::State&, Build);
  using Direct = void (*)(benchmark::State&);
  const struct {
    const char* name;
    Relay relay;
    const char* direct_name;
    Direct direct;
    std::vector<std::int64_t> args;
  } families[] = {
      {"BM_RoundTrip", BM_RoundTrip, "BM_DirectCall", BM_DirectCall,
       {64, 256, KiB, 4 * KiB, 16 * KiB, 64 * KiB, 256 * KiB, MiB}},
      {"BM_RoundTripShiftJis", BM_RoundTripShiftJis, "BM_DirectCallShiftJis",
       BM_DirectCallShiftJis, {64 * KiB}},
      {"BM_RoundTripArguments", BM_RoundTripArguments, "BM_DirectCallArguments",
       BM_DirectCallArguments, {0, 1, 10, 100}},
  };
  for (const auto& family : families) {
    for (const std::int64_t arg : family.args) {
      benchmark::RegisterBenchmark(family.name, family.relay, Build::built)->Arg(arg);
      if (with_compared)
        benchmark::RegisterBenchmark((std::string(family.name) + "Compared").c_str(),
                                     family.relay, Build::compared)->Arg(arg);
    }
    for (const std::int64_t arg : family.args)
      benchmark::RegisterBenchmark(family.direct_name, family.direct)->Arg(arg);
  }
  for (const std::int64_t size : {KiB, 32 * KiB, MiB, 10 * MiB})
    benchmark::RegisterBenchmark("BM_ReadLines", BM_ReadLines)->Arg(size);
  for (const std::int64_t size : {KiB, 32 * KiB, MiB, 10 * MiB})
    benchmark::RegisterBenchmark("BM_FreadWhole", BM_FreadWhole)->Arg(size);
  benchmark::RegisterBenchmark("BM_LoadThroughFallbacks", BM_LoadThroughFallbacks);
  benchmark::RegisterBenchmark("BM_BindDirectly", BM_BindDirectly);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* compared = std::getenv("QB_BENCH_COMPARE_MODULE");
  register_cases(compared != nullptr && *compared != '\0');
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
