#pragma once

// A small HTTP server for tests: serves the files of one folder to GET requests on 127.0.0.1 at a
// port the system picks, from the moment it is made until it goes. Each connection gets one
// response and is closed; at most a few connections are served at once, each with a time limit.

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tallymere::testing {

class LocalHttpServer {
public:
    explicit LocalHttpServer(std::filesystem::path root) : root_(std::move(root)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener_ < 0) throw std::runtime_error("socket: " + std::string(strerror(errno)));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(listener_);
            throw std::runtime_error("cannot listen on 127.0.0.1: " + std::string(strerror(errno)));
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~LocalHttpServer() {
        stopping_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        ::close(listener_);
        std::list<Worker> workers;
        {
            std::lock_guard guard(lock_);
            workers.swap(workers_);
        }
        for (auto& worker : workers)
            worker.thread.join();
    }

    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT/" followed by `path`.
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    int requests() const { return requests_; }

private:
    static constexpr int maxConnections = 8;
    static constexpr std::size_t maxRequestBytes = 16 * 1024;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
    };

    // Joins the workers that have ended, so a long session does not keep their threads.
    void reap() {
        std::list<Worker> ended;
        {
            std::lock_guard guard(lock_);
            for (auto it = workers_.begin(); it != workers_.end();) {
                auto next = std::next(it);
                if (*it->done) ended.splice(ended.end(), workers_, it);
                it = next;
            }
        }
        for (auto& worker : ended)
            worker.thread.join();
    }

    void acceptLoop() {
        while (!stopping_) {
            reap();
            pollfd ready{listener_, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            {
                std::unique_lock guard(lock_);
                slots_.wait_for(guard, std::chrono::milliseconds(50),
                                [this] { return active_ < maxConnections; });
                if (active_ >= maxConnections) continue;
            }
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            timeval limit{5, 0};
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            std::lock_guard guard(lock_);
            ++active_;
            Worker& worker = workers_.emplace_back();
            worker.thread = std::thread([this, client, done = worker.done] {
                serve(client);
                ::close(client);
                std::lock_guard finished(lock_);
                --active_;
                *done = true;
                slots_.notify_all();
            });
        }
    }

    static bool sendAll(int socket, const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    static void respond(int socket, const std::string& status, const std::string& type,
                        const std::string& body) {
        const std::string head = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                                 "\r\nContent-Length: " + std::to_string(body.size()) +
                                 "\r\nConnection: close\r\n\r\n";
        if (sendAll(socket, head.data(), head.size())) sendAll(socket, body.data(), body.size());
    }

    static std::string contentType(const std::filesystem::path& file) {
        const std::string extension = file.extension().string();
        if (extension == ".m3u8") return "application/vnd.apple.mpegurl";
        if (extension == ".ts") return "video/mp2t";
        if (extension == ".mp4") return "video/mp4";
        return "application/octet-stream";
    }

    void serve(int socket) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0 || request.size() + static_cast<std::size_t>(got) > maxRequestBytes)
                return;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        ++requests_;
        const auto lineEnd = request.find("\r\n");
        const std::string line = request.substr(0, lineEnd);
        const auto firstSpace = line.find(' ');
        const auto secondSpace = line.find(' ', firstSpace + 1);
        if (firstSpace == std::string::npos || secondSpace == std::string::npos) {
            respond(socket, "400 Bad Request", "text/plain", "bad request\n");
            return;
        }
        const std::string method = line.substr(0, firstSpace);
        std::string target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        target = target.substr(0, target.find_first_of("?#"));
        if (method != "GET") {
            respond(socket, "405 Method Not Allowed", "text/plain", "GET only\n");
            return;
        }
        // Only plain names below the folder: no "..", no encoded characters.
        if (!target.starts_with("/") || target.find("..") != std::string::npos ||
            target.find('%') != std::string::npos) {
            respond(socket, "404 Not Found", "text/plain", "not found\n");
            return;
        }
        const std::filesystem::path file = root_ / target.substr(1);
        std::error_code ec;
        if (!std::filesystem::is_regular_file(file, ec)) {
            respond(socket, "404 Not Found", "text/plain", "not found\n");
            return;
        }
        std::ifstream in(file, std::ios::binary);
        const std::string body((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        respond(socket, "200 OK", contentType(file), body);
    }

    std::filesystem::path root_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> requests_ = 0;
    std::mutex lock_;
    std::condition_variable slots_;
    int active_ = 0;
    std::list<Worker> workers_;
    std::thread acceptor_;
};

} // namespace tallymere::testing
