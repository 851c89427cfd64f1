// The four things the stand-in archiver does: pack a file list into an archive with
// its metadata file, unpack an archive into a directory, list a metadata file and
// verify an archive's signature. Each returns the exit code: 0, or 100 when the data
// work succeeded but a packed file changed under it; failures throw zvfd::Error.
#pragma once

#include "zvfd_cli.h"

#include <string>
#include <vector>

namespace zvfd {

int run_backup(const Options& options, const Switches& switches, Output& out);
int run_restore(const Options& options, const Switches& switches, Output& out);
int run_list(const Options& options);
int run_verify(const Options& options);

// Runs a program without a shell, its output going where ours goes; returns its exit
// status, or -1 when it could not be started or did not exit normally.
int run_program(const std::vector<std::string>& argv);

// Hex SHA-256 of a key file, so a restore can tell that it was given the same key.
std::string key_digest(const std::string& path);

// Removes a file it stands for unless told it has been put in place.
class PartFile {
public:
    explicit PartFile(std::string path) : path_(std::move(path)) {}
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile();
    const std::string& path() const { return path_; }
    void commit_to(const std::string& final_path);

private:
    std::string path_;
    bool committed_ = false;
};

}  // namespace zvfd
