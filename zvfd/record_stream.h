// A record written while its backup runs, so that neither the archiver nor its
// metadata file has to hold the whole record in memory, and read back as a Record
// (record.h), whose first layout stays readable.
//
// The second layout of a record: the blocks of each finished piece of a file, in
// the order the pieces were finished, as a stream of chunks:
//   u32 file | u64 offset of the piece | u32 block count | per block: u64 offset in
//   the file, u32 length, the name (of the head's name size), u32 pack position,
//   u32 offset in the pack, u32 stored length, u8 flags
// cut at chunk boundaries into parts of about 4 MiB, and a head:
//   u32 prop count, (text key, text value) pairs | u8 name size | text run id |
//   u32 part count, per part: u64 length, SHA-256 of the part (32 bytes) |
//   u32 pack count, the pack ids as texts | u32 file count, per file: text name,
//   u32 mode, u32 uid, u32 gid, u64 mtime, u64 size, u64 block count |
//   u32 chunk count, per chunk: u32 file, u64 offset, u64 end, u32 blocks, u64
//   position in the stream, sorted by file and offset
// The head names each part's digest, so the head alone stands for the whole record.
//
// In a repository: part n is the object "tasks/<task>/parts/<run id>/<n>" (envelope
// "ZVFDRPRT", sealed like the record), put as soon as it is full; the record object
// "tasks/<task>/records/<name>" is the head (envelope "ZVFDRECD" version 2), put
// last: a run killed in the middle leaves parts that no record names, and no record.
// The metadata file: "ZVFDMETA" | u32 version (2) | u32 0 | the parts as envelopes
// "ZVFDRPRT" (never sealed) | the head as envelope "ZVFDMETA" version 2 | u64 offset
// of that envelope | "ZVFDMEND". Written under a temporary name as the parts come.
#pragma once

#include "zvfd/part_files.h"
#include "zvfd/record.h"
#include "zvfd/repository.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zvfd {

// Where the packing of files puts what it finds (file_packer.h).
// A run of one file's blocks in the record's stream: which file, the bytes of it the
// run covers, how many blocks, and where the run starts in the stream.
struct RecordChunk {
    std::uint32_t file;
    std::uint64_t offset, end;
    std::uint32_t blocks;
    std::uint64_t position;
};

class RecordSink {
public:
    virtual ~RecordSink() = default;
    // The files, numbered from 0 in this order, before any of their blocks.
    virtual void set_files(std::vector<FileEntry> files) = 0;
    // The blocks of a finished piece of `file` that begins at `offset`, in file order,
    // and the pack id of each. Safe to call from several threads.
    virtual void add_piece(std::uint32_t file, std::uint64_t offset, std::vector<BlockRef> blocks,
                           const std::vector<std::string>& packs) = 0;
};

// Into a Record held in memory, after the files it holds already.
class RecordInMemory : public RecordSink {
public:
    explicit RecordInMemory(Record& record) : record_(record), first_(record.files.size()) {}
    void set_files(std::vector<FileEntry> files) override;
    void add_piece(std::uint32_t file, std::uint64_t offset, std::vector<BlockRef> blocks,
                   const std::vector<std::string>& packs) override;
    // Puts each new file's blocks in file order.
    void finish();

private:
    Record& record_;
    const std::size_t first_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::uint32_t> pack_numbers_;
};

// Into the repository (and the metadata file) as it comes.
class RecordWriter : public RecordSink {
public:
    // `meta_path` empty: no metadata file.
    RecordWriter(Repository& repository, std::string task, std::string name, std::string meta_path,
                 std::size_t name_size);
    // A metadata file left unfinished is removed.
    ~RecordWriter() override = default;
    void set_files(std::vector<FileEntry> files) override;
    void add_piece(std::uint32_t file, std::uint64_t offset, std::vector<BlockRef> blocks,
                   const std::vector<std::string>& packs) override;
    // Puts the last part and completes the metadata file, which it hands over (null
    // without one) to be put in place once the record is stored.
    std::unique_ptr<PartFile> seal(const std::map<std::string, std::string>& props);
    // Then puts the record; false when its name was taken meanwhile.
    bool put_head();

private:
    void put_part_locked();

    Repository& repository_;
    const std::string task_, name_, meta_path_, meta_part_;
    const std::size_t name_size_;
    const std::string run_;
    std::mutex mutex_;
    std::unique_ptr<PartFile> meta_part_file_;
    Fd meta_;
    std::uint64_t meta_at_ = 0;
    std::string head_;
    std::vector<FileEntry> files_;
    std::vector<std::uint64_t> file_blocks_;
    std::vector<std::string> packs_;
    std::unordered_map<std::string, std::uint32_t> pack_numbers_;
    std::vector<RecordChunk> chunks_;
    std::string part_;  // the stream since the last part
    std::uint64_t stream_ = 0;
    std::vector<std::pair<std::uint64_t, std::string>> parts_;  // length, SHA-256
};

// The object name of part n of a record written by run `run`.
std::string record_part_object(const std::string& task, const std::string& run, std::uint32_t n);

// The props of a second-layout head.
std::map<std::string, std::string> record_head_props(const std::string& head, const std::string& what);
// The run id and the part count that a second-layout head names.
std::pair<std::string, std::uint32_t> record_parts_of(const std::string& head, const std::string& what);
// The record of a second-layout head (`head`: its plain bytes), its parts fetched by
// `part` (the plain bytes of part n). Throws Error("<what> is damaged") when they do
// not add up.
Record assemble_record(const std::string& head, const std::function<std::string(std::uint32_t)>& part,
                       const std::string& what);
// Whether a metadata file has the second layout, and its head and parts.
bool is_streamed_meta(const std::string& bytes);
// Whether `tail`, the last bytes of a metadata file of the second layout, holds its end
// mark: one grown past its end (a sparse copy) has lost it.
bool ends_streamed_meta(const std::string& tail);
Record read_streamed_meta(const std::string& bytes, const std::string& path, std::string* head);

// The reference of an incremental: the blocks of a metadata file, by file name and
// offset, read where they are asked for (the second layout) or held (the first).
class Reference {
public:
    static std::unique_ptr<Reference> open(const std::string& path);
    // The record's props; its files and blocks stay in the file.
    const std::map<std::string, std::string>& props() const { return props_; }
    std::string prop(const std::string& key) const;
    // Its version (repository.h: record_version).
    unsigned version() const;
    // The bytes that stand for the record: what the repository's record object holds.
    const std::string& identity() const { return identity_; }
    // The reference's blocks of file `name` that begin in [from, to), with the pack
    // id of each. Safe to call from several threads.
    void blocks_in(const std::string& name, std::uint64_t from, std::uint64_t to, std::vector<BlockRef>& blocks,
                   std::vector<std::string>& packs);

private:
    std::string part(std::uint32_t n);

    std::map<std::string, std::string> props_;
    std::string identity_;
    std::unique_ptr<Record> whole_;  // the first layout
    Fd fd_;
    std::string path_;
    std::size_t name_size_ = 0;
    std::vector<std::string> packs_;
    std::map<std::string, std::uint32_t> files_;
    std::vector<RecordChunk> chunks_;
    std::vector<std::uint64_t> part_starts_, part_at_;  // in the stream, in the file
    std::vector<std::string> part_sums_;
    std::mutex mutex_;
    std::vector<std::pair<std::uint32_t, std::shared_ptr<const std::string>>> recent_;  // a few parts read
};

}  // namespace zvfd
