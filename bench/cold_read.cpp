// The benchmarks' measure of how fast this machine can read a file from its disk: every
// data range of each file (found with SEEK_DATA and SEEK_HOLE, holes never read) in
// large direct reads that bypass the page cache, several in flight, as a backup that
// reads the whole file at best could. Prints the bytes read and the seconds taken.
//
//   cold_read [-j READERS] FILE...      (default 4 readers, 8 MiB reads)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr off_t kPiece = 8 << 20;
// Direct reads need the buffer, offset and length aligned to the device's block; a
// page is enough for every disk here, and the ranges SEEK_DATA gives start on one.
constexpr std::size_t kAlign = 4096;

struct Piece {
    int fd;
    off_t offset;
    off_t length;
};

bool add_pieces(int fd, const char* path, std::vector<Piece>& pieces) {
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        std::fprintf(stderr, "cold_read: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    off_t at = 0;
    while (at < end) {
        const off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole is left
            std::fprintf(stderr, "cold_read: %s: %s\n", path, std::strerror(errno));
            return false;
        }
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) hole = end;
        for (off_t p = data; p < hole; p += kPiece) pieces.push_back({fd, p, std::min(kPiece, hole - p)});
        at = hole;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int readers = 4;
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "-j") {
        readers = std::max(1, std::atoi(argv[2]));
        first = 3;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: cold_read [-j READERS] FILE...\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<Piece> pieces;
    std::vector<int> fds;
    for (int i = first; i < argc; ++i) {
        const int fd = open(argv[i], O_RDONLY | O_DIRECT);
        if (fd < 0) {
            std::fprintf(stderr, "cold_read: %s: %s\n", argv[i], std::strerror(errno));
            return 1;
        }
        fds.push_back(fd);
        if (!add_pieces(fd, argv[i], pieces)) return 1;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<long long> total{0};
    std::atomic<bool> failed{false};
    auto read_pieces = [&] {
        void* raw = nullptr;
        if (posix_memalign(&raw, kAlign, kPiece) != 0) {
            failed = true;
            return;
        }
        char* buffer = static_cast<char*>(raw);
        for (std::size_t i = next++; i < pieces.size() && !failed; i = next++) {
            const Piece& p = pieces[i];
            // The last piece of a file may end inside a block; a direct read of the whole
            // block returns what the file holds.
            const off_t want = (p.length + kAlign - 1) / kAlign * kAlign;
            const ssize_t got = pread(p.fd, buffer, want, p.offset);
            if (got < 0) {
                std::perror("cold_read: read");
                failed = true;
                break;
            }
            total += std::min<off_t>(got, p.length);
        }
        std::free(buffer);
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < readers; ++i) threads.emplace_back(read_pieces);
    for (auto& t : threads) t.join();
    for (const int fd : fds) close(fd);
    if (failed) return 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%lld %.3f\n", static_cast<long long>(total), seconds);
    return 0;
}
