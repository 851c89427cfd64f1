#include "zvfd/record_stream.h"

#include "zvfd/block_name.h"
#include "zvfd/codec.h"
#include "zvfd/pack.h"
#include "zvfd/part_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace zvfd {

namespace {

constexpr std::size_t kRecordPart = 4u << 20;
constexpr char kMetaMagic[9] = "ZVFDMETA";
constexpr char kMetaEnd[9] = "ZVFDMEND";
constexpr char kPartMagic[9] = "ZVFDRPRT";
constexpr std::size_t kPreamble = 16;
constexpr std::size_t kEnvelopeTail = 32;  // after a head of kEnvelopeHead (codec.h)
constexpr std::size_t kParts = 6;  // parts a reference keeps read

std::size_t block_bytes(std::size_t name_size) { return 25 + name_size; }

template <class Codec, class C>
void chunk_fields(Codec& c, C& chunk) {
    c.fields(chunk.file, chunk.offset, chunk.end, chunk.blocks, chunk.position);
}

struct Head {
    std::map<std::string, std::string> props;
    std::size_t name_size = 0;
    std::string run;
    std::vector<std::pair<std::uint64_t, std::string>> parts;
    std::vector<std::string> packs;
    std::vector<FileEntry> files;
    std::vector<std::uint64_t> file_blocks;
    std::vector<RecordChunk> chunks;
};

Head decode_head(const std::string& bytes, const std::string& what) {
    ByteReader r(bytes, what);
    Head h;
    h.props = read_props(r);
    h.name_size = r.u8();
    h.run = r.text();
    const std::uint32_t parts = r.u32();
    if (parts > r.left() / 40) r.damaged();
    std::uint64_t stream = 0;
    for (std::uint32_t n = 0; n < parts; ++n) {
        const std::uint64_t length = r.u64();
        h.parts.emplace_back(length, r.raw(32));
        stream += length;
    }
    const std::uint32_t packs = r.u32();
    if (packs > r.left() / 4) r.damaged();
    for (std::uint32_t n = 0; n < packs; ++n) h.packs.push_back(r.text());
    const std::uint32_t files = r.u32();
    if (files > r.left() / 40) r.damaged();
    for (std::uint32_t n = 0; n < files; ++n) {
        FileEntry f;
        r.fields(f.name, f.mode, f.uid, f.gid, f.mtime, f.size);
        h.file_blocks.push_back(r.u64());
        h.files.push_back(std::move(f));
    }
    const std::uint32_t chunks = r.u32();
    if (chunks > r.left() / 32) r.damaged();
    for (std::uint32_t n = 0; n < chunks; ++n) {
        RecordChunk c;
        chunk_fields(r, c);
        if (c.file >= files || c.end < c.offset || c.position >= stream ||
            (n > 0 && std::tie(h.chunks.back().file, h.chunks.back().offset) >= std::tie(c.file, c.offset)))
            r.damaged();
        h.chunks.push_back(c);
    }
    if (!r.done()) r.damaged();
    return h;
}

// One block of a chunk, checked against what the head says of the record.
void read_block(ByteReader& r, std::size_t name_size, std::size_t packs, std::uint64_t file_size, BlockRef& b) {
    b.offset = r.u64();
    b.length = r.u32();
    b.name = r.raw(name_size);
    r.fields(b.pack, b.pack_offset, b.stored, b.flags);
    if (b.pack >= packs || b.offset > file_size || b.length > file_size - b.offset || b.length > kMaxBlockSize)
        r.damaged();
}

// The chunk header at the reader, checked to name a file of the head.
std::pair<std::uint32_t, std::uint32_t> read_chunk_head(ByteReader& r, const Head& h, std::uint64_t& offset) {
    const std::uint32_t file = r.u32();
    offset = r.u64();
    const std::uint32_t count = r.u32();
    if (file >= h.files.size() || count > r.left() / block_bytes(h.name_size)) r.damaged();
    return {file, count};
}

void write_file_at(int fd, const std::string& bytes, std::uint64_t& at, const std::string& path) {
    try {
        pwrite_all(fd, bytes.data(), bytes.size(), at);
    } catch (const Error& e) {
        throw Error("cannot write the metadata file " + path + ": " + e.what());
    }
    at += bytes.size();
}

std::string plain_envelope(const char (&magic)[9], std::uint32_t version, std::string payload) {
    Envelope e;
    e.version = version;
    e.key_id = std::string(16, '\0');
    e.payload = std::move(payload);
    return write_envelope(magic, e);
}

}  // namespace

