// The repository check ("--check"): for every record of a task, that each pack it
// needs is in the store, and with "--read-data" that each of its blocks opens and
// matches its name or tag. One line per record; the exit code is 0 only when every
// record is sound. The packs found missing or damaged are recorded in the repository
// (Repository::record_damaged), so that later backups store their blocks again.
#include "zvfd/ops.h"
#include "zvfd/pack_fetcher.h"
#include "zvfd/repository.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace zvfd {

namespace {

// What the blocks of the packs read so far showed, shared by the records that reuse
// a pack, so each block is read and checked once.
// A block of a record and the file that holds it, for the message of a fault.
struct FileBlock {
    const BlockRef* block;
    const std::string* file;
};

class PackFindings {
public:
    // Empty when the pack's blocks that `record` uses are sound, else the first fault.
    std::string check(Repository& repository, const Record& record, std::uint32_t position,
                      const std::vector<FileBlock>& blocks, const BlockNamer& namer) {
        const std::string& id = record.packs.at(position);
        std::vector<FileBlock> unread;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (faults_.count(id)) return faults_[id];
            for (const FileBlock& b : blocks)
                if (!sound_.count({id, b.block->pack_offset, b.block->name})) unread.push_back(b);
        }
        if (unread.empty()) return {};
        std::string fault;
        try {
            PackCopy pack{id, repository.get_pack(id), 0};
            AlignedBuffer plain;
            for (const FileBlock& b : unread) {
                open_block(repository, pack, *b.block, namer,
                           "block at offset " + std::to_string(b.block->offset) + " of " + *b.file, plain);
                std::lock_guard<std::mutex> lock(mutex_);
                sound_.insert({id, b.block->pack_offset, b.block->name});
            }
        } catch (const StorageError&) {
            throw;  // the store failed, not the data: the check cannot go on
        } catch (const std::exception& e) {
            fault = e.what();
            std::lock_guard<std::mutex> lock(mutex_);
            faults_[id] = fault;
        }
        return fault;
    }

    // Each damaged pack found so far, with its first fault.
    std::map<std::string, std::string> faults() {
        std::lock_guard<std::mutex> lock(mutex_);
        return faults_;
    }

private:
    std::mutex mutex_;
    std::set<std::tuple<std::string, std::uint32_t, std::string>> sound_;
    std::map<std::string, std::string> faults_;
};

// The first fault of the record's data, or empty.
std::string read_record_data(Repository& repository, const Record& record, const BlockNamer& namer,
                             PackFindings& findings, unsigned workers) {
    std::map<std::uint32_t, std::vector<FileBlock>> by_pack;
    for (const auto& f : record.files)
        for (const auto& b : f.blocks) by_pack[b.pack].push_back({&b, &f.name});
    std::vector<const std::pair<const std::uint32_t, std::vector<FileBlock>>*> work_list;
    for (const auto& entry : by_pack) work_list.push_back(&entry);

    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::string first_fault;
    std::exception_ptr error;
    auto work = [&] {
        try {
            for (std::size_t i; (i = next++) < work_list.size();) {
                if (work_list[i]->first >= record.packs.size()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (first_fault.empty()) first_fault = "a block names a pack the record does not list";
                    continue;
                }
                std::string fault = findings.check(repository, record, work_list[i]->first, work_list[i]->second, namer);
                std::lock_guard<std::mutex> lock(mutex);
                if (!fault.empty() && first_fault.empty()) first_fault = fault;
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!error) error = std::current_exception();
            next = work_list.size();
        }
    };
    std::vector<std::thread> threads;
    const unsigned count = std::max(1u, std::min<unsigned>(workers, static_cast<unsigned>(work_list.size())));
    for (unsigned t = 1; t < count; ++t) threads.emplace_back(work);
    work();
    for (auto& thread : threads) thread.join();
    if (error) std::rethrow_exception(error);
    return first_fault;
}

}  // namespace

int run_check(const Options& options, Output& out) {
    const std::string server_name = options.value("-M");
    const std::string task = options.value("-T");
    if (server_name.empty()) throw Error("a check needs the media server (-M)");
    if (task.empty()) throw Error("a check needs the task id (-T)");
    const Keys keys = derive_keys(options.value("-C"), options.value("-k"));
    const std::unique_ptr<Storage> storage = open_location(repository_location(server_name));
    Repository repository(*storage, keys);
    repository.authorise_task(task, options.value("-s"), false);
    const bool read_data = options.has("--read-data");
    const unsigned workers = worker_count(options, std::thread::hardware_concurrency());

    std::set<std::string> present;
    for (auto& name : storage->list("packs/")) present.insert(std::move(name));
    PackFindings findings;
    std::map<std::string, std::string> bad_packs;
    bool all_sound = true;
    // Every version of every record: what an addition (--add) stored is a record too.
    std::vector<std::pair<std::string, unsigned>> versions;
    for (auto& name : repository.list_records(task)) versions.emplace_back(std::move(name), 0);
    for (auto& addition : repository.list_additions(task)) versions.push_back(std::move(addition));
    std::sort(versions.begin(), versions.end());
    for (const auto& [name, version] : versions) {
        std::string verdict;
        try {
            const Record record = repository.get_record(task, name, version);
            // What a restore refuses before it writes anything.
            const std::string fault = files_fault(record.files);
            if (!fault.empty()) throw Error(fault);
            std::vector<std::string> missing;
            for (const auto& id : record.packs)
                if (!present.count(pack_object_name(id))) {
                    missing.push_back(id);
                    bad_packs.emplace(id, "missing");
                }
            if (!missing.empty()) {
                verdict = "missing pack " + missing.front();
                if (missing.size() > 1) verdict += " and " + std::to_string(missing.size() - 1) + " more";
            } else if (read_data) {
                const DigestKind kind = record.prop("digest") == "sha512" ? DigestKind::Sha512 : DigestKind::Sha256;
                const std::string fault =
                    read_record_data(repository, record, BlockNamer(kind, keys.naming), findings, workers);
                if (!fault.empty()) verdict = "damaged: " + fault;
            }
        } catch (const StorageError&) {
            throw;
        } catch (const std::exception& e) {
            verdict = std::string("damaged: ") + e.what();
        }
        all_sound = all_sound && verdict.empty();
        const std::string which = version ? name + " addition " + std::to_string(version) : name;
        out.line("Record " + which + ": " + (verdict.empty() ? std::string(read_data ? "sound, data read" : "sound")
                                                              : printable(verdict)));
    }
    for (auto& [id, fault] : findings.faults()) bad_packs.emplace(id, std::move(fault));
    const std::set<std::string> recorded = repository.damaged_packs();
    for (auto it = bad_packs.begin(); it != bad_packs.end();)
        it = recorded.count(it->first) ? bad_packs.erase(it) : std::next(it);
    if (!bad_packs.empty()) {
        try {
            repository.record_damaged(bad_packs);
            out.line("Packs recorded as damaged or missing: " + std::to_string(bad_packs.size()) +
                     "; later backups store their blocks again");
        } catch (const StorageError& e) {
            // A read-only copy is checked as well; its verdicts above stand.
            out.flush();
            std::cerr << "zvfd: warning: cannot note the packs found damaged or missing in the repository: "
                      << printable(e.what()) << std::endl;
        }
    }
    return all_sound ? 0 : 1;
}

}  // namespace zvfd
