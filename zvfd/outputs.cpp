#include "zvfd/outputs.h"

#include "zvfd/ops.h"
#include "zvfd/part_files.h"
#include "zvfd/record.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <memory>

namespace zvfd {

namespace {

void sign_file(const Options& options, const std::string& file, const std::string& signature) {
    std::vector<std::string> cmd = {"openssl", "dgst", "-sha256", "-sign", as_operand(options.value("--sign"))};
    if (options.has("--passin") && ::access(options.value("--passin").c_str(), R_OK) == 0) {
        cmd.push_back("-passin");
        cmd.push_back("file:" + options.value("--passin"));
    }
    cmd.insert(cmd.end(), {"-out", as_operand(signature), as_operand(file)});
    if (run_program(cmd) != 0) throw Error("signing " + file + " failed");
}

}  // namespace

std::string now_text() {
    char buf[32];
    std::time_t t = std::time(nullptr);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    return buf;
}

void check_signing(const Options& options) {
    if (options.has("-g") && options.value("--sign").empty())
        throw Error("a signature (-g) needs the signing key (--sign)");
}

void finish_outputs(const Options& options, Output& out, ArchiveFile* archive, PartFile* archive_part,
                    const std::string& archive_path, const std::string& meta_path, const std::string& encoded,
                    const std::function<void()>& put_record) {
    std::unique_ptr<PartFile> meta_part;
    if (archive) {
        put_record();
        archive->finish();
    }
    if (!meta_path.empty()) meta_part = write_part(meta_path, meta_file_bytes(encoded), "the metadata file");
    finish_outputs(options, out, nullptr, archive_part, archive_path, meta_path, std::move(meta_part),
                   archive ? std::function<void()>([] {}) : put_record);
}

void finish_outputs(const Options& options, Output& out, ArchiveFile* archive, PartFile* archive_part,
                    const std::string& archive_path, const std::string& meta_path,
                    std::unique_ptr<PartFile> meta_part, const std::function<void()>& put_record) {
    if (archive) {
        put_record();
        archive->finish();
    }
    std::unique_ptr<PartFile> sign_part;
    if (options.has("-g")) {
        sign_part = std::make_unique<PartFile>(options.value("-g") + ".part");
        ::unlink(sign_part->path().c_str());
        create_part_file(AT_FDCWD, sign_part->path(), sign_part->path(), O_WRONLY, 0600);
        out.flush();
        sign_file(options, archive_part ? archive_part->path() : meta_part->path(), sign_part->path());
    }
    if (!archive) put_record();
    if (archive_part) archive_part->commit_to(archive_path);
    if (meta_part) meta_part->commit_to(meta_path);
    if (sign_part) sign_part->commit_to(options.value("-g"));
}

int report_shrunk(Output& out, const std::vector<std::string>& shrunk) {
    for (const std::string& path : shrunk) {
        out.flush();
        std::cerr << "zvfd: defect: " << printable(path) << " shrank while being packed" << std::endl;
    }
    return shrunk.empty() ? 0 : 100;
}

}  // namespace zvfd