std::string record_part_object(const std::string& task, const std::string& run, std::uint32_t n) {
    return "tasks/" + task + "/parts/" + run + "/" + std::to_string(n);
}

void RecordInMemory::set_files(std::vector<FileEntry> files) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < record_.packs.size(); ++i)
        pack_numbers_.emplace(record_.packs[i], static_cast<std::uint32_t>(i));
    for (auto& f : files) record_.files.push_back(std::move(f));
}

void RecordInMemory::add_piece(std::uint32_t file, std::uint64_t, std::vector<BlockRef> blocks,
                               const std::vector<std::string>& packs) {
    std::lock_guard<std::mutex> lock(mutex_);
    FileEntry& entry = record_.files.at(first_ + file);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        auto [it, added] = pack_numbers_.emplace(packs[i], static_cast<std::uint32_t>(record_.packs.size()));
        if (added) record_.packs.push_back(packs[i]);
        blocks[i].pack = it->second;
        entry.blocks.push_back(std::move(blocks[i]));
    }
}

void RecordInMemory::finish() {
    for (std::size_t i = first_; i < record_.files.size(); ++i)
        std::stable_sort(record_.files[i].blocks.begin(), record_.files[i].blocks.end(),
                         [](const BlockRef& a, const BlockRef& b) { return a.offset < b.offset; });
}

RecordWriter::RecordWriter(Repository& repository, std::string task, std::string name, std::string meta_path,
                           std::size_t name_size)
    : repository_(repository),
      task_(std::move(task)),
      name_(std::move(name)),
      meta_path_(std::move(meta_path)),
      meta_part_(meta_path_.empty() ? std::string() : meta_path_ + ".part"),
      name_size_(name_size),
      run_(new_pack_id()) {
    if (meta_path_.empty()) return;
    meta_part_file_ = std::make_unique<PartFile>(meta_part_);
    ::unlink(meta_part_.c_str());  // left by a run that was killed
    meta_ = create_part_file(AT_FDCWD, meta_part_, meta_part_, O_WRONLY, 0600);
    ByteWriter w;
    w.raw(std::string(kMetaMagic, 8));
    w.u32(2);
    w.u32(0);
    write_file_at(meta_.get(), w.bytes(), meta_at_, meta_path_);
}

void RecordWriter::set_files(std::vector<FileEntry> files) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_blocks_.assign(files.size(), 0);
    files_ = std::move(files);
}

void RecordWriter::add_piece(std::uint32_t file, std::uint64_t offset, std::vector<BlockRef> blocks,
                             const std::vector<std::string>& packs) {
    if (blocks.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    ByteWriter w;
    w.reserve(16 + blocks.size() * block_bytes(name_size_));
    w.u32(file);
    w.u64(offset);
    w.u32(static_cast<std::uint32_t>(blocks.size()));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const BlockRef& b = blocks[i];
        if (b.name.size() != name_size_) throw Error("a block name of another size than the record's");
        auto [it, added] = pack_numbers_.emplace(packs[i], static_cast<std::uint32_t>(packs_.size()));
        if (added) packs_.push_back(packs[i]);
        w.u64(b.offset);
        w.u32(b.length);
        w.raw(b.name);
        w.fields(it->second, b.pack_offset, b.stored, b.flags);
    }
    chunks_.push_back({file, offset, blocks.back().offset + blocks.back().length,
                       static_cast<std::uint32_t>(blocks.size()), stream_ + part_.size()});
    file_blocks_.at(file) += blocks.size();
    part_ += w.bytes();
    if (part_.size() >= kRecordPart) put_part_locked();
}

