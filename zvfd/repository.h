// The repository of a media server: packs, their indexes, task marks and records, all
// as immutable objects of one Storage (storage.h).
//
// Which store a media server name ("-M") means is read from the configuration file
// /opt/zelvor/etc/zvfd-repositories.conf: lines "NAME = LOCATION", "#" starts a
// comment line, blanks around both sides are ignored. A LOCATION beginning with "/"
// is a local directory; one beginning with the word "s3" is a bucket of an S3 store
// (s3_storage.h). A name the file does not list (or no file at all) is the
// directory /opt/zelvor/var/repositories/NAME. Names are [A-Za-z0-9._-], not
// beginning with ".".
//
// Objects besides packs and indexes (pack.h):
//   tasks/<task>/secret           envelope "ZVFDTASK": HMAC-SHA256 keyed with the
//                                 task secret file over "zvfd task <task>"; the first
//                                 backup of a task writes it, every later backup must
//                                 present the same secret. It guards writing only: a
//                                 record is read by whoever reaches the store, and
//                                 what keeps it secret is its key (-C, -k)
//   tasks/<task>/records/<name>   envelope "ZVFDRECD": the record (record.h, or the
//                                 head of one written as it was produced,
//                                 record_stream.h), sealed when a key is given;
//                                 written last, so a record that is listed is
//                                 complete
//   tasks/<task>/parts/<run>/<n>  envelope "ZVFDRPRT": part n of a record written as
//                                 it was produced, sealed like it
//   tasks/<task>/additions/<name>/<n>
//                                 the same: version n (1, 2, ...) of record <name>,
//                                 written by an addition (--add), holding the files
//                                 of version n-1 and the added ones; version 0 is
//                                 the record itself
//   segments/...                  the index segments (index_segment.h)
//   damaged/<time>-<random>       envelope "ZVFDDAMG" (never sealed): u32 count, then
//                                 per pack: text pack id, text what the check found;
//                                 written by a check that found packs damaged or
//                                 missing, so that later backups store their blocks
//                                 again instead of naming them
// Two backups into one repository at once need no lock: pack ids are random, other
// names are taken with put-if-absent, and a record name is refused when taken.
#pragma once

#include "zvfd/block_name.h"
#include "zvfd/cipher.h"
#include "zvfd/codec.h"
#include "zvfd/pack.h"
#include "zvfd/record.h"
#include "zvfd/storage.h"

#include <map>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zvfd {

// The largest task mark a reader takes (Storage::get_at_most; packs and indexes:
// pack.h): it holds one HMAC-SHA256. A larger one is damaged.
constexpr std::uint64_t kMaxTaskMarkSize = 4096;
// The largest task secret file (-s): the client agent writes a secret of a few bytes.
constexpr std::uint64_t kMaxTaskSecretFileSize = 1u << 20;

constexpr char kRepositoryConfig[] = "/opt/zelvor/etc/zvfd-repositories.conf";
constexpr char kDefaultRepositories[] = "/opt/zelvor/var/repositories";

// The version of its record that a record (or its metadata file) says it is: 0 for
// the record itself. Throws Error for a version that is no number.
unsigned record_version(const Record& record);

// True for a media server, task or record name that can be one object name component.
bool is_plain_name(const std::string& name);

// The location of media server `name`, read from `config_path` (a missing file
// yields the default). Throws Error for a malformed line or an invalid name.
std::string repository_location(const std::string& name, const std::string& config_path = kRepositoryConfig,
                                const std::string& default_root = kDefaultRepositories);
// The store of a location; throws Error for a kind of location this archiver lacks.
std::unique_ptr<Storage> open_location(const std::string& location);

struct BlockLocation {
    std::string pack;
    std::uint32_t offset = 0, stored = 0, raw = 0;
    std::uint8_t flags = 0;
};
using BlockIndex = std::unordered_map<std::string, BlockLocation>;

// The plain bytes of block `b` taken from `pack` (the bytes of pack `id`) into `out`,
// checked against its name and, when sealed, its tag. Throws Error beginning with
// `where` when the pack is damaged.
void unpack_block(const std::string& pack, const std::string& id, const BlockRef& b, const Sealer* sealer,
                  const BlockNamer& namer, const std::string& where, AlignedBuffer& out);
