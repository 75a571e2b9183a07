// SPDX-License-Identifier: GPL-3.0-or-later
#include "peer/scripted_peer.hpp"

#include "peer/core/stanza_text.hpp"
#include "peer/core/xmpp_server.hpp"
#include "peer/peer_tls.hpp"

#include <gloox/tag.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

namespace velta_test {

namespace {
// Makes each Scripted_Peer of a process start its address search elsewhere,
// and processes started together start at different places too.
unsigned next_address_offset() {
    static std::atomic<unsigned> counter{0};
    static const unsigned base = [] {
        std::random_device random;
        return static_cast<unsigned>(::getpid()) * 31u + random();
    }();
    return base + counter.fetch_add(1);
}

}  // namespace

// ---- Impl ------------------------------------------------------------

// The socket side: one thread polls the listener and every connection, hands
// what clients write to the server and writes out what it answers.
struct Scripted_Peer::Impl {
    struct Connection {
        int number = 0;
        int fd = -1;
        std::string out;  // bytes waiting for the socket
        std::unique_ptr<Tls_Server_Session> tls;
        bool fin_sent = false;
        bool dead = false;  // closed or to be closed; reaped by the thread
    };

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::uint64_t generation = 0;

    int listen_fd = -1;
    int wake_fd = -1;
    Scripted_Peer::Listen where;
    std::string address;
    bool stopping = false;
    std::thread thread;

    // Script and sessions; its session numbers are the connection numbers.
    Xmpp_Server server{[this](int number, const std::string& bytes) { write_to(number, bytes); },
                       [this](const Recorded& element) { record(element); }};

    // Observations.
    std::vector<Recorded> recorded;
    std::map<int, std::unique_ptr<Connection>> connections;
    int accepted = 0;

    explicit Impl(Scripted_Peer::Listen listen) : where(listen) {
        server.script.registration_fields = Scripted_Peer::legacy_fields();
        wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_fd < 0) throw std::runtime_error("Scripted_Peer: eventfd failed");
        try {
            bind_free_address();
        } catch (...) {
            ::close(wake_fd);
            throw;
        }
        thread = std::thread([this] { run(); });
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake();
        thread.join();
        for (auto& entry : connections)
            if (entry.second->fd >= 0) ::close(entry.second->fd);
        if (listen_fd >= 0) ::close(listen_fd);
        ::close(wake_fd);
    }