void RecordWriter::put_part_locked() {
    const std::uint32_t n = static_cast<std::uint32_t>(parts_.size());
    repository_.put_record_part(task_, record_part_object(task_, run_, n), part_);
    if (meta_.get() >= 0) write_file_at(meta_.get(), plain_envelope(kPartMagic, 1, part_), meta_at_, meta_path_);
    parts_.emplace_back(part_.size(), sha256(part_));
    stream_ += part_.size();
    part_.clear();
}

std::unique_ptr<PartFile> RecordWriter::seal(const std::map<std::string, std::string>& props) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!part_.empty()) put_part_locked();
    std::sort(chunks_.begin(), chunks_.end(),
              [](const RecordChunk& a, const RecordChunk& b) { return std::tie(a.file, a.offset) < std::tie(b.file, b.offset); });
    ByteWriter w;
    write_props(w, props);
    w.u8(static_cast<std::uint8_t>(name_size_));
    w.text(run_);
    w.u32(static_cast<std::uint32_t>(parts_.size()));
    for (const auto& [length, sum] : parts_) {
        w.u64(length);
        w.raw(sum);
    }
    w.u32(static_cast<std::uint32_t>(packs_.size()));
    for (const auto& id : packs_) w.text(id);
    w.u32(static_cast<std::uint32_t>(files_.size()));
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const FileEntry& f = files_[i];
        w.fields(f.name, f.mode, f.uid, f.gid, f.mtime, f.size, file_blocks_[i]);
    }
    w.u32(static_cast<std::uint32_t>(chunks_.size()));
    for (RecordChunk& c : chunks_) chunk_fields(w, c);
    head_ = std::move(w.bytes());
    const std::string& head = head_;
    if (meta_.get() >= 0) {
        const std::uint64_t at = meta_at_;
        write_file_at(meta_.get(), plain_envelope(kMetaMagic, 2, head), meta_at_, meta_path_);
        ByteWriter end;
        end.u64(at);
        end.raw(std::string(kMetaEnd, 8));
        write_file_at(meta_.get(), end.bytes(), meta_at_, meta_path_);
        if (::fsync(meta_.get()) != 0) throw_errno("cannot flush " + meta_part_);
        meta_.close(meta_part_);
    }
    return std::move(meta_part_file_);
}

bool RecordWriter::put_head() { return repository_.put_record_head(task_, name_, head_, packs_); }

std::map<std::string, std::string> record_head_props(const std::string& head, const std::string& what) {
    return decode_head(head, what).props;
}

std::pair<std::string, std::uint32_t> record_parts_of(const std::string& head, const std::string& what) {
    const Head h = decode_head(head, what);
    if (!is_plain_name(h.run)) throw Error(what + " is damaged");
    return {h.run, static_cast<std::uint32_t>(h.parts.size())};
}

Record assemble_record(const std::string& head_bytes, const std::function<std::string(std::uint32_t)>& part,
                       const std::string& what) {
    const Head h = decode_head(head_bytes, what);
    Record record;
    record.props = h.props;
    record.packs = h.packs;
    record.files = h.files;
    for (std::size_t i = 0; i < h.files.size(); ++i) {
        if (h.file_blocks[i] > (std::uint64_t(1) << 40)) throw Error(what + " is damaged");
        record.files[i].blocks.reserve(static_cast<std::size_t>(h.file_blocks[i]));
    }
    for (std::uint32_t n = 0; n < h.parts.size(); ++n) {
        const std::string plain = part(n);
        if (plain.size() != h.parts[n].first || sha256(plain) != h.parts[n].second)
            throw Error(what + " is damaged: part " + std::to_string(n) + " is not the one it names");
        ByteReader r(plain, what);
        while (!r.done()) {
            std::uint64_t offset;
            const auto [file, count] = read_chunk_head(r, h, offset);
            auto& blocks = record.files[file].blocks;
            for (std::uint32_t i = 0; i < count; ++i) {
                BlockRef b;
                read_block(r, h.name_size, h.packs.size(), h.files[file].size, b);
                blocks.push_back(std::move(b));
            }
        }
    }
    for (std::size_t i = 0; i < record.files.size(); ++i) {
        auto& blocks = record.files[i].blocks;
        if (blocks.size() != h.file_blocks[i]) throw Error(what + " is damaged");
        std::stable_sort(blocks.begin(), blocks.end(), [](const BlockRef& a, const BlockRef& b) { return a.offset < b.offset; });
    }
    return record;
}

