// Watches what a loaded module does with the system: every GlobalAlloc and
// GlobalFree (who allocated a block, who freed it), every LoadLibraryA,
// LoadLibraryExA and FreeLibrary, and every MessageBoxA call. It works by rewriting the
// module's import table, and it spreads to the modules that the watched
// module loads, so the backend fixtures are watched too.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace spy {

struct Block {
  HGLOBAL handle = nullptr;
  SIZE_T size = 0;
  std::string allocated_by;  // file name of the calling module
  std::string freed_by;      // empty while the block is live
};

struct BoxCall {
  HWND owner = nullptr;
  std::string text;
  std::string caption;
  UINT type = 0;
};

// One line of what happened, in order: "LoadLibraryA <path>",
// "LoadLibraryExA <path>" (with LOAD_WITH_ALTERED_SEARCH_PATH; other flags
// are named), "FreeLibrary <name>", "MessageBoxA called", "MessageBoxA
// returned", "box shown", "box destroyed", and the fixtures' "<name> <event>".
struct Event {
  std::string what;
  std::string bytes;  // payload, when the event has one
};

void watch(HMODULE module);

// The host's own blocks go through the ledger too.
HGLOBAL host_alloc(const std::string& bytes);
void host_free(HGLOBAL block);

void record(const std::string& what, const std::string& bytes = "");
void reset();

const std::vector<Block>& blocks();
const std::vector<BoxCall>& box_calls();
const std::vector<Event>& timeline();
// Frees of unknown handles and second frees of the same block.
const std::vector<std::string>& bad_frees();

// The latest record for a handle, or null.
const Block* find_block(HGLOBAL handle);
// Index of the first timeline event whose text is `what` at or after `from`;
// -1 when there is none.
int find_event(const std::string& what, int from = 0);

std::string module_name(HMODULE module);

}  // namespace spy
