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

// Open, write and commit in one call.
bool output_file_save(const std::string& path, const void* bytes, std::size_t n);
