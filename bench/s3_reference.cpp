// The S3 benchmark's reference: the store's own limit, taken by a client that keeps
// its connections and many requests in flight, the archiver's own S3 client putting or
// getting plain objects and doing nothing else with them.
//
//   s3_reference put|get ENDPOINT BUCKET REGION CREDENTIALS PREFIX COUNT SIZE [IN_FLIGHT]
//
// put stores COUNT objects of SIZE random bytes as PREFIX/0 ... PREFIX/COUNT-1; get
// reads them back (each must have SIZE bytes). IN_FLIGHT requests run at once
// (default 16, as many as the archiver keeps in flight). Prints the seconds taken and
// the bytes moved, "SECONDS BYTES", on one line.
#include "zvfd/s3_client.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 9 || argc > 10 || (std::string(argv[1]) != "put" && std::string(argv[1]) != "get")) {
        std::cerr << "usage: s3_reference put|get ENDPOINT BUCKET REGION CREDENTIALS PREFIX COUNT SIZE [IN_FLIGHT]\n";
        return 2;
    }
    try {
        const bool put = std::string(argv[1]) == "put";
        zvfd::S3Client client({argv[2], argv[3], argv[4], true}, zvfd::read_s3_credentials(argv[5]));
        const std::string prefix = argv[6];
        const std::size_t count = std::stoull(argv[7]), size = std::stoull(argv[8]);
        const unsigned in_flight = argc > 9 ? static_cast<unsigned>(std::stoul(argv[9])) : 16;

        std::string data(size, '\0');
        std::mt19937_64 random(std::random_device{}());
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            const std::uint64_t word = random();
            data.replace(i, 8, reinterpret_cast<const char*>(&word), 8);
        }
        std::atomic<std::size_t> next{0};
        std::exception_ptr failure;
        std::mutex failure_mutex;
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < in_flight; ++t)
            threads.emplace_back([&] {
                try {
                    for (std::size_t i; (i = next++) < count;) {
                        const std::string key = prefix + "/" + std::to_string(i);
                        if (put) {
                            client.put_object(key, data, nullptr, false);
                        } else {
                            const auto got = client.get_object(key);
                            if (!got || got->size() != size) throw zvfd::S3Error("object " + key + " is not there whole");
                        }
                    }
                } catch (...) {
                    std::lock_guard<std::mutex> lock(failure_mutex);
                    if (!failure) failure = std::current_exception();
                    next = count;
                }
            });
        for (auto& t : threads) t.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (failure) std::rethrow_exception(failure);
        std::printf("%.3f %zu\n", seconds, count * size);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "s3_reference: " << e.what() << "\n";
        return 1;
    }
}
