#include "zvfd/repository.h"

#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/compress.h"
#include "zvfd/ops.h"
#include "zvfd/record_stream.h"
#include "zvfd/s3_storage.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>

namespace zvfd {

namespace {

constexpr char kTaskMagic[9] = "ZVFDTASK";
constexpr char kRecordMagic[9] = "ZVFDRECD";
constexpr char kRecordPartMagic[9] = "ZVFDRPRT";
constexpr char kDamagedMagic[9] = "ZVFDDAMG";

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string record_object(const std::string& task, const std::string& name, unsigned version = 0) {
    if (version == 0) return "tasks/" + task + "/records/" + name;
    return "tasks/" + task + "/additions/" + name + "/" + std::to_string(version);
}

std::string record_what(const std::string& task, const std::string& name, unsigned version) {
    return "record " + name + (version ? " (addition " + std::to_string(version) + ")" : "") + " of task " + task;
}

// The version that a number of text stands for; 0 for anything else.
unsigned version_of(const std::string& text) {
    if (text.empty() || text.size() > 9 || text[0] == '0' || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return static_cast<unsigned>(std::stoul(text));
}

}  // namespace

unsigned record_version(const Record& record) {
    const std::string text = record.prop("version");
    if (text.empty()) return 0;
    const unsigned version = version_of(text);
    if (version == 0) throw Error("record " + record.prop("archive_name") + " says it is version '" + text + "'");
    return version;
}

bool is_plain_name(const std::string& name) { return is_object_name(name) && name.find('/') == std::string::npos; }

std::string repository_location(const std::string& name, const std::string& config_path,
                                const std::string& default_root) {
    if (!is_plain_name(name)) throw Error("media server name '" + name + "' is not a plain name");
    std::ifstream in(config_path);
    std::string location;
    int number = 0;
    for (std::string line; in && std::getline(in, line);) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            throw Error(config_path + " line " + std::to_string(number) + " is not NAME = LOCATION");
        if (trim(line.substr(0, eq)) == name) location = trim(line.substr(eq + 1));
    }
    if (!location.empty()) return location;
    return default_root + "/" + name;
}

std::unique_ptr<Storage> open_location(const std::string& location) {
    if (!location.empty() && location[0] == '/') return std::make_unique<LocalStorage>(location);
    if (is_s3_location(location)) return std::make_unique<S3Storage>(parse_s3_location(location));
    throw Error("repository location '" + location + "' is neither a local directory nor an S3 bucket");
}

void unpack_block(const std::string& pack, const std::string& id, const BlockRef& b, const Sealer* sealer,
                  const BlockNamer& namer, const std::string& where, AlignedBuffer& out) {
    out.resize(b.length);
    unpack_block(pack, id, b, sealer, namer, where, out.data());
}

void unpack_block(const std::string& pack, const std::string& id, const BlockRef& b, const Sealer* sealer,
                  const BlockNamer& namer, const std::string& where, char* out) {
    if (b.pack_offset < 12 || b.pack_offset > pack.size() || b.stored > pack.size() - b.pack_offset)
        throw Error(where + " lies outside pack " + id + ": the pack is damaged");
    const char* data = pack.data() + b.pack_offset;
    std::size_t size = b.stored;
    const bool compressed = b.flags & kBlockCompressed;
    thread_local std::string opened;  // sealed and compressed: opened here, then decompressed
    if (sealer) {
        if (size < sealer->overhead()) throw Error(where + " fails its authentication: pack " + id + " is damaged");
        const std::size_t plain = size - sealer->overhead();
        char* to;
        if (compressed) {
            opened.resize(plain);
            to = opened.data();
        } else {
            if (plain != b.length) throw Error(where + " does not match its digest: pack " + id + " is damaged");
            to = out;
        }
        try {
            sealer->open_into(data, size, to);
        } catch (const AuthError&) {
            throw Error(where + " fails its authentication: pack " + id + " is damaged");
        }
        data = to;
        size = plain;
    }
    if (compressed) {
        try {
            decompress_into(data, size, out, b.length);
        } catch (const Error&) {
            throw Error(where + " does not decompress: pack " + id + " is damaged");
        }
    } else if (!sealer) {
        if (size != b.length) throw Error(where + " does not match its digest: pack " + id + " is damaged");
        std::memcpy(out, data, size);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    namer.digest().compute(out, b.length, digest);
    if (b.name.size() != namer.size() || std::memcmp(digest, b.name.data(), namer.size()) != 0)
        throw Error(where + " does not match its digest: pack " + id + " is damaged");
}

std::string unpack_block(const std::string& pack, const std::string& id, const BlockRef& b, const Sealer* sealer,
                         const BlockNamer& namer, const std::string& where) {
    AlignedBuffer out;
    unpack_block(pack, id, b, sealer, namer, where, out);
    return std::string(out.data(), out.size());
}

Repository::Repository(Storage& storage, const Keys& keys)
    : storage_(storage), keys_(keys), sealer_(make_sealer(keys)) {}

BlockIndex Repository::load_index(const std::set<std::string>& damaged) {
    const std::vector<std::string> objects = storage_.list("index/");
    std::vector<std::vector<PackEntry>> entries(objects.size());
    for_each_at_once(objects.size(), storage_.parallel_requests(), [&](std::size_t i) {
        const std::string id = objects[i].substr(6);
        try {
            const std::string bytes = storage_.get_at_most(objects[i], kMaxIndexObjectSize);
            if (pack_index_key_id(bytes, id) == keys_.id) entries[i] = decode_pack_index(bytes, id, sealer_.get());
        } catch (const ObjectMissing&) {
        } catch (const AuthError&) {
        } catch (const StorageError&) {
            throw;
        } catch (const Error&) {
        }
    });
    BlockIndex index;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const std::string id = objects[i].substr(6);
        const bool sound = !damaged.count(id);
        for (auto& e : entries[i]) {
            auto [it, added] = index.emplace(std::move(e.name), BlockLocation{id, e.offset, e.stored, e.raw, e.flags});
            if (!added && sound && damaged.count(it->second.pack)) it->second = {id, e.offset, e.stored, e.raw, e.flags};
        }
        entries[i] = {};
    }
    return index;
}

void Repository::put_pack_deferred(const PackBuilder& pack) { storage_.put_deferred(pack_object_name(pack.id()), pack.bytes()); }

std::string Repository::get_pack(const std::string& id) {
    if (!is_plain_name(id) || id.size() < 2) throw Error("pack id '" + id + "' is damaged");
    std::string bytes;
    try {
        bytes = storage_.get_at_most(pack_object_name(id), kMaxPackObjectSize);
    } catch (const ObjectMissing&) {
        throw Error("pack " + id + " is missing from the repository " + storage_.describe());
    }
    check_pack_header(bytes, id);
    return bytes;
}

void Repository::authorise_task(const std::string& task, const std::string& secret_file, bool create) {
    if (!is_plain_name(task)) throw Error("task id '" + task + "' is not a plain name");
    if (secret_file.empty()) throw Error("the task secret file (-s) is needed for task " + task);
    const std::string secret = read_file(secret_file, "task secret file", kMaxTaskSecretFileSize);
    if (secret.empty()) throw Error("task secret file " + secret_file + " is empty");
    unsigned char mac[32];
    unsigned int n = 0;
    const std::string label = "zvfd task " + task;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(label.data()), label.size(), mac, &n);
    Envelope mine;
    mine.key_id = std::string(16, '\0');
    mine.payload = std::string(reinterpret_cast<char*>(mac), n);
    const std::string object = "tasks/" + task + "/secret";
    std::string stored;
    try {
        stored = storage_.get_at_most(object, kMaxTaskMarkSize);
    } catch (const ObjectMissing&) {
        if (!create) throw Error("task " + task + " has no records in the repository " + storage_.describe());
        if (storage_.put_if_absent(object, write_envelope(kTaskMagic, mine))) return;
        stored = storage_.get_at_most(object, kMaxTaskMarkSize);  // another run of the task came first
    }
    const Envelope theirs = read_envelope(stored, kTaskMagic, "mark of task " + task);
    if (theirs.payload.size() != mine.payload.size() ||
        CRYPTO_memcmp(theirs.payload.data(), mine.payload.data(), mine.payload.size()) != 0)
        throw Error("the task secret does not authorise task " + task);
}

