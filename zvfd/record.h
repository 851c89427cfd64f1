// A record: the full recipe of one backup, so that restoring it needs nothing else.
// The same bytes are the metadata file of "-m" (never sealed) and, sealed when a
// key is given, the record object of the repository. This is the first layout,
// which a record held whole keeps (an addition); a backup writes its record as it
// goes, in the second layout (record_stream.h).
//
// Payload (inside an envelope, codec.h; magic "ZVFDMETA" for the metadata file):
//   u32 property count, then (text key, text value) pairs
//   u32 pack count, then the pack ids as texts (blocks refer to them by position)
//   u32 file count, then per file:
//     text name (relative path below the restore directory), u32 mode, u32 uid,
//     u32 gid, u64 mtime (seconds), u64 size, u64 block count, then per block:
//       u64 offset in the file, u32 length, text name (the block's digest),
//       u32 pack position, u32 offset in the pack, u32 stored length, u8 flags
// Ranges of a file that no block covers are holes or zeros.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zvfd {

constexpr std::uint8_t kBlockCompressed = 1;
// The largest block size a backup takes (-b): a longer block can only come from a
// damaged record or index, and is refused before its length is reserved.
constexpr std::uint32_t kMaxBlockSize = 16u << 20;

struct BlockRef {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::string name;
    std::uint32_t pack = 0;
    std::uint32_t pack_offset = 0;
    std::uint32_t stored = 0;
    std::uint8_t flags = 0;
};

struct FileEntry {
    std::string name;
    std::uint32_t mode = 0644, uid = 0, gid = 0;
    std::uint64_t mtime = 0;
    std::uint64_t size = 0;
    std::vector<BlockRef> blocks;
    std::uint64_t stored_bytes() const;  // bytes of data the blocks cover
};

struct Record {
    std::map<std::string, std::string> props;
    std::vector<std::string> packs;
    std::vector<FileEntry> files;
    std::string prop(const std::string& key) const;
};

std::string encode_record(const Record& record);
// Throws Error("<what> is damaged") for bytes that are not a whole record.
Record decode_record(const std::string& payload, const std::string& what);

// The metadata file is written under a temporary name and renamed when complete.
void write_meta_file(const std::string& path, const Record& record);
// The same from the record's bytes (encode_record), when they are at hand already.
void write_meta_file(const std::string& path, std::string encoded);
// The bytes of a metadata file of the record's bytes (encode_record).
std::string meta_file_bytes(std::string encoded);
// A metadata file of either layout (record_stream.h for the second) as a Record;
// with `identity`, also what read_meta_payload gives.
Record read_meta_file(const std::string& path, std::string* identity = nullptr);
// The bytes that stand for the record, checked: the record (encode_record) in the
// first layout, its head in the second; the same bytes as the repository's record
// object holds (Repository::record_payload).
std::string read_meta_payload(const std::string& path);

// A name that stays below the restore directory: relative, no empty, "." or ".."
// component.
bool is_safe_name(const std::string& name);

// The largest file a record holds: more than any disk, and than what the file systems a
// restore writes to take.
constexpr std::uint64_t kMaxFileSize = 1ull << 60;

// Why files of these names cannot all be restored below one directory, or empty: a
// name that would leave it, a name given twice, or one that another needs as its
// directory ("disk" beside "disk/x").
std::string names_fault(const std::vector<std::string>& names);
// The same for the files of a record, and a size beyond kMaxFileSize: what a restore
// refuses before it writes anything, and a check calls damaged.
std::string files_fault(const std::vector<FileEntry>& files);

}  // namespace zvfd
