#include "peer/scripted_peer.hpp"

#include "peer/peer_scram.hpp"
#include "peer/peer_tls.hpp"

#include <gloox/base64.h>
#include <gloox/parser.h>
#include <gloox/tag.h>
#include <gloox/taghandler.h>

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
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

namespace velta_test {

namespace {

const std::string domain = "localhost";
const std::string ns_sasl = "urn:ietf:params:xml:ns:xmpp-sasl";
const std::string ns_tls = "urn:ietf:params:xml:ns:xmpp-tls";
const std::string ns_bind = "urn:ietf:params:xml:ns:xmpp-bind";
const std::string ns_session = "urn:ietf:params:xml:ns:xmpp-session";
const std::string ns_stanzas = "urn:ietf:params:xml:ns:xmpp-stanzas";
const std::string ns_streams = "urn:ietf:params:xml:ns:xmpp-streams";
const std::string ns_register = "jabber:iq:register";
const std::string ns_roster = "jabber:iq:roster";
const std::string ns_ping = "urn:xmpp:ping";
const std::string ns_private = "jabber:iq:private";
const std::string ns_data = "jabber:x:data";

// Escapes text for element content and for attributes in either quote style.
std::string escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '\'': out += "&apos;"; break;
        case '"': out += "&quot;"; break;
        default: out += ch;
        }
    }
    return out;
}

bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

std::string trim_left(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    return text.substr(i);
}

std::string qualified_name(const gloox::Tag& tag) {
    return tag.prefix().empty() ? tag.name() : tag.prefix() + ":" + tag.name();
}

std::string bare_of(const std::string& jid) { return jid.substr(0, jid.find('/')); }

// Account names compare as a server's nodeprep makes them for ASCII.
std::string account_key(const std::string& user) {
    std::string out = user;
    for (char& ch : out)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return out;
}

struct Error_Kind {
    const char* condition;
    const char* type;
    const char* code;
};

// The usual type and legacy code of each stanza error condition.
const Error_Kind error_kinds[] = {
    {"bad-request", "modify", "400"},          {"conflict", "cancel", "409"},
    {"feature-not-implemented", "cancel", "501"}, {"forbidden", "auth", "403"},
    {"gone", "modify", "302"},                 {"internal-server-error", "wait", "500"},
    {"item-not-found", "cancel", "404"},       {"jid-malformed", "modify", "400"},
    {"not-acceptable", "modify", "406"},       {"not-allowed", "cancel", "405"},
    {"not-authorized", "auth", "401"},         {"payment-required", "auth", "402"},
    {"recipient-unavailable", "wait", "404"},  {"redirect", "modify", "302"},
    {"registration-required", "auth", "407"},  {"remote-server-not-found", "cancel", "404"},
    {"remote-server-timeout", "wait", "504"},  {"resource-constraint", "wait", "500"},
    {"service-unavailable", "cancel", "503"},  {"subscription-required", "auth", "407"},
    {"undefined-condition", "cancel", "500"},  {"unexpected-request", "wait", "400"},
};

std::string iq_head(const std::string& type, const std::string& id, const std::string& from) {
    std::string out = "<iq type='" + type + "' id='" + escape(id) + "'";
    if (!from.empty()) out += " from='" + escape(from) + "'";
    return out;
}

std::string iq_error(const std::string& id, const std::string& from, const std::string& condition) {
    const char* type = "cancel";
    const char* code = nullptr;
    for (const auto& kind : error_kinds) {
        if (condition == kind.condition) {
            type = kind.type;
            code = kind.code;
        }
    }
    std::string out = iq_head("error", id, from) + "><error type='" + type + "'";
    if (code) out += std::string(" code='") + code + "'";
    return out + "><" + escape(condition) + " xmlns='" + ns_stanzas + "'/></error></iq>";
}

