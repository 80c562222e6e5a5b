#include "common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// mkstemp creates the file for its owner only; outputs get the usual
// permissions of a new file instead.
mode_t current_umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Flushes the file to the disk and closes it; false on any failure.
bool finish_writing(output_file* out) {
    bool ok = !out->failed && std::fflush(out->file.get()) == 0 && fsync(fileno(out->file.get())) == 0;
    return std::fclose(out->file.release()) == 0 && ok;
}

// Renames `from` to `to` unless `to` exists, in one step: a rename that
// never replaces, or where the file system has none, a hard link (which
// fails on an existing name) and the removal of the old name.
int rename_without_replacing(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return OUTPUT_COMMITTED;
    if (errno == EEXIST) return OUTPUT_NAME_TAKEN;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return OUTPUT_COMMIT_FAILED;
    if (link(from, to) != 0) return errno == EEXIST ? OUTPUT_NAME_TAKEN : OUTPUT_COMMIT_FAILED;
    unlink(from);
    return OUTPUT_COMMITTED;
}

}  // namespace

output_file::~output_file() { output_file_abort(this); }

bool output_file_open(output_file* out, const std::string& path) {
    output_file_abort(out);
    out->path = path;
    out->temp = path + ".partXXXXXX";
    out->failed = false;
    int fd = mkstemp(out->temp.data());
    if (fd < 0) {
        out->temp.clear();
        return false;
    }
    fchmod(fd, 0666 & ~current_umask());
    out->file.reset(fdopen(fd, "wb"));
    if (!out->file) {
        close(fd);
        unlink(out->temp.c_str());
        out->temp.clear();
        return false;
    }
    return true;
}

bool output_file_write(output_file* out, const void* bytes, std::size_t n) {
    if (!out->file) return false;
    if (n > 0 && std::fwrite(bytes, 1, n, out->file.get()) != n) out->failed = true;
    return !out->failed;
}

bool output_file_commit(output_file* out) {
    if (!out->file) return false;
    if (finish_writing(out) && std::rename(out->temp.c_str(), out->path.c_str()) == 0) {
        out->temp.clear();
        return true;
    }
    output_file_abort(out);
    return false;
}

int output_file_commit_new(output_file* out) {
    if (!out->file) return OUTPUT_COMMIT_FAILED;
    const int result =
        finish_writing(out) ? rename_without_replacing(out->temp.c_str(), out->path.c_str()) : OUTPUT_COMMIT_FAILED;
    if (result == OUTPUT_COMMITTED) {
        out->temp.clear();
    } else {
        output_file_abort(out);
    }
    return result;
}

void output_file_abort(output_file* out) {
    out->file.reset();
    if (!out->temp.empty()) {
        unlink(out->temp.c_str());
        out->temp.clear();
    }
}

bool output_file_save(const std::string& path, const void* bytes, std::size_t n) {
    output_file out;
    return output_file_open(&out, path) && output_file_write(&out, bytes, n) && output_file_commit(&out);
}
