#include "zvfd/record.h"

#include "zvfd/codec.h"
#include "zvfd/part_files.h"
#include "zvfd/record_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>

namespace zvfd {

namespace {
constexpr char kMetaMagic[9] = "ZVFDMETA";
}

std::uint64_t FileEntry::stored_bytes() const {
    std::uint64_t n = 0;
    for (const auto& b : blocks) n += b.length;
    return n;
}

std::string Record::prop(const std::string& key) const {
    auto it = props.find(key);
    return it == props.end() ? std::string() : it->second;
}

namespace {

// A file's and a block's fields in their stored order, for writing (ByteWriter) and
// reading (ByteReader) alike.
template <class Codec, class File>
void file_fields(Codec& c, File& f) {
    c.fields(f.name, f.mode, f.uid, f.gid, f.mtime, f.size);
}

template <class Codec, class Block>
void block_fields(Codec& c, Block& b) {
    c.fields(b.offset, b.length, b.name, b.pack, b.pack_offset, b.stored, b.flags);
}

}  // namespace

std::string encode_record(const Record& record) {
    ByteWriter w;
    std::size_t size = 64 + 64 * record.props.size() + 40 * record.packs.size();
    for (const auto& f : record.files) {
        size += 64 + f.name.size();
        for (const auto& b : f.blocks) size += 33 + b.name.size();
    }
    w.reserve(size);
    write_props(w, record.props);
    w.u32(static_cast<std::uint32_t>(record.packs.size()));
    for (const auto& p : record.packs) w.text(p);
    w.u32(static_cast<std::uint32_t>(record.files.size()));
    for (const auto& f : record.files) {
        file_fields(w, f);
        w.u64(f.blocks.size());
        for (const auto& b : f.blocks) block_fields(w, b);
    }
    return std::move(w.bytes());
}

Record decode_record(const std::string& payload, const std::string& what) {
    ByteReader r(payload, what);
    Record record;
    record.props = read_props(r);
    for (std::uint32_t n = r.u32(); n > 0; --n) record.packs.push_back(r.text());
    for (std::uint32_t n = r.u32(); n > 0; --n) {
        FileEntry f;
        file_fields(r, f);
        const std::uint64_t count = r.u64();
        if (count > r.left() / 29) r.damaged();  // a block takes at least 29 bytes
        f.blocks.resize(count);
        for (auto& b : f.blocks) {
            block_fields(r, b);
            if (b.pack >= record.packs.size() || b.offset > f.size || b.length > f.size - b.offset ||
                b.length > kMaxBlockSize)
                r.damaged();
        }
        record.files.push_back(std::move(f));
    }
    if (!r.done()) r.damaged();
    return record;
}

void write_meta_file(const std::string& path, const Record& record) { write_meta_file(path, encode_record(record)); }

std::string meta_file_bytes(std::string encoded) {
    Envelope e;
    e.key_id = std::string(16, '\0');
    e.payload = std::move(encoded);
    return write_envelope(kMetaMagic, e);
}

void write_meta_file(const std::string& path, std::string encoded) {
    write_part(path, meta_file_bytes(std::move(encoded)), "the metadata file")->commit_to(path);
}

// A metadata file is taken whole, but refused for its size first: one grown past its
// end (a sparse copy, a damaged disk) takes no memory. The first layout says in its
// header how long it is; the second ends in an end mark.
std::string read_meta_bytes(const std::string& path) {
    const std::string what = "metadata file " + path;
    const std::string head = read_head(path, "metadata file", kEnvelopeHead);
    std::uint64_t length = UINT64_MAX;
    if (head.size() == kEnvelopeHead) {
        if (head.compare(0, 8, kMetaMagic, 8) != 0) read_envelope(head, kMetaMagic, what);  // says what it is not
        if (head.compare(8, 4, std::string("\x01\0\0\0", 4)) == 0) length = envelope_length(head, kMetaMagic);
        if (head.compare(8, 4, std::string("\x02\0\0\0", 4)) == 0) {
            const Fd fd = open_file(path, O_RDONLY);
            const off_t size = ::lseek(fd.get(), 0, SEEK_END);
            std::string tail(8, '\0');
            if (size < 8 || pread_some(fd.get(), tail.data(), 8, static_cast<std::uint64_t>(size) - 8) != 8 ||
                !ends_streamed_meta(tail))
                throw Error(what + " is truncated or damaged");
        }
    }
    return read_file(path, "metadata file", length);
}

Record read_meta_file(const std::string& path, std::string* identity) {
    const std::string bytes = read_meta_bytes(path);
    if (is_streamed_meta(bytes)) return read_streamed_meta(bytes, path, identity);
    const std::string what = "metadata file " + path;
    std::string payload = read_envelope(bytes, kMetaMagic, what).payload;
    Record record = decode_record(payload, what);
    if (identity) *identity = std::move(payload);
    return record;
}

std::string read_meta_payload(const std::string& path) {
    const std::string bytes = read_meta_bytes(path);
    std::string head;
    if (is_streamed_meta(bytes)) {
        read_streamed_meta(bytes, path, &head);
        return head;
    }
    return read_envelope(bytes, kMetaMagic, "metadata file " + path).payload;
}

std::string names_fault(const std::vector<std::string>& names) {
    std::set<std::string> seen;
    for (const std::string& name : names) {
        if (!is_safe_name(name)) return "the name '" + name + "' would leave the restore directory";
        if (!seen.insert(name).second) return "the name '" + name + "' is given twice";
    }
    for (const std::string& name : names)
        for (auto slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
            if (seen.count(name.substr(0, slash)))
                return "the name '" + name.substr(0, slash) + "' is a file and the directory of '" + name + "'";
    return {};
}

std::string files_fault(const std::vector<FileEntry>& files) {
    std::vector<std::string> names;
    names.reserve(files.size());
    for (const FileEntry& f : files) {
        if (f.size > kMaxFileSize)
            return "the file '" + f.name + "' would be " + std::to_string(f.size) + " bytes, more than a restore writes";
        names.push_back(f.name);
    }
    return names_fault(names);
}

bool is_safe_name(const std::string& name) {
    if (name.empty() || name.front() == '/') return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace zvfd