    void bind_free_address() {
        if (where.ipv6) {
            bind_ipv6_loopback();
            return;
        }
        const unsigned start = next_address_offset();
        for (unsigned k = 0; k < 253; ++k) {
            const unsigned n = 2 + (start + k) % 253;  // 127.0.0.2 .. 127.0.0.254
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) throw std::runtime_error("Scripted_Peer: socket failed");
            // Lets a new peer take an address whose old connections linger in
            // TIME_WAIT; a live listener still makes bind or listen fail.
            const int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(static_cast<std::uint16_t>(this->where.port));
            where.sin_addr.s_addr = htonl((127u << 24) | n);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 && ::listen(fd, 16) == 0) {
                listen_fd = fd;
                address = "127.0.0." + std::to_string(n);
                return;
            }
            const int error = errno;
            ::close(fd);
            if (error != EADDRINUSE)
                throw std::runtime_error(std::string("Scripted_Peer: cannot listen on 127.0.0.") + std::to_string(n) +
                                         ": " + std::strerror(error));
        }
        throw std::runtime_error("Scripted_Peer: no free loopback address");
    }

    void bind_ipv6_loopback() {
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("Scripted_Peer: socket failed");
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 at{};
        at.sin6_family = AF_INET6;
        at.sin6_port = htons(static_cast<std::uint16_t>(where.port));
        at.sin6_addr = in6addr_loopback;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 16) != 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error(std::string("Scripted_Peer: cannot listen on [::1]: ") + std::strerror(error));
        }
        listen_fd = fd;
        address = "::1";
    }

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd, &one, sizeof one);
    }

    // Called with the mutex held after anything observable changed.
    void note_change() {
        ++generation;
        changed.notify_all();
    }

    // ---- the thread ----------------------------------------------------

    void run() {
        std::vector<pollfd> fds;
        std::vector<int> numbers;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                reap();
                if (stopping) return;
                fds.clear();
                numbers.clear();
                fds.push_back({wake_fd, POLLIN, 0});
                fds.push_back({listen_fd, POLLIN, 0});
                numbers.assign(2, 0);
                for (auto& entry : connections) {
                    Connection& c = *entry.second;
                    if (c.dead) continue;
                    const short events = static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT));
                    fds.push_back({c.fd, events, 0});
                    numbers.push_back(c.number);
                }
            }
            if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;

            std::lock_guard<std::mutex> lock(mutex);
            if (fds[0].revents) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t n = ::read(wake_fd, &count, sizeof count);
            }
            if (fds[1].revents & POLLIN) accept_all();
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                // The test thread may have reset the connection meanwhile.
                const auto found = connections.find(numbers[i]);
                if (found == connections.end() || found->second->dead) continue;
                Connection& c = *found->second;
                try {
                    if (fds[i].revents & POLLOUT) flush(c);
                    if (!c.dead && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) read_from(c);
                } catch (const std::exception&) {
                    drop(c);  // keep serving the others
                }
            }
            note_change();
        }
    }

    void reap() {
        bool any = false;
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->second->dead) {
                if (it->second->fd >= 0) ::close(it->second->fd);
                it = connections.erase(it);
                any = true;
            } else {
                ++it;
            }
        }
        if (any) note_change();
    }

    void accept_all() {
        for (;;) {
            const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) return;
            // Replies go out in one write per event; no reason to wait for
            // acknowledgements of earlier small writes.
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto c = std::make_unique<Connection>();
            c->number = ++accepted;
            c->fd = fd;
            server.open(c->number);
            connections[c->number] = std::move(c);
        }
    }

    void read_from(Connection& c) {
        char buffer[16384];
        while (!c.dead) {
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                on_bytes(c, buffer, static_cast<std::size_t>(n));
            } else if (n == 0) {
                drop(c);  // the client closed its side
            } else if (errno == EINTR) {
                continue;
            } else {
                if (errno != EAGAIN && errno != EWOULDBLOCK) drop(c);
                break;
            }
        }
        if (!c.dead) flush(c);
        // Messages routed to other connections go out now too.
        for (auto& entry : connections) {
            Connection& other = *entry.second;
            if (&other != &c && !other.dead && !other.out.empty()) flush(other);
        }
    }

    void flush(Connection& c) {
        // What went out is erased once per call, not per write: a flood of
        // many megabytes is not moved again at every write.
        std::size_t written = 0;
        while (written < c.out.size()) {
            const ssize_t n =
                ::send(c.fd, c.out.data() + written, c.out.size() - written, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                c.out.erase(0, written);
                return;  // the thread polls for POLLOUT
            } else {
                c.out.clear();  // the client has gone
                drop(c);
                return;
            }
        }
        c.out.clear();
        if (server.closing(c.number) && !c.fin_sent) {
            ::shutdown(c.fd, SHUT_WR);
            c.fin_sent = true;
        }
    }

    // Queues text for the client, through TLS when it is up.
    void send(Connection& c, const std::string& text) {
        if (c.tls && c.tls->handshake_done()) {
            c.tls->write(text);
            c.out += c.tls->take_output();
        } else {
            c.out += text;
        }
    }

    void request_close(Connection& c, bool stream_end) {
        server.close(c.number, stream_end);
        flush(c);
    }

    void reset(Connection& c) {
        const linger abort{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(c.fd);
        c.fd = -1;
        c.out.clear();
        drop(c);
    }

    // Closed or to be closed: the server forgets it at once, the thread
    // closes the socket.
    void drop(Connection& c) {
        c.dead = true;
        server.forget(c.number);
    }

    // What the server writes on connection `number`.
    void write_to(int number, const std::string& bytes) {
        const auto found = connections.find(number);
        if (found != connections.end() && !found->second->dead) send(*found->second, bytes);
    }

    // ---- input -----------------------------------------------------------

    void on_bytes(Connection& c, const char* data, std::size_t size) {
        std::size_t used = 0;
        if (!c.tls) {
            used = server.receive(c.number, data, size);
            // <starttls/> may have switched the connection to TLS on the way.
            if (server.awaits_tls(c.number) && !server.closing(c.number)) {
                try {
                    c.tls = std::make_unique<Tls_Server_Session>();
                } catch (const std::exception&) {
                    request_close(c, false);
                }
            }
        }
        if (c.tls && !c.dead) {
            c.tls->feed(data + used, size - used);
            drive_tls(c);
        }
    }

    void drive_tls(Connection& c) {
        if (!c.tls->handshake_done()) {
            const Tls_Server_Session::Step step = c.tls->handshake();
            c.out += c.tls->take_output();
            if (step == Tls_Server_Session::Step::failed) {
                server.close(c.number, false);  // send the alert, then FIN
                return;
            }
            if (step == Tls_Server_Session::Step::pending) return;
            server.restart_stream(c.number);
        }
        std::string plaintext;
        const bool open = c.tls->read(plaintext);
        c.out += c.tls->take_output();
        if (!plaintext.empty()) server.receive(c.number, plaintext.data(), plaintext.size());
        if (!open) drop(c);
    }

    void record(const Recorded& element) {
        recorded.push_back(element);
        // The server's tag lives only as long as the call.
        if (element.tag) recorded.back().tag.reset(element.tag->clone());
        note_change();
    }

    // ---- test-thread side ----------------------------------------------------

    Connection* open_connection(int number) {
        const auto found = connections.find(number);
        if (found == connections.end() || found->second->dead) return nullptr;
        return found->second.get();
    }

    int current() const {
        for (auto it = connections.rbegin(); it != connections.rend(); ++it)
            if (!it->second->dead) return it->first;
        return 0;
    }
};