// Collects the element the parser completes; the parser deletes its own.
class Collector : public gloox::TagHandler {
public:
    void handleTag(gloox::Tag* tag) override { tag_.reset(tag->clone()); }
    std::unique_ptr<gloox::Tag> take() { return std::move(tag_); }

private:
    std::unique_ptr<gloox::Tag> tag_;
};

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

// ---- Recorded --------------------------------------------------------

std::string Recorded::attribute(const std::string& attribute_name) const {
    return tag ? tag->findAttribute(attribute_name) : std::string();
}

bool Recorded::has_attribute(const std::string& attribute_name) const {
    return tag && tag->hasAttribute(attribute_name);
}

std::string Recorded::child_text(const std::string& child_name) const {
    const gloox::Tag* child = tag ? tag->findChild(child_name) : nullptr;
    return child ? child->cdata() : std::string();
}

bool Recorded::has_child(const std::string& child_name) const { return tag && tag->findChild(child_name); }

// ---- Impl ------------------------------------------------------------

struct Scripted_Peer::Impl {
    struct Connection {
        int number = 0;
        int fd = -1;
        // The parser keeps a pointer to the collector: declared first, so
        // that it is destroyed last.
        std::unique_ptr<Collector> collector = std::make_unique<Collector>();
        std::unique_ptr<gloox::Parser> parser = std::make_unique<gloox::Parser>(collector.get());
        std::string segment;  // bytes since the last top-level element
        std::string out;      // bytes waiting for the socket
        std::unique_ptr<Tls_Server_Session> tls;
        bool closing = false;  // FIN once out is empty
        bool fin_sent = false;
        bool dead = false;  // closed or to be closed; reaped by the thread
        bool authed = false;
        std::string user;
        std::string full_jid;  // set by resource binding
        int streams = 0;
        std::optional<Scram_Exchange> scram;  // between challenge and response
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

    // Script.
    std::map<std::string, std::string> accounts;
    std::string fields = Scripted_Peer::legacy_fields();
    std::deque<std::string> outcomes;
    bool offer_starttls = false;
    Auth_Mode auth_mode = Auth_Mode::accounts;
    std::vector<std::string> mechanisms{"PLAIN"};
    bool echo = true;
    bool silent = false;
    long scram_iterations = 4096;
    std::optional<std::string> scram_nonce;
    std::string sasl_challenge;
    std::string bind_answer;
    int silent_from = 0;  // connections numbered this or later get no answer

    // Observations.
    std::vector<Recorded> recorded;
    std::map<int, std::unique_ptr<Connection>> connections;
    int accepted = 0;
    int bound_number = 0;
    std::string bound_full_jid;
    int anonymous_users = 0;