bool Repository::put_record(const std::string& task, const std::string& name, const Record& record) {
    return put_record(task, name, record, encode_record(record));
}

void Repository::keep_for_record(const std::string& task, const std::vector<std::string>& packs) {
    // Objects the record reuses stay locked as long as the record itself.
    std::vector<std::string> needed = {"tasks/" + task + "/secret"};
    for (const auto& id : packs) needed.push_back(pack_object_name(id));
    storage_.keep(needed);
}

std::string Repository::seal_envelope(const char (&magic)[9], std::uint32_t layout, const std::string& plain) const {
    Envelope env;
    env.version = layout;
    env.key_id = keys_.id;
    env.sealed = sealer_ != nullptr;
    env.payload = sealer_ ? sealer_->seal(plain) : plain;
    return write_envelope(magic, env);
}

std::string Repository::open_envelope(const Envelope& env, const std::string& what) const {
    if (env.key_id != keys_.id || env.sealed != (sealer_ != nullptr)) {
        if (env.sealed) throw Error(what + " is encrypted with another key or cipher: give its -C and -k");
        throw Error(what + " is not encrypted: give no key");
    }
    try {
        return sealer_ ? sealer_->open(env.payload) : env.payload;
    } catch (const AuthError&) {
        throw Error(what + " fails its authentication: it is damaged");
    }
}

