// Part files: what a run writes under a temporary name until it is complete (objects
// in a repository's ".tmp", restored files, the metadata file, an archive). A run told
// to end by SIGTERM or SIGINT (the module's shutdown sends SIGTERM first) removes them
// before it ends, so that only a kill -9 leaves any; those a repository sweeps
// (storage.h).
//
//   Fd fd = create_part_file(AT_FDCWD, path, path, O_WRONLY, 0600);
//   ... write, then link or rename it into place ...
//   forget_part_file(path);
#pragma once

#include "zvfd/io.h"

#include <sys/types.h>

#include <memory>
#include <string>

namespace zvfd {

// Creates `leaf` below the directory `dir` (AT_FDCWD: `leaf` is a path), never through
// a link and never over an existing name (O_CREAT|O_EXCL|O_NOFOLLOW are added to
// `flags`), and remembers it as `path` until forget_part_file. Throws Error naming
// `path`.
Fd create_part_file(int dir, const std::string& leaf, const std::string& path, int flags, mode_t mode);
// The file has been put in place or removed; it is no longer this run's to remove.
void forget_part_file(const std::string& path);

// A part file that is removed unless it has been put in place.
class PartFile {
public:
    explicit PartFile(std::string path);
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile();
    const std::string& path() const { return path_; }
    // Renames it to `final_path` and flushes the directory of that name.
    void commit_to(const std::string& final_path);

private:
    std::string path_;
    bool committed_ = false;
};

// `bytes` written as the part file "PATH.part" and flushed to the disk, to be put in
// place as `path`; Error naming `what` and the path when it cannot be written.
std::unique_ptr<PartFile> write_part(const std::string& path, const std::string& bytes, const std::string& what);

// From now on SIGTERM and SIGINT remove every part file this process remembers and
// then end it as the signal would have. Call once, before any thread starts; the
// threads started afterwards keep both signals blocked, and a program the run starts
// gets them unblocked (unblock_termination in the child).
void remove_part_files_on_termination();
// For a child process between fork and exec.
void unblock_termination();

}  // namespace zvfd
