// Backup: the sources of "-c" go through the stages read → cut → name → skip known →
// compress → seal → pack into the repository of "-M" (server mode) or the archive
// file of "-n" (autonomous mode); the record goes last, then the metadata file "-m".
#include "zvfd/archive_file.h"
#include "zvfd/file_packer.h"
#include "zvfd/ops.h"
#include "zvfd/outputs.h"
#include "zvfd/pack_presence.h"
#include "zvfd/record_stream.h"
#include "zvfd/segment_index.h"
#include "zvfd/sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <set>

namespace zvfd {

namespace {

// Whether the metadata file's record is the one the repository holds under its
// task and name: only then may its blocks be taken for blocks of this repository.
bool is_record_of(Repository& repository, const Reference& reference) {
    const std::string task = reference.prop("task"), name = reference.prop("archive_name");
    if (!is_plain_name(task) || !is_plain_name(name)) return false;
    try {
        repository.confirm_record(task, name, reference.version(), reference.identity());
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

    std::map<std::string, std::string> props;
    std::unique_ptr<Storage> storage;
    std::unique_ptr<PartFile> archive_part;
    ArchiveFile* archive = nullptr;
    std::string task = kArchiveTask, name = kArchiveRecord, archive_path;
    if (server) {
        storage = open_server_target(options, "-N", task, name);
        props["media_server"] = options.value("-M");
    } else {
        archive_path = options.value("-n");
        if (archive_path.empty()) throw Error("autonomous mode needs the archive path (-n)");
        struct stat st {};
        if (::lstat(archive_path.c_str(), &st) == 0)
            throw Error("archive " + archive_path + " already exists; it is not overwritten");
    }
    props["task"] = task;
    props["archive_name"] = server ? name : archive_path.substr(archive_path.rfind('/') + 1);
    props["created"] = now_text();
    props["digest"] = digest_word(settings.kind);
    props["block_size"] = std::to_string(settings.block_size);
    props["compression"] = std::to_string(zstd_level(settings.compression));
    props["cipher"] = keys.cipher;
    props["key_id"] = to_hex(keys.id);

    // The reference of an incremental or differential backup must be a record of this
    // archiver; its blocks count as known when it was written the same way, into this
    // repository (checked below, once the repository is open).
    std::unique_ptr<Reference> reference;
    bool reference_blocks = false;
    if (options.has("-S")) {
        reference = Reference::open(options.value("-S"));
        props["kind"] = "reference";
        props["reference"] = reference->prop("archive_name");
        reference_blocks = server && reference->prop("media_server") == props["media_server"] &&
                           reference->prop("key_id") == props["key_id"] && reference->prop("digest") == props["digest"];
    } else {
        props["kind"] = "full";
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
    const MemoryPlan memory = plan_memory(settings.workers, storage->parallel_requests(), memory_threshold(options),
                                          settings.block_size);
    settings.uploaders = memory.uploaders;
    settings.start_key = task + "/" + name;
    settings.table_budget = memory.table;
    Repository repository(*storage, keys);
    SegmentIndex index(*storage, keys, repository.sealer(), digest_size(settings.kind), memory.index_cache);
    index.open();
    std::unique_ptr<PackPresence> presence;
    if (server) presence = std::make_unique<PackPresence>(*storage, repository.damaged_packs());
    if (reference_blocks && !is_record_of(repository, *reference)) {
        reference_blocks = false;
        out.flush();
        std::cerr << "zvfd: warning: the reference " << printable(options.value("-S")) << " is not a record of media server "
                  << props["media_server"] << "; its blocks are stored again where the repository lacks them"
                  << std::endl;
    }

    RecordWriter writer(repository, task, name, meta_path, digest_size(settings.kind));
    const PackResult result = packer.pack(repository, KnownBlocks{&index, nullptr, presence.get()},
                                          reference_blocks ? reference.get() : nullptr, settings, out, aid, writer);
    props["new_blocks"] = std::to_string(result.new_blocks);
    props["stored_bytes"] = std::to_string(result.stored_bytes);

    // The record is the last object: once it is listed, everything it needs is there.
    // Merged now: in autonomous mode the archive is finished with the record.
    try {
        index.finish();
    } catch (const StorageError& e) {
        out.flush();
        std::cerr << "zvfd: warning: index segments left unmerged: " << e.what() << std::endl;
    }
    std::unique_ptr<PartFile> meta_part = writer.seal(props);
    finish_outputs(options, out, archive, archive_part.get(), archive_path, meta_path, std::move(meta_part), [&] {
        // Free at the start, taken now: two runs wrote one name, and the other came first.
        if (!writer.put_head())
            throw Error("the record name was written twice: record " + name + " of task " + task +
                        " was stored by another run while this one ran, and that one is kept; this backup failed");
    });
    return report_shrunk(out, result.shrunk);
}

}  // namespace zvfd