bool is_streamed_meta(const std::string& bytes) {
    if (bytes.size() < kPreamble || bytes.compare(0, 8, kMetaMagic, 8) != 0) return false;
    ByteReader r(bytes, "metadata file");
    r.raw(8);
    return r.u32() == 2;
}

bool ends_streamed_meta(const std::string& tail) {
    return tail.size() >= 8 && tail.compare(tail.size() - 8, 8, kMetaEnd, 8) == 0;
}

Record read_streamed_meta(const std::string& bytes, const std::string& path, std::string* head_out) {
    const std::string what = "metadata file " + path;
    if (bytes.size() < kPreamble + 16 || bytes.compare(bytes.size() - 8, 8, kMetaEnd, 8) != 0)
        throw Error(what + " is truncated or damaged");
    const std::string end = bytes.substr(bytes.size() - 16, 8);
    ByteReader tail(end, what);
    const std::uint64_t at = tail.u64();
    if (at < kPreamble || at > bytes.size() - 16) throw Error(what + " is truncated or damaged");
    const Envelope head = read_envelope(bytes.substr(at, bytes.size() - 16 - at), kMetaMagic, what, 2);
    if (head.version != 2) throw Error(what + " is damaged");
    std::vector<std::string> parts;
    for (std::uint64_t pos = kPreamble; pos < at;) {
        if (at - pos < kEnvelopeHead + kEnvelopeTail) throw Error(what + " is truncated or damaged");
        const std::string size_field = bytes.substr(pos + kEnvelopeHead - 8, 8);
        ByteReader length(size_field, what);
        const std::uint64_t n = length.u64();
        if (n > at - pos - kEnvelopeHead - kEnvelopeTail) throw Error(what + " is truncated or damaged");
        const std::size_t size = static_cast<std::size_t>(kEnvelopeHead + n + kEnvelopeTail);
        parts.push_back(read_envelope(bytes.substr(pos, size), kPartMagic, what).payload);
        pos += size;
    }
    Record record = assemble_record(head.payload, [&](std::uint32_t n) {
        if (n >= parts.size()) throw Error(what + " is truncated or damaged");
        return parts[n];
    }, what);
    if (head_out) *head_out = head.payload;
    return record;
}

std::unique_ptr<Reference> Reference::open(const std::string& path) {
    auto ref = std::unique_ptr<Reference>(new Reference());
    ref->path_ = path;
    const std::string what = "metadata file " + path;
    ref->fd_ = open_file(path, O_RDONLY);
    struct stat st {};
    if (::fstat(ref->fd_.get(), &st) != 0) throw_errno("cannot read " + path);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::string preamble(kPreamble, '\0');
    preamble.resize(pread_some(ref->fd_.get(), preamble.data(), kPreamble, 0));
    if (!is_streamed_meta(preamble)) {
        ref->identity_ = read_meta_payload(path);
        ref->whole_ = std::make_unique<Record>(decode_record(ref->identity_, what));
        ref->props_ = ref->whole_->props;
        for (std::size_t i = 0; i < ref->whole_->files.size(); ++i)
            ref->files_.emplace(ref->whole_->files[i].name, static_cast<std::uint32_t>(i));
        return ref;
    }
    if (size < kPreamble + 16) throw Error(what + " is truncated or damaged");
    std::string tail(16, '\0');
    pread_exact(ref->fd_.get(), tail.data(), 16, size - 16);
    if (tail.compare(8, 8, kMetaEnd, 8) != 0) throw Error(what + " is truncated or damaged");
    ByteReader t(tail, what);
    const std::uint64_t at = t.u64();
    if (at < kPreamble || at > size - 16) throw Error(what + " is truncated or damaged");
    std::string envelope(static_cast<std::size_t>(size - 16 - at), '\0');
    pread_exact(ref->fd_.get(), envelope.data(), envelope.size(), at);
    const Envelope head = read_envelope(envelope, kMetaMagic, what, 2);
    if (head.version != 2) throw Error(what + " is damaged");
    const Head h = decode_head(head.payload, what);
    ref->identity_ = head.payload;
    ref->props_ = h.props;
    ref->name_size_ = h.name_size;
    ref->packs_ = h.packs;
    for (std::size_t i = 0; i < h.files.size(); ++i) ref->files_.emplace(h.files[i].name, static_cast<std::uint32_t>(i));
    for (const auto& c : h.chunks) ref->chunks_.push_back({c.file, c.offset, c.end, c.blocks, c.position});
    std::uint64_t stream = 0, pos = kPreamble;
    for (const auto& [length, sum] : h.parts) {
        ref->part_starts_.push_back(stream);
        ref->part_at_.push_back(pos + kEnvelopeHead);
        ref->part_sums_.push_back(sum);
        stream += length;
        pos += kEnvelopeHead + length + kEnvelopeTail;
    }
    ref->part_starts_.push_back(stream);
    if (pos != at) throw Error(what + " is truncated or damaged");
    return ref;
}

