// On-disk formats of the stand-in archiver: the archive file and the metadata file.
//
// Archive: the 16-byte magic "ZVFD-STANDIN-A1\n", then each file as data records
// ('D', u64 offset, u64 length, the bytes), with padding records ('P', 0, length, that
// many unused bytes) before them, closed by 'E', then the index text, then the
// footer (u64 index offset, u64 index length, "ZVFD-STANDIN-END"). Integers are
// little-endian. Holes are simply absent records, so sparse files stay cheap.
// Index and metadata file share one text form: "zvfd-standin-index 1", "key value"
// lines, then "file OFFSET SIZE STORED MODE NAME" lines; values and names are escaped
// so that any byte survives one line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zvfd {

constexpr char kArchiveMagic[] = "ZVFD-STANDIN-A1\n";
constexpr char kFooterMagic[] = "ZVFD-STANDIN-END";
constexpr std::size_t kMagicSize = 16;
constexpr std::size_t kFooterSize = 16 + kMagicSize;
constexpr std::size_t kRecordHeaderSize = 17;  // type byte, offset, length
constexpr char kDataRecord = 'D';
constexpr char kEndRecord = 'E';
constexpr char kPadRecord = 'P';  // (0, length): that many unused bytes follow
constexpr std::uint64_t kPageSize = 4096;
constexpr std::uint64_t kProgressChunk = 64ull << 20;  // data between two progress lines

struct FileEntry {
    std::string name;          // archive name, a relative path
    std::uint64_t offset = 0;  // first record of the file in the archive
    std::uint64_t size = 0;    // logical size
    std::uint64_t stored = 0;  // data bytes held in the archive
    unsigned mode = 0644;
};

struct Index {
    std::map<std::string, std::string> props;
    std::vector<FileEntry> files;

    std::string prop(const std::string& key) const;
};

std::string escape(const std::string& text);
std::string unescape(const std::string& text);

std::string index_text(const Index& index);
// Throws Error for text that is not an index of this format.
Index parse_index(const std::string& text);

// Reads a metadata file written by a backup.
Index read_meta_file(const std::string& path);

void put_u64(unsigned char* out, std::uint64_t value);
std::uint64_t get_u64(const unsigned char* in);

// An archive name becomes a path below the restore directory: it must be relative and
// free of empty, "." and ".." components.
bool is_safe_name(const std::string& name);
// A media server or archive name becomes one directory entry of the store.
bool is_path_component(const std::string& name);

}  // namespace zvfd