// The same into `out`, which has room for b.length bytes: what is there when it
// throws is no block.
void unpack_block(const std::string& pack, const std::string& id, const BlockRef& b, const Sealer* sealer,
                  const BlockNamer& namer, const std::string& where, char* out);
std::string unpack_block(const std::string& pack, const std::string& id, const BlockRef& b, const Sealer* sealer,
                         const BlockNamer& namer, const std::string& where);

class Repository {
public:
    Repository(Storage& storage, const Keys& keys);
    Storage& storage() { return storage_; }
    const Keys& keys() const { return keys_; }
    const Sealer* sealer() const { return sealer_.get(); }

    // Every block stored with this repository's key, from the pack indexes. Indexes of
    // other keys are passed over; a damaged one, or one stored under another pack's
    // name, is passed over too, its blocks are then simply stored again. A block found
    // in several packs is taken from one that is not among `damaged`.
    BlockIndex load_index(const std::set<std::string>& damaged = {});
    // Puts the pack deferred (Storage::put_deferred), so that many packs share one
    // flush to the disk; its blocks are published (segment_index.h) only after a sync
    // made it durable, so that no index ever names a pack that is not there.
    void put_pack_deferred(const PackBuilder& pack);
    std::string get_pack(const std::string& id);

    // Checks the task secret against the task's mark; with `create` a task without
    // mark gets one. Throws Error with a clear message when it does not match or the
    // task is unknown.
    void authorise_task(const std::string& task, const std::string& secret_file, bool create);
    // False when a record of that name (or that version of it) exists.
    bool put_record(const std::string& task, const std::string& name, const Record& record);
    // The same with the record's bytes (encode_record) at hand already.
    bool put_record(const std::string& task, const std::string& name, const Record& record,
                    const std::string& encoded, unsigned version = 0);
    // The head of a record in the second layout (record_stream.h), put once its parts
    // are; false when a record of that name exists.
    bool put_record_head(const std::string& task, const std::string& name, const std::string& head,
                         const std::vector<std::string>& packs);
    // A part of a record in the second layout (`object`: record_part_object).
    void put_record_part(const std::string& task, const std::string& object, const std::string& plain);
    // Throws Error when the task has no such record, when it was sealed with another
    // key, or when it is damaged. A record says inside its checked payload which one
    // it is (its task, archive name and version): one that names another is damaged,
    // so that a record copied over another name never restores as that one. Only the
    // record of an archive file keeps the archive's file name, which copies change.
    Record get_record(const std::string& task, const std::string& name, unsigned version = 0);
    // Throws Error unless the repository holds a record under that name whose plain
    // bytes are `payload` (those of its metadata file): the same errors as get_record,
    // or that the record there is not the one the metadata file describes.
    void confirm_record(const std::string& task, const std::string& name, unsigned version,
                        const std::string& payload);
    std::vector<std::string> list_records(const std::string& task);
    // The newest version of a record: 0 when nothing was added to it.
    unsigned latest_version(const std::string& task, const std::string& name);
    // Every addition of the task's records, as (name, version), in name order.
    std::vector<std::pair<std::string, unsigned>> list_additions(const std::string& task);
    // The tasks that hold a record of that name, from one listing of every task.
    std::vector<std::string> tasks_with_record(const std::string& name);
    bool has_record(const std::string& task, const std::string& name);

    // Every pack that a check has recorded as damaged or missing.
    std::set<std::string> damaged_packs();
    // Records packs (id → what was found) as damaged, in a new object.
    void record_damaged(const std::map<std::string, std::string>& packs);

private:
    // The plain bytes and layout of the first stored version of a record object that
    // opens with this repository's key and that `accept` takes (accept throws Error to
    // refuse).
    void read_record(const std::string& task, const std::string& name, unsigned version,
                     const std::function<void(const std::string&, std::uint32_t)>& accept);
    // The record of a second-layout head, its parts read from the store.
    Record assemble(const std::string& task, const std::string& head, const std::string& what);
    void keep_for_record(const std::string& task, const std::vector<std::string>& packs);
    std::string seal_envelope(const char (&magic)[9], std::uint32_t layout, const std::string& plain) const;
    std::string open_envelope(const Envelope& env, const std::string& what) const;

    Storage& storage_;
    Keys keys_;
    std::unique_ptr<Sealer> sealer_;
};

}  // namespace zvfd
