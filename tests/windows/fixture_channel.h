// How the fixture backends talk to the Windows test host. The host exe
// exports these functions; a fixture looks them up in the process's main
// module, so one fixture file serves every case and the host decides, per
// case, what the backend answers.
#pragma once

extern "C" {
// Reports one event of the fixture named `who` (its file name): "attach",
// "load" (bytes: the base directory), "request" (bytes: the request text),
// "unload", "detach-free" (FreeLibrary) or "detach-exit" (process exit).
using fixture_note_fn = void (*)(const char* who, const char* event, const char* bytes,
                                 long length);
// What the fixture's load returns.
using fixture_load_result_fn = int (*)();
// The reply bytes the fixture's request hands back (`*size` of them, copied
// into a block of exactly that size) and the count it reports (`*count`).
using fixture_reply_fn = const char* (*)(long* size, long* count);
}

#define QB_FIXTURE_NOTE "fixture_note"
#define QB_FIXTURE_LOAD_RESULT "fixture_load_result"
#define QB_FIXTURE_REPLY "fixture_reply"
