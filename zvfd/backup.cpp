// Backup: the sources of "-c" go through the stages read → cut → name → skip known →
// compress → seal → pack into the repository of "-M" (server mode) or the archive
// file of "-n" (autonomous mode); the record goes last, then the metadata file "-m".
#include "zvfd/archive_file.h"
#include "zvfd/file_packer.h"
#include "zvfd/ops.h"
#include "zvfd/outputs.h"
#include "zvfd/pack_presence.h"
#include "zvfd/sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <set>

namespace zvfd {

namespace {

// Whether the metadata file's record is the one the repository holds under its
// task and name: only then may its blocks be taken for blocks of this repository.
bool is_record_of(Repository& repository, const Record& reference, const std::string& payload) {
    const std::string task = reference.prop("task"), name = reference.prop("archive_name");
    if (!is_plain_name(task) || !is_plain_name(name)) return false;
    try {
        repository.confirm_record(task, name, record_version(reference), payload);
        return true;
    } catch (const StorageError&) {
        throw;
    } catch (const Error&) {
        return false;  // no such record, or one this key cannot open
    }
}

}  // namespace

std::unique_ptr<Storage> open_server_target(const Options& options, const char* name_option, std::string& task,
                                            std::string& name) {
    const std::string server = options.value("-M");
    task = options.value("-T");
    name = options.value(name_option);
    if (server.empty()) throw Error("server mode needs the media server (-M)");
    if (!is_plain_name(name))
        throw Error(std::string("record name (") + name_option + ") must be a plain name, got '" + name + "'");
    if (!is_plain_name(task)) throw Error("task id (-T) must be a plain name, got '" + task + "'");
    return open_location(repository_location(server));
}

int run_backup(const Options& options, const TestAid& aid, Output& out) {
    const bool server = !options.has("-n");
    const std::string meta_path = options.value("-m");
    if (meta_path.empty()) throw Error("a backup needs the metadata file (-m)");
    PackSettings settings = pack_settings(options, server);
    const Keys keys = derive_keys(options.value("-C"), options.value("-k"));
    check_signing(options);

    Record record;
    std::unique_ptr<Storage> storage;
    std::unique_ptr<PartFile> archive_part;
    ArchiveFile* archive = nullptr;
    std::string task = kArchiveTask, name = kArchiveRecord, archive_path;
    if (server) {
        storage = open_server_target(options, "-N", task, name);
        record.props["media_server"] = options.value("-M");
    } else {
        archive_path = options.value("-n");
        if (archive_path.empty()) throw Error("autonomous mode needs the archive path (-n)");
        struct stat st {};
        if (::lstat(archive_path.c_str(), &st) == 0)
            throw Error("archive " + archive_path + " already exists; it is not overwritten");
    }
    record.props["task"] = task;
    record.props["archive_name"] = server ? name : archive_path.substr(archive_path.rfind('/') + 1);
    record.props["created"] = now_text();
    record.props["digest"] = digest_word(settings.kind);
    record.props["block_size"] = std::to_string(settings.block_size);
    record.props["compression"] = std::to_string(zstd_level(settings.compression));
    record.props["cipher"] = keys.cipher;
    record.props["key_id"] = to_hex(keys.id);

    // The reference of an incremental or differential backup must be a record of this
    // archiver; its blocks count as known when it was written the same way, into this
    // repository (checked below, once the repository is open).
    Record reference;
    std::string reference_payload;
    bool reference_blocks = false;
    if (options.has("-S")) {
        reference_payload = read_meta_payload(options.value("-S"));
        reference = decode_record(reference_payload, "metadata file " + options.value("-S"));
        record.props["kind"] = "reference";
        record.props["reference"] = reference.prop("archive_name");
        reference_blocks = server && reference.prop("media_server") == record.prop("media_server") &&
                           reference.prop("key_id") == record.prop("key_id") &&
                           reference.prop("digest") == record.prop("digest");
    } else {
        record.props["kind"] = "full";
    }

    const Exclusions exclusions(options.value("-x"), options.value("-X"));
    FilePacker packer(collect_sources(options.value("-c"), exclusions), settings.block_size);

    if (server) {
        Repository(*storage, keys).authorise_task(task, options.value("-s"), true);
        if (Repository(*storage, keys).has_record(task, name))
            throw Error("record " + name + " of task " + task + " exists already; it is not overwritten");
    } else {
        archive_part = std::make_unique<PartFile>(archive_path + ".part");
        ::unlink(archive_part->path().c_str());
        auto created = ArchiveFile::create(archive_part->path());
        archive = created.get();
        storage = std::move(created);
    }
    Repository repository(*storage, keys);
    std::unique_ptr<PackPresence> presence;
    BlockIndex known;
    if (server) {
        std::set<std::string> damaged = repository.damaged_packs();
        known = repository.load_index(damaged);
        presence = std::make_unique<PackPresence>(*storage, std::move(damaged));
    }
    if (reference_blocks && !is_record_of(repository, reference, reference_payload)) {
        reference_blocks = false;
        out.flush();
        std::cerr << "zvfd: warning: the reference " << printable(options.value("-S")) << " is not a record of media server "
                  << record.prop("media_server") << "; its blocks are stored again where the repository lacks them"
                  << std::endl;
    }
    // Nearly all of them are in the indexes already; the rest are added.
    if (reference_blocks) add_known_blocks(reference, known);
    reference = Record{};
    reference_payload = std::string();
    settings.presence = presence.get();
    const std::vector<std::string> shrunk = packer.pack(repository, std::move(known), settings, out, aid, record);

    // The record is the last object: once it is listed, everything it needs is there.
    const std::string encoded = encode_record(record);
    finish_outputs(options, out, archive, archive_part.get(), archive_path, meta_path, encoded, [&] {
        // Free at the start, taken now: two runs wrote one name, and the other came first.
        if (!repository.put_record(task, name, record, encoded))
            throw Error("the record name was written twice: record " + name + " of task " + task +
                        " was stored by another run while this one ran, and that one is kept; this backup failed");
    });
    return report_shrunk(out, shrunk);
}

}  // namespace zvfd
