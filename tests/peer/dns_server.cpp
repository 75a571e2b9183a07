// SPDX-License-Identifier: GPL-3.0-or-later
#include "peer/dns_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velta_test {

namespace {

constexpr std::uint16_t type_a = 1;
constexpr std::uint16_t type_aaaa = 28;
constexpr std::uint16_t type_srv = 33;

std::string canonical(std::string name) {
    if (!name.empty() && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

void put16(std::string& out, unsigned value) {
    out.push_back(static_cast<char>((value >> 8) & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}

std::string encode_name(const std::string& name) {
    std::string out;
    std::size_t from = 0;
    const std::string plain = canonical(name);
    while (from < plain.size()) {
        std::size_t dot = plain.find('.', from);
        if (dot == std::string::npos) dot = plain.size();
        out.push_back(static_cast<char>(dot - from));
        out.append(plain, from, dot - from);
        from = dot + 1;
    }
    out.push_back('\0');
    return out;
}

struct Record {
    std::uint16_t type;
    std::string data;
};

struct Pending {
    std::chrono::steady_clock::time_point due;
    sockaddr_in to;
    std::string answer;
};

}  // namespace

struct Dns_Server::Impl {
    mutable std::mutex mutex;
    std::map<std::string, std::vector<Record>> records;
    std::chrono::milliseconds delay{0};
    bool silent = false;
    int queries = 0;
    int service_queries = 0;
    bool stopping = false;

    int fd = -1;
    int tcp_fd = -1;
    std::vector<int> tcp_clients;
    int wake_fd = -1;
    std::string address;
    std::deque<Pending> pending;
    std::thread thread;

    Impl() {
        for (unsigned n = 60 + static_cast<unsigned>(::getpid() % 100), k = 0; k < 150; ++k, ++n) {
            const unsigned host = 60 + n % 150;
            const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in at{};
            at.sin_family = AF_INET;
            at.sin_port = htons(53);
            at.sin_addr.s_addr = htonl((127u << 24) | (53u << 8) | host);
            if (::bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0) {
                fd = s;
                address = "127.0.53." + std::to_string(host);
                break;
            }
            ::close(s);
        }
        if (fd < 0) throw std::runtime_error("Dns_Server: no free 127.0.53.N:53 (root needed for port 53)");
        // TCP on the same address, for answers too large for a datagram.
        tcp_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(tcp_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(53);
        ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
        if (::bind(tcp_fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(tcp_fd, 16) != 0)
            throw std::runtime_error("Dns_Server: no TCP port 53 at " + address);
        wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        thread = std::thread([this] { run(); });
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd, &one, sizeof one);
        thread.join();
        ::close(fd);
        ::close(tcp_fd);
        for (const int client : tcp_clients) ::close(client);
        ::close(wake_fd);
    }

    void run() {
        for (;;) {
            int wait_ms = -1;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) return;
                const auto now = std::chrono::steady_clock::now();
                while (!pending.empty() && pending.front().due <= now) {
                    const Pending& p = pending.front();
                    ::sendto(fd, p.answer.data(), p.answer.size(), 0, reinterpret_cast<const sockaddr*>(&p.to),
                             sizeof p.to);
                    pending.pop_front();
                }
                if (!pending.empty())
                    wait_ms = static_cast<int>(
                        std::chrono::ceil<std::chrono::milliseconds>(pending.front().due - now).count());
            }
            std::vector<pollfd> watched = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}, {tcp_fd, POLLIN, 0}};
            for (const int client : tcp_clients) watched.push_back({client, POLLIN, 0});
            if (::poll(watched.data(), watched.size(), wait_ms) <= 0) continue;
            if (watched[1].revents) {
                std::uint64_t value;
                [[maybe_unused]] const ssize_t n = ::read(wake_fd, &value, sizeof value);
            }
            if (watched[0].revents & POLLIN) receive();
            if (watched[2].revents & POLLIN) {
                const int client = ::accept4(tcp_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) tcp_clients.push_back(client);
            }
            for (std::size_t i = 3; i < watched.size(); ++i)
                if (watched[i].revents) serve_tcp(watched[i].fd);
        }
    }

    void receive() {
        unsigned char query[1500];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        const ssize_t size =
            ::recvfrom(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
        std::string answer = answer_to(query, size);
        if (answer.empty()) return;
        // A datagram holds 512 bytes: past them, the header and question
        // with TC set, and the client asks again over TCP.
        if (answer.size() > 512) {
            answer.resize(question_end_);
            answer[2] = static_cast<char>(answer[2] | 0x02);
            answer[6] = answer[7] = 0;
        }
        std::lock_guard<std::mutex> lock(mutex);
        pending.push_back({std::chrono::steady_clock::now() + delay, from, answer});
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd, &one, sizeof one);
    }

    // One query in its two-byte length frame, answered at once.
    void serve_tcp(int client) {
        unsigned char length[2];
        unsigned char query[1500];
        bool served = ::recv(client, length, 2, MSG_WAITALL) == 2;
        const std::size_t size = static_cast<std::size_t>(length[0] << 8 | length[1]);
        served = served && size <= sizeof query &&
                 ::recv(client, query, size, MSG_WAITALL) == static_cast<ssize_t>(size);
        if (served) {
            const std::string answer = answer_to(query, static_cast<ssize_t>(size));
            if (!answer.empty() && answer.size() <= 0xffff) {
                std::string framed;
                put16(framed, static_cast<unsigned>(answer.size()));
                framed += answer;
                served = ::send(client, framed.data(), framed.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(framed.size());
            }
        }
        if (!served) {
            ::close(client);
            tcp_clients.erase(std::find(tcp_clients.begin(), tcp_clients.end(), client));
        }
    }

    std::size_t question_end_ = 0;

    // The answer to a query, "" for none (unreadable, or silent).
    std::string answer_to(const unsigned char* query, ssize_t size) {
        if (size < 12) return "";

        // The question: labels up to the root, then type and class.
        std::size_t at = 12;
        std::string name;
        while (at < static_cast<std::size_t>(size) && query[at] != 0) {
            const std::size_t length = query[at++];
            if (length > 63 || at + length > static_cast<std::size_t>(size)) return "";
            if (!name.empty()) name.push_back('.');
            name.append(reinterpret_cast<const char*>(query + at), length);
            at += length;
        }
        if (at + 5 > static_cast<std::size_t>(size)) return "";
        ++at;
        const std::uint16_t type = static_cast<std::uint16_t>(query[at] << 8 | query[at + 1]);
        const std::size_t question_end = at + 4;

        std::lock_guard<std::mutex> lock(mutex);
        ++queries;
        if (type == type_srv) ++service_queries;
        if (silent) return "";

        std::vector<const Record*> answers;
        const auto found = records.find(canonical(name));
        if (found != records.end())
            for (const Record& record : found->second)
                if (record.type == type) answers.push_back(&record);

        std::string answer(reinterpret_cast<const char*>(query), 2);  // the query's id
        const unsigned recursion_desired = query[2] & 0x01;
        answer.push_back(static_cast<char>(0x84 | recursion_desired));  // response, authoritative
        answer.push_back(static_cast<char>(0x80 | (found == records.end() ? 3 : 0)));  // NXDOMAIN or not
        put16(answer, 1);
        put16(answer, static_cast<unsigned>(answers.size()));
        put16(answer, 0);
        put16(answer, 0);
        answer.append(reinterpret_cast<const char*>(query + 12), question_end - 12);
        for (const Record* record : answers) {
            put16(answer, 0xc00c);  // the question's name
            put16(answer, record->type);
            put16(answer, 1);  // IN
            put16(answer, 0);
            put16(answer, 60);  // TTL
            put16(answer, static_cast<unsigned>(record->data.size()));
            answer += record->data;
        }
        question_end_ = question_end;
        return answer;
    }
};

Dns_Server::Dns_Server() : impl_(std::make_unique<Impl>()) {}
Dns_Server::~Dns_Server() = default;

std::string Dns_Server::address() const { return impl_->address; }

void Dns_Server::add_srv(const std::string& name, unsigned priority, unsigned weight, unsigned port,
                         const std::string& target) {
    std::string data;
    put16(data, priority);
    put16(data, weight);
    put16(data, port);
    data += target == "." ? std::string(1, '\0') : encode_name(target);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->records[canonical(name)].push_back({type_srv, data});
}

void Dns_Server::add_a(const std::string& name, const std::string& ipv4) {
    in_addr address{};
    if (::inet_pton(AF_INET, ipv4.c_str(), &address) != 1) throw std::invalid_argument("Dns_Server: " + ipv4);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->records[canonical(name)].push_back({type_a, std::string(reinterpret_cast<const char*>(&address), 4)});
}

void Dns_Server::add_aaaa(const std::string& name, const std::string& ipv6) {
    in6_addr address{};
    if (::inet_pton(AF_INET6, ipv6.c_str(), &address) != 1) throw std::invalid_argument("Dns_Server: " + ipv6);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->records[canonical(name)].push_back(
        {type_aaaa, std::string(reinterpret_cast<const char*>(&address), 16)});
}

void Dns_Server::set_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->delay = delay;
}

void Dns_Server::set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->silent = silent;
}

int Dns_Server::queries() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->queries;
}

int Dns_Server::service_queries() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->service_queries;
}

namespace {

bool bind_file(const std::string& content, const char* target) {
    char path[] = "/tmp/velta-resolver-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) return false;
    const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    const bool bound = written && ::mount(path, target, "none", MS_BIND, nullptr) == 0;
    ::unlink(path);  // the bind mount keeps the file alive
    return bound;
}

}  // namespace

bool use_private_resolver(const std::string& nameserver, const std::string& hosts) {
    if (::geteuid() != 0) return false;
    if (::unshare(CLONE_NEWNS) != 0) return false;
    // Mounts made here must not leak back into the parent namespace.
    if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (!bind_file("nameserver " + nameserver + "\n", "/etc/resolv.conf")) return false;
    if (!hosts.empty() && !bind_file(hosts, "/etc/hosts")) return false;
    return true;
}

}  // namespace velta_test
