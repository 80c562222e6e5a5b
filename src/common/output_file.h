// A file written through a temporary file beside its final name: the final
// name is replaced only by output_file_commit, after every byte was written,
// so a failed or interrupted write never destroys an earlier file. An
// output_file that is dropped without a commit removes its temporary file.
#pragma once

#include <cstddef>
#include <string>

#include "common/handles.h"

struct output_file {
    std::string path;  // the final name
    std::string temp;  // the temporary file while open
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
