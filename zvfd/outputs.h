// What a backup or an addition leaves outside the repository once its record is
// stored: the archive file (autonomous mode), the metadata file and the signature,
// each written under a temporary name and put in place only when all are complete.
// Used by backup.cpp and add.cpp.
#pragma once

#include "zvfd/archive_file.h"
#include "zvfd/cli.h"
#include "zvfd/part_files.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zvfd {

// The time of now as "YYYY-MM-DDTHH:MM:SSZ".
std::string now_text();

// Throws Error for a signature (-g) without its signing key (--sign), before a run
// stores anything.
void check_signing(const Options& options);

// Finishes what a backup or an addition leaves besides its record `encoded`, around
// `put_record`, which stores it (and throws when it cannot): the metadata file of "-m"
// (when `meta_path` is not empty) and, with "-g", the signature of the archive or (in
// server mode, where the metadata file names every block) of the metadata file are
// written under temporary names; the record goes into `archive` before that is
// finished (written as `archive_part`, to become `archive_path`), or into the
// repository once the metadata file is on the disk; then every new file takes its
// name. A metadata file that cannot be written thus leaves no record behind, and
// trying again under the same name works.
void finish_outputs(const Options& options, Output& out, ArchiveFile* archive, PartFile* archive_part,
                    const std::string& archive_path, const std::string& meta_path, const std::string& encoded,
                    const std::function<void()>& put_record);
// The same for a record written as it came (record_stream.h), whose metadata file is
// on the disk already as `meta_part` (null without "-m").
void finish_outputs(const Options& options, Output& out, ArchiveFile* archive, PartFile* archive_part,
                    const std::string& archive_path, const std::string& meta_path,
                    std::unique_ptr<PartFile> meta_part, const std::function<void()>& put_record);

// 100 after a defect line for each source that shrank while it was packed, else 0.
int report_shrunk(Output& out, const std::vector<std::string>& shrunk);

}  // namespace zvfd