bool Repository::put_record(const std::string& task, const std::string& name, const Record& record,
                            const std::string& plain, unsigned version) {
    if (!is_plain_name(name)) throw Error("record name '" + name + "' is not a plain name");
    keep_for_record(task, record.packs);
    return storage_.put_if_absent(record_object(task, name, version), seal_envelope(kRecordMagic, 1, plain));
}

bool Repository::put_record_head(const std::string& task, const std::string& name, const std::string& head,
                                 const std::vector<std::string>& packs) {
    if (!is_plain_name(name)) throw Error("record name '" + name + "' is not a plain name");
    keep_for_record(task, packs);
    return storage_.put_if_absent(record_object(task, name), seal_envelope(kRecordMagic, 2, head));
}

void Repository::put_record_part(const std::string& task, const std::string& object, const std::string& plain) {
    if (!storage_.put_if_absent(object, seal_envelope(kRecordPartMagic, 1, plain)))
        throw Error("a part of a record of task " + task + " exists already as " + object);
}

Record Repository::assemble(const std::string& task, const std::string& head, const std::string& what) {
    const auto [run, count] = record_parts_of(head, what);
    std::vector<std::string> parts(count);
    for_each_at_once(count, storage_.parallel_requests(), [&, run = run](std::size_t n) {
        const std::string object = record_part_object(task, run, static_cast<std::uint32_t>(n));
        const std::string part_what = what + ", part " + std::to_string(n);
        try {
            read_accepted(storage_, object, [&](std::string& bytes) {
                parts[n] = open_envelope(read_envelope(bytes, kRecordPartMagic, part_what), part_what);
            });
        } catch (const ObjectMissing&) {
            throw Error(part_what + " is missing from the repository " + storage_.describe());
        }
    });
    return assemble_record(head, [&](std::uint32_t n) { return parts.at(n); }, what);
}

Record Repository::get_record(const std::string& task, const std::string& name, unsigned version) {
    const std::string what = record_what(task, name, version);
    const bool archive = task == kArchiveTask && name == kArchiveRecord;
    Record record;
    read_record(task, name, version, [&](const std::string& plain, std::uint32_t layout) {
        // Which record it says it is, before its parts are fetched by the name it gives.
        if (layout == 1) {
            record = decode_record(plain, what);
        } else {
            record = Record{};
            record.props = record_head_props(plain, what);
        }
        const std::string says_task = record.prop("task"), says_name = record.prop("archive_name");
        if (says_task != task || (!archive && says_name != name) || record_version(record) != version)
            throw Error(what + " is damaged: it says it is " +
                        record_what(says_task, says_name, record_version(record)));
        if (layout != 1) record = assemble(task, plain, what);
    });
    return record;
}

void Repository::confirm_record(const std::string& task, const std::string& name, unsigned version,
                                const std::string& payload) {
    const std::string what = record_what(task, name, version);
    read_record(task, name, version, [&](const std::string& plain, std::uint32_t) {
        if (plain != payload)
            throw Error(what + " in the repository " + storage_.describe() +
                        " is not the record its metadata file describes: it was replaced or damaged");
    });
}

