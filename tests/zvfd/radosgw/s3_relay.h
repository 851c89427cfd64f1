// A TCP relay in front of radosgw, for the S3 tests that need a request held back or
// an answer lost at a chosen moment: what a slow network or a cut connection does to
// a real client, with the real store doing the work.
//
//   zv_test::S3Relay relay(gw.endpoint());
//   relay.hold("PUT /bucket/key ");      // that request waits ...
//   ASSERT_TRUE(relay.wait_held());      // ... once it has come
//   relay.release();                     // and goes on now
//   relay.lose_answer("PUT /bucket/key "); // done by the store, its answer never told
//   relay.stall();                       // a store that takes connections and answers nothing
//   relay.refused()                      // connections closed because the store was down
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zv_test {

class S3Relay {
public:
    // `upstream`: "http://127.0.0.1:PORT".
    explicit S3Relay(const std::string& upstream) {
        const auto colon = upstream.rfind(':');
        upstream_port_ = std::stoi(upstream.substr(colon + 1));
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 64) != 0)
            throw std::runtime_error("the S3 relay cannot listen");
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    S3Relay(const S3Relay&) = delete;
    S3Relay& operator=(const S3Relay&) = delete;
    ~S3Relay() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            released_ = true;
            for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
        }
        changed_.notify_all();
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        for (auto& t : pumps_) t.join();
        for (int fd : sockets_) ::close(fd);
        ::close(listener_);
    }

    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // The next request whose first line begins with `line` waits until release().
    void hold(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = line;
        held_ = released_ = false;
    }
    // Whether that request has come, waiting for it up to `deadline`.
    bool wait_held(std::chrono::seconds deadline = std::chrono::seconds(300)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, deadline, [this] { return held_; });
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        changed_.notify_all();
    }
    // The next request whose first line begins with `line` reaches the store, but its
    // final answer is dropped and the client's connection closed.
    void lose_answer(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lose_ = line;
        lost_ = false;
    }
    bool answer_lost() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lost_;
    }
    // From now on nothing the client sends is read, as by a store that has stopped:
    // its requests fill the connection's buffers and are never answered.
    void stall() {
        std::lock_guard<std::mutex> lock(mutex_);
        stalled_ = true;
    }
    // Connections the relay closed at once because nothing listened upstream.
    int refused() {
        std::lock_guard<std::mutex> lock(mutex_);
        return refused_;
    }

private:
    struct Link {
        int client = -1, store = -1;
        std::atomic<bool> drop_answer{false};
    };

    static sockaddr_in loopback(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static bool send_all(int fd, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    void accept_loop() {
        for (;;) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) return;
            const int store = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(upstream_port_);
            std::lock_guard<std::mutex> lock(mutex_);
            sockets_.push_back(client);
            sockets_.push_back(store);
            if (stopping_ || ::connect(store, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                if (!stopping_) ++refused_;
                ::shutdown(client, SHUT_RDWR);
                continue;
            }
            auto link = std::make_shared<Link>();
            link->client = client;
            link->store = store;
            pumps_.emplace_back([this, link] { requests(*link); });
            pumps_.emplace_back([this, link] { answers(*link); });
        }
    }

    // Client to store: finds the requests the test asked about by their first line.
    void requests(Link& link) {
        char buffer[65536];
        for (;;) {
            // A stalled store reads nothing more; the relay going away ends the wait.
            while (!wait_readable(link.client)) {
            }
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !stalled_ || stopping_; });
                if (stopping_) break;
            }
            const ssize_t n = ::recv(link.client, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            const std::string chunk(buffer, static_cast<std::size_t>(n));
            std::size_t at = std::string::npos;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!lose_.empty() && chunk.find(lose_) != std::string::npos) {
                    lose_.clear();
                    link.drop_answer = true;
                }
                if (!hold_.empty()) at = chunk.find(hold_);
                if (at != std::string::npos) hold_.clear();
            }
            if (at != std::string::npos) {
                if (!send_all(link.store, chunk.data(), at)) break;
                std::unique_lock<std::mutex> lock(mutex_);
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [this] { return released_; });
            } else {
                at = 0;
            }
            if (!send_all(link.store, chunk.data() + at, chunk.size() - at)) break;
        }
        ::shutdown(link.store, SHUT_WR);
    }

    static bool wait_readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, -1) > 0;
    }

    // Store to client: passes "100 Continue" on, and drops a final answer when told.
    void answers(Link& link) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(link.store, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            if (link.drop_answer) {
                const std::string chunk(buffer, static_cast<std::size_t>(n));
                if (chunk.rfind("HTTP/1.1 100", 0) != 0 || chunk.find("\r\n\r\n") + 4 != chunk.size()) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    lost_ = true;
                    break;
                }
            }
            if (!send_all(link.client, buffer, static_cast<std::size_t>(n))) break;
        }
        ::shutdown(link.client, SHUT_RDWR);
        ::shutdown(link.store, SHUT_RDWR);
    }

    int listener_ = -1;
    int port_ = 0, upstream_port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> pumps_;
    std::vector<int> sockets_;
    bool stopping_ = false, stalled_ = false;
    std::string hold_, lose_;
    bool held_ = false, released_ = true, lost_ = false;
    int refused_ = 0;
};

}  // namespace zv_test
