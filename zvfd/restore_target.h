// Where a restore writes: the directory of "-d" and below it each file of the record,
// reached one name component at a time from that directory, never through a link. A
// new file is written as a part file "NAME.zvfd-part" (created exclusively, mode
// 0600) and renamed over its name once every file is complete; a replica application
// ("-E") changes an existing regular file or block device in place. Any other kind of
// file under a name (a link, a directory, a device without -E) is refused before
// anything is written. Files are opened when written and closed after, a few at a
// time per worker, so that a restore of many files needs few descriptors. Used by
// restore.cpp.
//
//   TargetTree tree(dir);
//   Target& t = tree.add(entry, replica);
//   OpenTargets open(tree);
//   pwrite_all(open.fd(t), data, size, offset);
//   tree.finish(t); ... tree.commit();
#pragma once

#include "zvfd/io.h"
#include "zvfd/record.h"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zvfd {

enum class TargetKind { NewFile, InPlaceFile, InPlaceDevice };

struct Target {
    const FileEntry* entry = nullptr;
    TargetKind kind = TargetKind::NewFile;
    std::string dir, leaf;  // the record name split at its last "/"
    std::string path;       // "-d" joined with the name, for messages
    std::string part;       // the part file's path (a new file)
    dev_t dev = 0;          // the file written: whatever takes its name meanwhile is refused
    ino_t ino = 0;
    // In place: for each block of the entry, whether the target holds other bytes there.
    std::vector<char> differs;
    std::atomic<std::uint64_t> written{0};
    bool committed = false;
    bool in_place() const { return kind != TargetKind::NewFile; }
};

class TargetTree {
public:
    // Creates "-d" when missing.
    explicit TargetTree(const std::string& dir);
    // Removes the part files that were not put in place.
    ~TargetTree();
    TargetTree(const TargetTree&) = delete;
    TargetTree& operator=(const TargetTree&) = delete;

    // The target of `entry`, with its directories created and, for a new file, its
    // part file of the entry's size. Throws Error for a name the restore must not
    // write through or over.
    Target& add(const FileEntry& entry, bool replica);
    const std::vector<std::unique_ptr<Target>>& targets() const { return targets_; }
    // The target's file opened for reading and writing; Error when its name now
    // leads to another file.
    Fd open(const Target& t) const;
    // The ranges no block covers read as zeros, then the size, owner, mode and time
    // of the entry (a block device keeps its own), flushed to the disk.
    void finish(const Target& t) const;
    // Renames every new file over its name and flushes the directories that changed.
    void commit();

private:
    // The directory `dir` below "-d" (empty: "-d" itself), created when `create`.
    Fd open_directory(const std::string& dir, bool create) const;
    std::string root_path_;
    Fd root_;
    std::vector<std::unique_ptr<Target>> targets_;
};

// The targets a worker writes, the last few of them kept open.
class OpenTargets {
public:
    explicit OpenTargets(const TargetTree& tree, std::size_t keep = 8) : tree_(tree), keep_(keep) {}
    int fd(const Target& t);

private:
    const TargetTree& tree_;
    std::size_t keep_;
    std::vector<std::pair<const Target*, Fd>> open_;  // the most recently used last
};

}  // namespace zvfd