// ---- Scripted_Peer ---------------------------------------------------

Scripted_Peer::Scripted_Peer() : Scripted_Peer(Listen{}) {}

Scripted_Peer::Scripted_Peer(Listen where) : impl_(std::make_unique<Impl>(where)) {}

int Scripted_Peer::listen_port() const { return impl_->where.port; }

Scripted_Peer::~Scripted_Peer() = default;

std::string Scripted_Peer::address() const { return impl_->address; }

void Scripted_Peer::add_account(const std::string& user, const std::string& password) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.accounts[account_key(user)] = password;
}

std::optional<std::string> Scripted_Peer::password_of(const std::string& user) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto& accounts = impl_->server.script.accounts;
    const auto found = accounts.find(account_key(user));
    if (found == accounts.end()) return std::nullopt;
    return found->second;
}

std::map<std::string, std::string> Scripted_Peer::accounts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->server.script.accounts;
}

void Scripted_Peer::set_registration_fields(const std::string& query_children) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.registration_fields = query_children;
}

std::string Scripted_Peer::legacy_fields(const std::string& instructions) {
    return "<instructions>" + escape(instructions) + "</instructions><username/><password/>";
}

std::string Scripted_Peer::registered_fields(const std::string& user, const std::string& password) {
    return "<registered/><username>" + escape(user) + "</username><password>" + escape(password) + "</password>";
}

std::string Scripted_Peer::data_form_fields() {
    return "<x xmlns='" + ns_data +
           "' type='form'><title>Registration</title><instructions>Choose a user name and password.</instructions>"
           "<field type='hidden' var='FORM_TYPE'><value>jabber:iq:register</value></field>"
           "<field type='text-single' var='username' label='User name'><required/></field>"
           "<field type='text-private' var='password' label='Password'><required/></field></x>" +
           legacy_fields();
}

std::string Scripted_Peer::out_of_band_fields(const std::optional<std::string>& url,
                                              const std::optional<std::string>& desc) {
    std::string out = "<x xmlns='jabber:x:oob'>";
    if (url) out += "<url>" + escape(*url) + "</url>";
    if (desc) out += "<desc>" + escape(*desc) + "</desc>";
    return out + "</x>" + legacy_fields();
}

void Scripted_Peer::push_registration_outcome(const std::string& outcome) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.registration_outcomes.push_back(outcome);
}

std::size_t Scripted_Peer::pending_registration_outcomes() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->server.script.registration_outcomes.size();
}

void Scripted_Peer::set_offer_starttls(bool offer) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.offer_starttls = offer;
}

void Scripted_Peer::set_offer_compression(bool offer) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.offer_compression = offer;
}

void Scripted_Peer::set_auth_mode(Auth_Mode mode) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.auth_mode = mode;
}

void Scripted_Peer::set_sasl_mechanisms(const std::vector<std::string>& mechanisms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.mechanisms = mechanisms;
}

void Scripted_Peer::set_echo(bool echo) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.echo = echo;
}

void Scripted_Peer::set_silent_from_connection(int connection) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.silent_from = connection;
}