    explicit Impl(Scripted_Peer::Listen listen) : where(listen) {
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
                    c.dead = true;  // drop the connection, keep serving the others
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
                c.dead = true;  // the client closed its side
            } else if (errno == EINTR) {
                continue;
            } else {
                if (errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
                break;
            }
        }
        if (!c.dead) flush(c);
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
                c.dead = true;
                return;
            }
        }
        c.out.clear();
        if (c.closing && !c.fin_sent) {
            ::shutdown(c.fd, SHUT_WR);
            c.fin_sent = true;
        }
    }

    // Queues text for the client, through TLS when it is up.
    void send(Connection& c, const std::string& text) {
        if (c.dead || c.closing) return;
        if (c.tls && c.tls->handshake_done()) {
            c.tls->write(text);
            c.out += c.tls->take_output();
        } else {
            c.out += text;
        }
    }

    void request_close(Connection& c, bool stream_end) {
        if (stream_end) send(c, "</stream:stream>");
        c.closing = true;
        flush(c);
    }

    void reset(Connection& c) {
        const linger abort{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(c.fd);
        c.fd = -1;
        c.out.clear();
        c.dead = true;
    }

    // ---- input -----------------------------------------------------------

    void on_bytes(Connection& c, const char* data, std::size_t size) {
        std::size_t used = 0;
        if (!c.tls) used = feed_xml(c, data, size);
        // <starttls/> may have switched the connection to TLS on the way.
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
                c.closing = true;  // send the alert, then FIN
                return;
            }
            if (step == Tls_Server_Session::Step::pending) return;
            // A new stream starts inside TLS.
            c.parser = std::make_unique<gloox::Parser>(c.collector.get());
            c.segment.clear();
        }
        std::string plaintext;
        const bool open = c.tls->read(plaintext);
        c.out += c.tls->take_output();
        if (!plaintext.empty()) feed_xml(c, plaintext.data(), plaintext.size());
        if (!open) c.dead = true;
    }

    // Feeds the parser one byte at a time, so that every element's exact
    // bytes are known.  Returns the bytes used: it stops where TLS starts.
    std::size_t feed_xml(Connection& c, const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (c.dead) return size;
            if (c.tls && !c.tls->handshake_done()) return i;
            c.segment.push_back(data[i]);
            std::string one(1, data[i]);
            if (c.parser->feed(one) >= 0) {
                on_not_well_formed(c);
                return size;
            }
            if (std::unique_ptr<gloox::Tag> tag = c.collector->take()) {
                on_element(c, std::move(tag));
            } else if (data[i] == '>') {
                // gloox reports no event for the end of the stream; at the
                // top level, a closing tag can only be that.
                const std::string text = trim_left(c.segment);
                if (text.compare(0, 2, "</") == 0) on_stream_end(c);
            }
        }
        return size;
    }

    std::string take_segment(Connection& c) {
        std::string raw = trim_left(c.segment);
        c.segment.clear();
        return raw;
    }

    void record(Connection& c, std::string raw, std::string name, std::shared_ptr<const gloox::Tag> tag) {
        Recorded r;
        r.connection = c.number;
        r.raw = std::move(raw);
        r.name = std::move(name);
        r.tag = std::move(tag);
        recorded.push_back(std::move(r));
        note_change();
    }

    void on_not_well_formed(Connection& c) {
        record(c, take_segment(c), "!not-well-formed", nullptr);
        if (!silent) send(c, "<stream:error><not-well-formed xmlns='" + ns_streams + "'/></stream:error>");
        request_close(c, !silent);
    }

    void on_stream_end(Connection& c) {
        record(c, take_segment(c), "/stream:stream", nullptr);
        if (!silent) request_close(c, true);
    }

    void on_element(Connection& c, std::unique_ptr<gloox::Tag> parsed) {
        const std::string name = qualified_name(*parsed);
        const std::shared_ptr<const gloox::Tag> tag(parsed.release());
        const std::string raw = take_segment(c);
        record(c, raw, name, tag);
        if (silent || (silent_from > 0 && c.number >= silent_from)) return;
        if (name == "stream:stream")
            on_stream_start(c);
        else if (name == "starttls")
            on_starttls(c);
        else if (name == "auth")
            on_auth(c, *tag);
        else if (name == "response")
            on_sasl_response(c, *tag);
        else if (name == "iq")
            on_iq(c, *tag);
        else if (name == "message")
            on_message(c, *tag, raw);
        // Presence and everything else: recorded, not answered.
    }

    // ---- stream negotiation ---------------------------------------------

    void on_stream_start(Connection& c) {
        ++c.streams;
        std::string out = "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                          "xmlns:stream='http://etherx.jabber.org/streams' id='peer-" +
                          std::to_string(c.number) + "-" + std::to_string(c.streams) +
                          "' from='localhost' version='1.0' xml:lang='en'><stream:features>";
        if (offer_starttls && !c.tls) out += "<starttls xmlns='" + ns_tls + "'/>";
        if (!c.authed) {
            if (!mechanisms.empty()) {
                out += "<mechanisms xmlns='" + ns_sasl + "'>";
                for (const auto& m : mechanisms) out += "<mechanism>" + escape(m) + "</mechanism>";
                out += "</mechanisms>";
            }
            out += "<register xmlns='http://jabber.org/features/iq-register'/>";
        } else {
            out += "<bind xmlns='" + ns_bind + "'/><session xmlns='" + ns_session + "'/>";
        }
        send(c, out + "</stream:features>");
    }

    void on_starttls(Connection& c) {
        if (!offer_starttls || c.tls) {
            send(c, "<failure xmlns='" + ns_tls + "'/>");
            request_close(c, true);
            return;
        }
        send(c, "<proceed xmlns='" + ns_tls + "'/>");
        try {
            c.tls = std::make_unique<Tls_Server_Session>();
        } catch (const std::exception&) {
            request_close(c, false);
        }
    }

    void sasl_failure(Connection& c, const std::string& condition) {
        send(c, "<failure xmlns='" + ns_sasl + "'><" + condition + "/></failure>");
        request_close(c, true);
    }

    void on_auth(Connection& c, const gloox::Tag& auth) {
        const std::string mechanism = auth.findAttribute("mechanism");
        const bool offered = std::find(mechanisms.begin(), mechanisms.end(), mechanism) != mechanisms.end();
        if (!c.authed && offered && (!sasl_challenge.empty() || mechanism == "SCRAM-SHA-1")) {
            on_challenged_auth(c, mechanism, auth);
            return;
        }
        if (c.authed || !offered || (mechanism != "PLAIN" && mechanism != "ANONYMOUS")) {
            sasl_failure(c, "invalid-mechanism");
            return;
        }
        std::string user;
        bool ok = false;
        if (mechanism == "ANONYMOUS") {
            user = "anonymous-" + std::to_string(++anonymous_users);
            ok = auth_mode != Auth_Mode::always_fail;
        } else {
            // authzid NUL authcid NUL password
            const std::string message = gloox::Base64::decode64(auth.cdata());
            const std::size_t first = message.find('\0');
            const std::size_t second = first == std::string::npos ? first : message.find('\0', first + 1);
            if (second == std::string::npos) {
                sasl_failure(c, "malformed-request");
                return;
            }
            user = message.substr(first + 1, second - first - 1);
            const std::string password = message.substr(second + 1);
            const auto account = accounts.find(account_key(user));
            ok = auth_mode == Auth_Mode::always_succeed ||
                 (auth_mode == Auth_Mode::accounts && account != accounts.end() && account->second == password);
        }
        if (!ok) {
            sasl_failure(c, "not-authorized");
            return;
        }
        c.authed = true;
        c.user = user;
        send(c, "<success xmlns='" + ns_sasl + "'/>");
    }

    // Mechanisms with a challenge: the scripted one, or SCRAM-SHA-1's.
    void on_challenged_auth(Connection& c, const std::string& mechanism, const gloox::Tag& auth) {
        if (!sasl_challenge.empty()) {
            send(c, "<challenge xmlns='" + ns_sasl + "'>" + sasl_challenge + "</challenge>");
            return;
        }
        c.scram = scram_begin(gloox::Base64::decode64(auth.cdata()), scram_iterations, scram_nonce);
        if (!c.scram || mechanism != "SCRAM-SHA-1") {
            sasl_failure(c, "malformed-request");
            return;
        }
        send(c, "<challenge xmlns='" + ns_sasl + "'>" + gloox::Base64::encode64(c.scram->server_first) +
                    "</challenge>");
    }

    void on_sasl_response(Connection& c, const gloox::Tag& response) {
        if (c.authed || !c.scram) {
            sasl_failure(c, "not-authorized");
            return;
        }
        const Scram_Exchange exchange = *c.scram;
        c.scram.reset();
        const auto account = accounts.find(account_key(exchange.user));
        std::optional<std::string> server_final;
        if (auth_mode != Auth_Mode::always_fail && account != accounts.end())
            server_final = scram_finish(exchange, gloox::Base64::decode64(response.cdata()), account->second);
        if (!server_final) {
            sasl_failure(c, "not-authorized");
            return;
        }
        c.authed = true;
        c.user = exchange.user;
        send(c, "<success xmlns='" + ns_sasl + "'>" + gloox::Base64::encode64(*server_final) + "</success>");
    }

    // ---- IQs ---------------------------------------------------------------

    void on_iq(Connection& c, const gloox::Tag& iq) {
        const std::string type = iq.findAttribute("type");
        if (type != "get" && type != "set") return;
        const std::string id = iq.findAttribute("id");
        const std::string to = iq.findAttribute("to");
        const gloox::TagList& children = iq.children();
        const gloox::Tag* query = children.empty() ? nullptr : children.front();
        const std::string ns = query ? query->xmlns() : std::string();
        const bool own_account = !c.full_jid.empty() && (to == bare_of(c.full_jid) || to == c.full_jid);
        if (!to.empty() && to != domain && !own_account) {
            send(c, iq_error(id, to, "service-unavailable"));
            return;
        }
        if (ns == ns_register && type == "get") {
            send(c, iq_head("result", id, to) + "><query xmlns='" + ns_register + "'>" + fields + "</query></iq>");
        } else if (ns == ns_register) {
            on_register_set(c, *query, id, to);
        } else if (ns == ns_bind && type == "set") {
            on_bind(c, *query, id, to);
        } else if (ns == ns_session || ns == ns_ping || (ns == ns_roster && type == "set")) {
            send(c, iq_head("result", id, to) + "/>");
        } else if (ns == ns_roster) {
            send(c, iq_head("result", id, to) + "><query xmlns='" + ns_roster + "'/></iq>");
        } else if (ns == ns_private && type == "get") {
            // Nothing stored: the request comes back as it was asked.
            send(c, iq_head("result", id, to) + ">" + query->xml() + "</iq>");
        } else if (ns == ns_private) {
            send(c, iq_head("result", id, to) + "/>");
        } else {
            send(c, iq_error(id, to, "service-unavailable"));
        }
    }

    void on_register_set(Connection& c, const gloox::Tag& query, const std::string& id, const std::string& to) {
        if (query.findChild("remove")) {
            if (c.authed) accounts.erase(account_key(c.user));
            send(c, iq_head("result", id, to) + "/>");
            return;
        }
        std::string user;
        std::string password;
        if (const gloox::Tag* form = query.findChild("x", "xmlns", ns_data)) {
            for (const gloox::Tag* field : form->findChildren("field")) {
                const gloox::Tag* value = field->findChild("value");
                const std::string var = field->findAttribute("var");
                if (var == "username" && value) user = value->cdata();
                if (var == "password" && value) password = value->cdata();
            }
        } else {
            if (const gloox::Tag* t = query.findChild("username")) user = t->cdata();
            if (const gloox::Tag* t = query.findChild("password")) password = t->cdata();
        }
        std::string outcome;
        if (!outcomes.empty()) {
            outcome = outcomes.front();
            outcomes.pop_front();
        } else if (user.empty()) {
            outcome = "not-acceptable";
        } else {
            outcome = accounts.count(account_key(user)) ? "conflict" : "success";
        }
        if (outcome == "ignore") return;
        if (outcome == "success") {
            if (!user.empty()) accounts[account_key(user)] = password;
            send(c, iq_head("result", id, to) + "/>");
        } else {
            send(c, iq_error(id, to, outcome));
        }
    }

    void on_bind(Connection& c, const gloox::Tag& bind, const std::string& id, const std::string& to) {
        if (!c.authed) {
            send(c, iq_error(id, to, "not-authorized"));
            return;
        }
        std::string resource;
        if (const gloox::Tag* r = bind.findChild("resource")) resource = r->cdata();
        if (resource.empty()) resource = "peer-" + std::to_string(c.number);
        c.full_jid = c.user + "@" + domain + "/" + resource;
        bound_number = c.number;
        bound_full_jid = c.full_jid;
        const std::string answer = bind_answer.empty() ? "<jid>" + escape(c.full_jid) + "</jid>" : bind_answer;
        send(c, iq_head("result", id, to) + "><bind xmlns='" + ns_bind + "'>" + answer + "</bind></iq>");
    }

    // ---- messages ------------------------------------------------------------

    // The connection a message to `to` goes to: the bound connection with
    // that full JID, else the latest bound connection with that bare JID.
    Connection* route(const std::string& to) {
        if (to.empty()) return nullptr;
        Connection* by_bare = nullptr;
        for (auto& entry : connections) {
            Connection& c = *entry.second;
            if (c.dead || c.closing || c.full_jid.empty()) continue;
            if (c.full_jid == to) return &c;
            if (bare_of(c.full_jid) == to) by_bare = &c;
        }
        return by_bare;
    }

    void on_message(Connection& c, const gloox::Tag& message, const std::string& raw) {
        if (c.full_jid.empty()) return;  // not logged in
        Connection* target = route(message.findAttribute("to"));
        if (!target || (target == &c && !echo)) return;
        std::string out = raw;
        if (!message.hasAttribute("from")) {
            // Stamp the sender, as a server does.
            const std::size_t at = out.find_first_of(" \t\r\n/>", 1);
            out.insert(at == std::string::npos ? out.size() : at, " from='" + escape(c.full_jid) + "'");
        }
        send(*target, out);
        if (target != &c) flush(*target);
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
    impl_->accounts[account_key(user)] = password;
}

