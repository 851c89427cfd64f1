// The archive of an autonomous backup ("-n"): a whole repository in one file, so it
// can be copied, signed and restored alone ("-r").
//
//   8-byte magic "ZVFDARCH" | u32 version (1) |
//   objects back to back: text name, u64 length, the bytes |
//   directory: an envelope (codec.h) with magic "ZVFDADIR" whose payload is u32 count,
//   then per object: text name, u64 offset of its bytes, u64 length |
//   u64 offset of the directory | 8-byte magic "ZVFDAEND"
//
// Writing appends objects and ends with the directory; the file is written under a
// temporary name and renamed by the caller when complete.
#pragma once

#include "zvfd/io.h"
#include "zvfd/storage.h"

#include <map>
#include <mutex>

namespace zvfd {

class ArchiveFile : public Storage {
public:
    // A new archive at `path` (which must not exist), a part file (part_files.h) of
    // mode 0600 until the caller puts it in place.
    static std::unique_ptr<ArchiveFile> create(const std::string& path);
    // An existing archive; throws Error when it is not a complete archive.
    static std::unique_ptr<ArchiveFile> open(const std::string& path);

    bool put_if_absent(const std::string& name, const std::string& data) override;
    std::string get(const std::string& name) override;
    std::string get_at_most(const std::string& name, std::uint64_t limit) override;
    std::vector<std::string> list(const std::string& prefix) override;
    void remove(const std::string& name) override;
    bool exists(const std::string& name) override;
    std::string get_range(const std::string& name, std::uint64_t offset, std::size_t length) override;
    std::string describe() const override { return path_; }
    // Writes the directory and closes the file.
    void finish();

private:
    ArchiveFile(std::string path, Fd fd, bool writing) : path_(std::move(path)), fd_(std::move(fd)), writing_(writing) {}
    std::string path_;
    Fd fd_;
    bool writing_;
    std::mutex mutex_;
    std::uint64_t end_ = 0;
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> objects_;
};

}  // namespace zvfd
