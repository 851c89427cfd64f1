// Adding files to a record ("--add LIST"): the listed files go through the stages of a
// backup (file_packer.h), and the record "-U" of task "-T" in the repository of "-M",
// or the record of the archive file "-u", gets a new version that holds its files and
// the new ones. Nothing is rewritten in place: in a repository the version is an
// object of its own beside the record (repository.h); an archive file is written anew
// under a temporary name, with every object of the old one and the new ones, and then
// takes the old one's name. A listed name that the record holds already is refused:
// an addition adds files, it never replaces one.
#include "zvfd/archive_file.h"
#include "zvfd/file_packer.h"
#include "zvfd/ops.h"
#include "zvfd/outputs.h"
#include "zvfd/pack_presence.h"
#include "zvfd/sources.h"

#include <unistd.h>

#include <set>

namespace zvfd {

namespace {

// The old archive's packs, indexes and records, into the new one.
void copy_objects(Storage& from, Storage& to) {
    for (const auto& name : from.list(""))
        if (!to.put_if_absent(name, from.get(name))) throw Error("object " + name + " is twice in " + from.describe());
}

}  // namespace

int run_add(const Options& options, const TestAid& aid, Output& out) {
    const bool server = options.has("-U");
    if (server == options.has("-u"))
        throw Error("an addition goes to a record (-U) or to an archive file (-u): give one of them");
    const std::string meta_path = options.value("-m");
    if (server && meta_path.empty()) throw Error("an addition to a record needs its metadata file (-m)");
    PackSettings settings = pack_settings(options, server);
    const Keys keys = derive_keys(options.value("-C"), options.value("-k"));
    check_signing(options);
    const Exclusions exclusions(options.value("-x"), options.value("-X"));
    FilePacker packer(collect_sources(options.value("--add"), exclusions), settings.block_size);

    std::unique_ptr<Storage> storage;
    std::unique_ptr<ArchiveFile> old_archive;
    std::string task = kArchiveTask, name = kArchiveRecord, archive_path;
    if (server) {
        storage = open_server_target(options, "-U", task, name);
        Repository(*storage, keys).authorise_task(task, options.value("-s"), false);
    } else {
        archive_path = options.value("-u");
        if (::access(archive_path.c_str(), F_OK) != 0 && ::access((archive_path + ".zvfd").c_str(), F_OK) == 0)
            archive_path += ".zvfd";
        old_archive = ArchiveFile::open(archive_path);
    }

    Repository base(server ? *storage : *old_archive, keys);
    const unsigned version = base.latest_version(task, name) + 1;
    Record record = base.get_record(task, name, version - 1);
    const std::string what = "record " + (server ? name + " of task " + task : "of archive " + archive_path);
    if (record.prop("digest") != digest_word(settings.kind))
        throw Error(what + " names its blocks with " + record.prop("digest") + ": give its own -a and -2 or -5");
    std::set<std::string> held;
    std::vector<std::string> names;
    for (const auto& f : record.files) {
        held.insert(f.name);
        names.push_back(f.name);
    }
    for (const auto& s : packer.sources()) {
        if (held.count(s.name))
            throw Error(what + " holds a file named '" + s.name + "' already; an addition does not replace it");
        names.push_back(s.name);
    }
    // The new version must restore as well as the old one.
    const std::string fault = names_fault(names);
    if (!fault.empty()) throw Error("the files added to " + what + " could not be restored with it: " + fault);

    std::unique_ptr<PartFile> archive_part;
    ArchiveFile* archive = nullptr;
    if (!server) {
        archive_part = std::make_unique<PartFile>(archive_path + ".part");
        ::unlink(archive_part->path().c_str());
        auto created = ArchiveFile::create(archive_part->path());
        archive = created.get();
        copy_objects(*old_archive, *created);
        storage = std::move(created);
    }
    Repository repository(*storage, keys);
    // As in a backup: a known block counts only in a pack the store confirms and no
    // check found damaged. The copied packs of an archive file are all there.
    std::set<std::string> damaged = server ? repository.damaged_packs() : std::set<std::string>{};
    BlockIndex known = repository.load_index(damaged);
    std::unique_ptr<PackPresence> presence;
    if (server) presence = std::make_unique<PackPresence>(*storage, std::move(damaged));
    settings.presence = presence.get();
    // The new version names every pack of the old one: it restores only if they are sound.
    if (presence)
        for (const auto& id : record.packs)
            if (!presence->trusted(id))
                throw Error(what + " names pack " + id +
                            ", which the repository lacks or a check found damaged; make a new backup instead");
    add_known_blocks(record, known);
    record.props["version"] = std::to_string(version);
    record.props["added"] = now_text();
    const std::vector<std::string> shrunk = packer.pack(repository, std::move(known), settings, out, aid, record);

    const std::string encoded = encode_record(record);
    finish_outputs(options, out, archive, archive_part.get(), archive_path, meta_path, encoded, [&] {
        if (!repository.put_record(task, name, record, encoded, version))
            throw Error(what + " has been added to by another run meanwhile; nothing was added, run the addition again");
    });
    return report_shrunk(out, shrunk);
}

}  // namespace zvfd
