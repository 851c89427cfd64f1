// What the archiver does: pack a file list into a record (in a media server's
// repository or an archive file) with its metadata file, unpack a record into a
// directory, list a metadata file, verify an archive's signature and check the
// records of a task in a repository. Each
// returns the exit code: 0, or 100 when the data work succeeded but a source changed
// under it; failures throw zvfd::Error.
#pragma once

#include "zvfd/cli.h"
#include "zvfd/storage.h"

#include <memory>
#include <string>
#include <vector>

namespace zvfd {

int run_backup(const Options& options, const TestAid& aid, Output& out);
int run_add(const Options& options, const TestAid& aid, Output& out);
int run_restore(const Options& options, const TestAid& aid, Output& out);
int run_list(const Options& options);
int run_verify(const Options& options);
int run_check(const Options& options, Output& out);

// Runs a program without a shell, its output going where ours goes; returns its exit
// status, or -1 when it could not be started or did not exit normally.
int run_program(const std::vector<std::string>& argv);
// A path that a program cannot take for an option: "./" before a relative path that
// begins with "-".
std::string as_operand(const std::string& path);

// The store of the media server "-M" that a server-mode run writes into, with the
// task of "-T" and the record named by `name_option` ("-N" or "-U"), both checked.
std::unique_ptr<Storage> open_server_target(const Options& options, const char* name_option, std::string& task,
                                            std::string& name);

// The task, archive and record names of an archive file.
constexpr char kArchiveTask[] = "archive";
constexpr char kArchiveRecord[] = "record";

}  // namespace zvfd