void Repository::read_record(const std::string& task, const std::string& name, unsigned version,
                             const std::function<void(const std::string&, std::uint32_t)>& accept) {
    if (!is_plain_name(name)) throw Error("record name '" + name + "' is not a plain name");
    const std::string what = record_what(task, name, version);
    try {
        read_accepted(storage_, record_object(task, name, version), [&](std::string& bytes) {
            // The second layout is a head whose parts are objects of their own.
            const Envelope env = read_envelope(bytes, kRecordMagic, what, 2);
            accept(open_envelope(env, what), env.version);
        });
    } catch (const ObjectMissing&) {
        if (version) throw Error(what + " is missing from the repository " + storage_.describe());
        throw Error("task " + task + " has no record " + name + " in the repository " + storage_.describe());
    }
}

std::vector<std::string> Repository::list_records(const std::string& task) {
    std::vector<std::string> names;
    const std::string prefix = "tasks/" + task + "/records/";
    for (const auto& n : storage_.list(prefix)) names.push_back(n.substr(prefix.size()));
    return names;
}

unsigned Repository::latest_version(const std::string& task, const std::string& name) {
    if (!is_plain_name(name)) throw Error("record name '" + name + "' is not a plain name");
    const std::string prefix = "tasks/" + task + "/additions/" + name + "/";
    unsigned latest = 0;
    for (const auto& n : storage_.list(prefix)) latest = std::max(latest, version_of(n.substr(prefix.size())));
    return latest;
}

std::vector<std::pair<std::string, unsigned>> Repository::list_additions(const std::string& task) {
    std::vector<std::pair<std::string, unsigned>> additions;
    const std::string prefix = "tasks/" + task + "/additions/";
    for (const auto& n : storage_.list(prefix)) {
        const std::string rest = n.substr(prefix.size());
        const auto slash = rest.find('/');
        const unsigned version = slash == std::string::npos ? 0 : version_of(rest.substr(slash + 1));
        if (version) additions.emplace_back(rest.substr(0, slash), version);
    }
    std::sort(additions.begin(), additions.end());
    return additions;
}

std::vector<std::string> Repository::tasks_with_record(const std::string& name) {
    std::vector<std::string> tasks;
    const std::string tail = "/records/" + name;
    for (const auto& object : storage_.list("tasks/")) {
        const std::string rest = object.substr(6);
        const auto slash = rest.find('/');
        if (slash != std::string::npos && rest.compare(slash, std::string::npos, tail) == 0)
            tasks.push_back(rest.substr(0, slash));
    }
    return tasks;
}

}  // namespace zvfd

namespace zvfd {

bool Repository::has_record(const std::string& task, const std::string& name) {
    return storage_.exists(record_object(task, name));
}

std::set<std::string> Repository::damaged_packs() {
    std::set<std::string> packs;
    for (const std::string& object : storage_.list("damaged/")) {
        std::string bytes;
        try {
            bytes = storage_.get(object);
        } catch (const ObjectMissing&) {
            continue;
        }
        // Unreadable, it might have named any pack: refuse to guess and say so.
        const Envelope env = read_envelope(bytes, kDamagedMagic, "list of damaged packs " + object);
        ByteReader r(env.payload, "list of damaged packs " + object);
        for (std::uint32_t n = r.u32(); n > 0; --n) {
            std::string id, found;
            r.fields(id, found);
            packs.insert(std::move(id));
        }
        if (!r.done()) r.damaged();
    }
    return packs;
}

void Repository::record_damaged(const std::map<std::string, std::string>& packs) {
    if (packs.empty()) return;
    ByteWriter w;
    w.u32(static_cast<std::uint32_t>(packs.size()));
    for (const auto& [id, found] : packs) w.fields(id, found);
    Envelope env;
    env.key_id = std::string(16, '\0');
    env.payload = std::move(w.bytes());
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", std::gmtime(&now));
    // The random part keeps two checks in the same second apart.
    const std::string name = std::string("damaged/") + stamp + "-" + new_pack_id().substr(0, 12);
    storage_.put_if_absent(name, write_envelope(kDamagedMagic, env));
}

}  // namespace zvfd