std::string Reference::prop(const std::string& key) const {
    auto it = props_.find(key);
    return it == props_.end() ? std::string() : it->second;
}

unsigned Reference::version() const {
    Record props_only;
    props_only.props = props_;
    return record_version(props_only);
}

std::string Reference::part(std::uint32_t n) {
    const std::string what = "metadata file " + path_;
    std::string bytes(static_cast<std::size_t>(part_starts_[n + 1] - part_starts_[n]), '\0');
    pread_exact(fd_.get(), bytes.data(), bytes.size(), part_at_[n]);
    if (sha256(bytes) != part_sums_[n]) throw Error(what + " is damaged: part " + std::to_string(n));
    return bytes;
}

void Reference::blocks_in(const std::string& name, std::uint64_t from, std::uint64_t to, std::vector<BlockRef>& blocks,
                          std::vector<std::string>& packs) {
    blocks.clear();
    packs.clear();
    auto file = files_.find(name);
    if (file == files_.end()) return;
    if (whole_) {
        const auto& all = whole_->files[file->second].blocks;
        auto it = std::lower_bound(all.begin(), all.end(), from,
                                   [](const BlockRef& b, std::uint64_t at) { return b.offset < at; });
        for (; it != all.end() && it->offset < to; ++it) {
            blocks.push_back(*it);
            packs.push_back(whole_->packs.at(it->pack));
        }
        return;
    }
    const std::string what = "metadata file " + path_;
    auto it = std::lower_bound(chunks_.begin(), chunks_.end(), std::make_pair(file->second, from),
                               [](const RecordChunk& c, const std::pair<std::uint32_t, std::uint64_t>& key) {
                                   return std::tie(c.file, c.end) <= std::tie(key.first, key.second);
                               });
    for (; it != chunks_.end() && it->file == file->second && it->offset < to; ++it) {
        const auto n = static_cast<std::uint32_t>(
            std::upper_bound(part_starts_.begin(), part_starts_.end(), it->position) - part_starts_.begin() - 1);
        std::shared_ptr<const std::string> bytes;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [number, kept] : recent_)
                if (number == n) bytes = kept;
        }
        if (!bytes) {
            bytes = std::make_shared<const std::string>(part(n));
            std::lock_guard<std::mutex> lock(mutex_);
            recent_.emplace_back(n, bytes);
            if (recent_.size() > kParts) recent_.erase(recent_.begin());
        }
        ByteReader r(*bytes, what);
        r.skip(static_cast<std::size_t>(it->position - part_starts_[n]));
        std::uint64_t offset = 0;
        if (r.u32() != it->file || (offset = r.u64()) != it->offset || r.u32() != it->blocks) r.damaged();
        for (std::uint32_t i = 0; i < it->blocks; ++i) {
            BlockRef b;
            // The file's size is not in a chunk: a block is only taken at its own offset.
            read_block(r, name_size_, packs_.size(), ~std::uint64_t(0) >> 1, b);
            if (b.offset >= from && b.offset < to) {
                packs.push_back(packs_[b.pack]);
                blocks.push_back(std::move(b));
            }
        }
    }
}

}  // namespace zvfd
