// What a backup or an addition leaves outside the repository once its record is
// stored: the archive file (autonomous mode), the metadata file and the signature,
// each written under a temporary name and put in place only when all are complete.
// Used by backup.cpp and add.cpp.
#pragma once

#include "zvfd/archive_file.h"
#include "zvfd/cli.h"

#include <string>
#include <vector>

namespace zvfd {

// The time of now as "YYYY-MM-DDTHH:MM:SSZ".
std::string now_text();

// Removes a file it stands for unless told it has been put in place.
class PartFile {
public:
    explicit PartFile(std::string path);
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile();
    const std::string& path() const { return path_; }
    void commit_to(const std::string& final_path);

private:
    std::string path_;
    bool committed_ = false;
};

// Throws Error for a signature (-g) without its signing key (--sign), before a run
// stores anything.
void check_signing(const Options& options);

// The record `encoded` has been stored. Finishes `archive` (written as `archive_part`,
// to become `archive_path`), writes the metadata file of "-m" when `meta_path` is not
// empty and, with "-g", signs the archive or (in server mode, where the metadata file
// names every block) the metadata file; then puts the new files in place.
void finish_outputs(const Options& options, Output& out, ArchiveFile* archive, PartFile* archive_part,
                    const std::string& archive_path, const std::string& meta_path, std::string encoded);

// 100 after a defect line for each source that shrank while it was packed, else 0.
int report_shrunk(Output& out, const std::vector<std::string>& shrunk);

}  // namespace zvfd
