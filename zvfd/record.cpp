#include "zvfd/record.h"

#include "zvfd/codec.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

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

std::string encode_record(const Record& record) {
    ByteWriter w;
    w.u32(static_cast<std::uint32_t>(record.props.size()));
    for (const auto& [k, v] : record.props) {
        w.text(k);
        w.text(v);
    }
    w.u32(static_cast<std::uint32_t>(record.packs.size()));
    for (const auto& p : record.packs) w.text(p);
    w.u32(static_cast<std::uint32_t>(record.files.size()));
    for (const auto& f : record.files) {
        w.text(f.name);
        w.u32(f.mode);
        w.u32(f.uid);
        w.u32(f.gid);
        w.u64(f.mtime);
        w.u64(f.size);
        w.u64(f.blocks.size());
        for (const auto& b : f.blocks) {
            w.u64(b.offset);
            w.u32(b.length);
            w.text(b.name);
            w.u32(b.pack);
            w.u32(b.pack_offset);
            w.u32(b.stored);
            w.u8(b.flags);
        }
    }
    return std::move(w.bytes());
}

Record decode_record(const std::string& payload, const std::string& what) {
    ByteReader r(payload, what);
    Record record;
    for (std::uint32_t n = r.u32(); n > 0; --n) {
        std::string k = r.text();
        record.props[k] = r.text();
    }
    for (std::uint32_t n = r.u32(); n > 0; --n) record.packs.push_back(r.text());
    for (std::uint32_t n = r.u32(); n > 0; --n) {
        FileEntry f;
        f.name = r.text();
        f.mode = r.u32();
        f.uid = r.u32();
        f.gid = r.u32();
        f.mtime = r.u64();
        f.size = r.u64();
        std::uint64_t count = r.u64();
        if (count > r.left() / 29) r.damaged();  // a block takes at least 29 bytes
        f.blocks.resize(count);
        for (auto& b : f.blocks) {
            b.offset = r.u64();
            b.length = r.u32();
            b.name = r.text();
            b.pack = r.u32();
            b.pack_offset = r.u32();
            b.stored = r.u32();
            b.flags = r.u8();
            if (b.pack >= record.packs.size() || b.offset > f.size || b.length > f.size - b.offset) r.damaged();
        }
        record.files.push_back(std::move(f));
    }
    if (!r.done()) r.damaged();
    return record;
}

void write_meta_file(const std::string& path, const Record& record) {
    Envelope e;
    e.key_id = std::string(16, '\0');
    e.payload = encode_record(record);
    const std::string bytes = write_envelope(kMetaMagic, e);
    const std::string part = path + ".part";
    {
        Fd fd = open_file(part, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pwrite_all(fd.get(), bytes.data(), bytes.size(), 0);
        if (::fsync(fd.get()) != 0) throw_errno("cannot flush " + part);
        fd.close(part);
    }
    if (::rename(part.c_str(), path.c_str()) != 0) {
        ::unlink(part.c_str());
        throw_errno("cannot put the metadata file " + path + " in place");
    }
}

Record read_meta_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot read metadata file " + path);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string what = "metadata file " + path;
    return decode_record(read_envelope(bytes, kMetaMagic, what).payload, what);
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