std::optional<std::string> Scripted_Peer::password_of(const std::string& user) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto found = impl_->accounts.find(account_key(user));
    if (found == impl_->accounts.end()) return std::nullopt;
    return found->second;
}

std::map<std::string, std::string> Scripted_Peer::accounts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->accounts;
}

void Scripted_Peer::set_registration_fields(const std::string& query_children) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->fields = query_children;
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
    impl_->outcomes.push_back(outcome);
}

std::size_t Scripted_Peer::pending_registration_outcomes() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->outcomes.size();
}

void Scripted_Peer::set_offer_starttls(bool offer) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->offer_starttls = offer;
}

void Scripted_Peer::set_auth_mode(Auth_Mode mode) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->auth_mode = mode;
}

void Scripted_Peer::set_sasl_mechanisms(const std::vector<std::string>& mechanisms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->mechanisms = mechanisms;
}

void Scripted_Peer::set_echo(bool echo) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->echo = echo;
}

void Scripted_Peer::set_silent_from_connection(int connection) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->silent_from = connection;
}

void Scripted_Peer::set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->silent = silent;
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
        target = impl_->bound_number ? impl_->bound_number : impl_->current();
    }
    return send_raw(target, xml);
}

bool Scripted_Peer::send_raw(int connection, const std::string& xml) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Impl::Connection* c = impl_->open_connection(connection);
    if (!c || c->closing) return false;
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
    if (!c->closing) impl_->request_close(*c, send_stream_end);
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
    return impl_->bound_number;
}

bool Scripted_Peer::is_open(int connection) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->open_connection(connection) != nullptr;
}

std::string Scripted_Peer::bound_jid() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->bound_full_jid;
}

}  // namespace velta_test

// ---- SASL with challenges --------------------------------------------------

namespace velta_test {

void Scripted_Peer::set_scram_iterations(long iterations) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->scram_iterations = iterations;
}

void Scripted_Peer::set_scram_server_nonce(const std::optional<std::string>& nonce) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->scram_nonce = nonce;
}

void Scripted_Peer::set_sasl_challenge(const std::string& base64_payload) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->sasl_challenge = base64_payload;
}

void Scripted_Peer::set_bind_answer(const std::string& bind_children) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->bind_answer = bind_children;
}

}  // namespace velta_test
