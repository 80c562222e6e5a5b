// A file written through a temporary file beside its final name: the final
// name is replaced only by output_file_commit, after every byte was written,
// so a failed or interrupted write never destroys an earlier file. An
// output_file that is dropped without a commit removes its temporary file,
// and so does a run ended by SIGINT, SIGTERM or SIGHUP (temp_registry below).
#pragma once

#include <cstddef>
#include <string>

#include "common/handles.h"

struct output_file {
    std::string path;    // the final name
    std::string temp;    // the temporary file while open
    int temp_slot = -1;  // its entry in the temporary file registry
    file_ptr file;
    bool failed = false;
    ~output_file();
};

// Creates the temporary file; false when the folder cannot take it.
bool output_file_open(output_file* out, const std::string& path);
bool output_file_write(output_file* out, const void* bytes, std::size_t n);
// Flushes, closes and renames over the final name; false (and nothing
// changed under the final name) on any failure.
bool output_file_commit(output_file* out);
void output_file_abort(output_file* out);

// The outcomes of output_file_commit_new.
enum : int { OUTPUT_COMMITTED = 0, OUTPUT_NAME_TAKEN = 1, OUTPUT_COMMIT_FAILED = -1 };
// Flushes and closes like output_file_commit, then gives the file its final
// name only while no file of that name exists: the check and the naming are
// one step, so of two writers racing for a name one gets it and the other
// OUTPUT_NAME_TAKEN. The temporary file is gone afterwards in every case.
int output_file_commit_new(output_file* out);

// Open, write and commit in one call.
bool output_file_save(const std::string& path, const void* bytes, std::size_t n);

// ---- temporary files that an interrupted run removes ------------------------
// A table in fixed storage that a signal handler can walk. output_file
// registers each temporary file from its creation (signals held off until
// it is registered) until it is renamed or removed; any other writer of a
// temporary file registers its own the same way.
constexpr std::size_t TEMP_REGISTRY_SLOTS = 16;
// The slot of the registered path, or -1 when the table is full or the path
// too long (that file is then left behind by an interrupted run).
int temp_registry_add(const char* path);
// Forgets a slot, once its file is renamed or removed; -1 is ignored.
void temp_registry_remove(int slot);
// Handlers of SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl-C, Ctrl-Break,
// closing the console or the log window, logoff and shutdown) that remove
// every registered temporary file and end the process with exit status
// 128 + the signal number (platform_on_interrupt). A signal that the
// process started with ignored (nohup, a background job) stays ignored.
// `also`, when given, runs after the removal with the exit status, under
// the same rules (it may only write what it holds ready).
void temp_cleanup_on_signals(void (*also)(int status) = nullptr);