void Scripted_Peer::set_unanswered(const std::string& request) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto& unanswered = impl_->server.script.unanswered;
    if (request.empty())
        unanswered.clear();
    else
        unanswered.insert(request);
}

void Scripted_Peer::set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.silent = silent;
}

std::vector<Recorded> Scripted_Peer::stanzas() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->recorded;
}

std::vector<Recorded> Scripted_Peer::messages() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<Recorded> out;
    for (const auto& r : impl_->recorded)
        if (r.name == "message") out.push_back(r);
    return out;
}

std::vector<Recorded> Scripted_Peer::stanzas_on(int connection) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<Recorded> out;
    for (const auto& r : impl_->recorded)
        if (r.connection == connection) out.push_back(r);
    return out;
}

void Scripted_Peer::clear_recorded() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->recorded.clear();
}

bool Scripted_Peer::wait_for(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                             const std::function<void()>& pump) const {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + timeout;
    // With a pump the client needs frequent turns; without one, the peer's
    // own changes wake the wait early.
    const auto slice = pump ? std::chrono::milliseconds(1) : std::chrono::milliseconds(20);
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(impl_->mutex);
            seen = impl_->generation;
        }
        if (pump) pump();
        if (predicate()) return true;
        const clock::time_point now = clock::now();
        if (now >= deadline) return false;
        std::unique_lock<std::mutex> lock(impl_->mutex);
        impl_->changed.wait_until(lock, std::min(deadline, now + slice),
                                  [&] { return impl_->generation != seen; });
    }
}

bool Scripted_Peer::send_raw(const std::string& xml) {
    int target;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        const int bound = impl_->server.bound_session();
        target = bound ? bound : impl_->current();
    }
    return send_raw(target, xml);
}

bool Scripted_Peer::send_raw(int connection, const std::string& xml) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Connection* c = impl_->open_connection(connection);
    if (!c || impl_->server.closing(connection)) return false;
    impl_->send(*c, xml);
    impl_->flush(*c);
    impl_->wake();
    return true;
}

bool Scripted_Peer::close_connection(bool send_stream_end) {
    int target;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        target = impl_->current();
    }
    return close_connection(target, send_stream_end);
}

bool Scripted_Peer::close_connection(int connection, bool send_stream_end) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Connection* c = impl_->open_connection(connection);
    if (!c) return false;
    if (!impl_->server.closing(connection)) impl_->request_close(*c, send_stream_end);
    impl_->wake();
    return true;
}

bool Scripted_Peer::reset_connection() {
    int target;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        target = impl_->current();
    }
    return reset_connection(target);
}

bool Scripted_Peer::reset_connection(int connection) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Connection* c = impl_->open_connection(connection);
    if (!c) return false;
    impl_->reset(*c);
    impl_->note_change();
    impl_->wake();
    return true;
}

void Scripted_Peer::stop_listening() {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->listen_fd >= 0) ::close(impl_->listen_fd);
        impl_->listen_fd = -1;  // poll(2) skips a negative descriptor
    }
    impl_->wake();
}

int Scripted_Peer::connections_accepted() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->accepted;
}

int Scripted_Peer::current_connection() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->current();
}

int Scripted_Peer::bound_connection() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->server.bound_session();
}

bool Scripted_Peer::is_open(int connection) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->open_connection(connection) != nullptr;
}

std::string Scripted_Peer::bound_jid() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->server.bound_jid();
}

}  // namespace velta_test

// ---- SASL with challenges --------------------------------------------------

namespace velta_test {

void Scripted_Peer::set_scram_iterations(long iterations) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.scram_iterations = iterations;
}

void Scripted_Peer::set_scram_server_nonce(const std::optional<std::string>& nonce) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.scram_nonce = nonce;
}

void Scripted_Peer::set_scram_salt(const std::optional<std::string>& salt) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.scram_salt = salt;
}

void Scripted_Peer::set_scram_wrong_signature(bool wrong) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.scram_wrong_signature = wrong;
}

void Scripted_Peer::set_sasl_challenge(const std::string& base64_payload) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.sasl_challenge = base64_payload;
}

void Scripted_Peer::set_bind_answer(const std::string& bind_children) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.bind_answer = bind_children;
}

void Scripted_Peer::set_bind_error(const std::string& condition) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->server.script.bind_error = condition;
}

}  // namespace velta_test
