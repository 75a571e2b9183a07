// SPDX-License-Identifier: GPL-3.0-or-later
// The stream probe: a TCP connection made as the library makes it, then the
// stream header the library's gloox client sends, and a reading of what the
// server offers before any login.
#include "checks.hpp"

#include <velta_client/end_words.hpp>

#include <gloox/gloox.h>
#include <gloox/parser.h>
#include <gloox/tag.h>
#include <gloox/taghandler.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velta_check {

namespace {

namespace words = Velta_Client::end_words;

using Clock = std::chrono::steady_clock;

double milliseconds_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string format_ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, ms < 10 ? "%.1f ms" : "%.0f ms", ms);
    return text;
}

std::string address_text(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    ::getnameinfo(address, length, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

// Connects to port 5222 of every address the server string names, in turn:
// what the library does for an IP address, "localhost", and a name without
// an SRV record. (The library also follows a name's _xmpp-client._tcp SRV
// record; this lookup does not.) Each address gets the time-out, so that the
// tool always ends.
bool connect_like_library(const Options& options, Socket& socket, std::vector<Check>& checks) {
    const auto started = Clock::now();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    hints.ai_flags = AI_NUMERICSERV;
    std::string host = options.server;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const int looked_up = ::getaddrinfo(host.c_str(), "5222", &hints, &found);
    if (looked_up != 0 || !found) {
        checks.push_back({"reachable", Verdict::fail,
                          std::string(words::cannot_find_address) + " \"" + options.server + "\" (" +
                              ::gai_strerror(looked_up) + ")",
                          "give the server's IP address, or a name this machine resolves"});
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

    std::string tried;
    for (const addrinfo* address = found; address; address = address->ai_next) {
        const std::string where = address_text(address->ai_addr, address->ai_addrlen);
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                address->ai_protocol);
        if (fd < 0) continue;
        int error = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd waiting{fd, POLLOUT, 0};
                const int ready = ::poll(&waiting, 1, options.timeout_ms);
                socklen_t length = sizeof error;
                if (ready == 1)
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                else
                    error = ETIMEDOUT;
            }
        }
        if (error == 0) {
            socket.fd = fd;
            checks.push_back({"reachable", Verdict::pass,
                              where + " accepted the connection in " + format_ms(milliseconds_since(started)), ""});
            return true;
        }
        ::close(fd);
        tried += (tried.empty() ? "" : ", ") + where + ": " +
                 (error == ECONNREFUSED ? std::string(words::nothing_listens)
                  : error == ETIMEDOUT  ? std::string(words::no_answer_within) + " " +
                                             std::to_string(options.timeout_ms / 1000) + " s"
                                        : std::string(std::strerror(error)));
    }
    checks.push_back({"reachable", Verdict::fail, tried,
                      "start the server, or make it listen on this address and port 5222 (Prosody: interfaces and "
                      "c2s_ports; ejabberd: a listen entry with port: 5222 and ip:)"});
    return false;
}

// Collects the stream's root element and its first-level children.
class Collector : public gloox::TagHandler {
public:
    void handleTag(gloox::Tag* tag) override {
        if (!root) {
            root.reset(tag->clone());
        } else {
            children.emplace_back(tag->clone());
        }
    }
    const gloox::Tag* child(const std::string& name, const std::string& xmlns) const {
        for (const auto& tag : children)
            if (tag->name() == name && tag->xmlns() == xmlns) return tag.get();
        return nullptr;
    }
    std::unique_ptr<gloox::Tag> root;
    std::vector<std::unique_ptr<gloox::Tag>> children;
};

bool send_all(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd waiting{fd, POLLOUT, 0};
            ::poll(&waiting, 1, 100);
            continue;
        }
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

enum class Reading { done, closed, timed_out, not_xml };

// Reads and parses until `done` says so, the connection closes, the parser
// fails or the time-out passes.
template <class Done>
Reading read_until(int fd, gloox::Parser& parser, int timeout_ms, std::string& received, Done done) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Reading::timed_out;
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[8192];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return done() ? Reading::done : Reading::closed;
        std::string data(buffer, static_cast<std::size_t>(n));
        if (received.size() < 200) received.append(data, 0, 200 - received.size());
        if (parser.feed(data) >= 0) return Reading::not_xml;
    }
    return Reading::done;
}

std::string printable(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) out += (c >= 0x20 && c < 0x7F) ? c : '.';
    return out;
}

// The condition of a stream error or a stanza error: its first child in the
// given namespace.
std::string condition(const gloox::Tag& error, const std::string& xmlns) {
    for (const gloox::Tag* child : error.children())
        if (child->xmlns() == xmlns && child->name() != "text") return child->name();
    return "undefined-condition";
}

const char* const stream_header =
    "<?xml version='1.0' ?><stream:stream to='localhost' xmlns='jabber:client' "
    "xmlns:stream='http://etherx.jabber.org/streams' xml:lang='en' version='1.0'>";

void skip(std::vector<Check>& checks, std::initializer_list<const char*> names, const std::string& why) {
    for (const char* name : names) checks.push_back({name, Verdict::skip, why, ""});
}

}  // namespace

bool probe_stream(const Options& options, std::vector<Check>& checks) {
    Socket socket;
    if (!connect_like_library(options, socket, checks)) {
        skip(checks, {"stream", "starttls", "registration", "sasl"}, "not reachable");
        return false;
    }

    Collector collector;
    gloox::Parser parser(&collector);
    std::string received;
    const auto started = Clock::now();
    if (!send_all(socket.fd, stream_header)) {
        checks.push_back({"stream", Verdict::fail, "the connection closed before the stream header was sent",
                          "see the server's log"});
        skip(checks, {"starttls", "registration", "sasl"}, "no stream");
        return false;
    }
    const auto features_or_error = [&] {
        return collector.child("features", gloox::XMLNS_STREAM) || collector.child("error", gloox::XMLNS_STREAM);
    };
    const Reading reading = read_until(socket.fd, parser, options.timeout_ms, received, features_or_error);
    const gloox::Tag* stream_error = collector.child("error", gloox::XMLNS_STREAM);
    const gloox::Tag* features = collector.child("features", gloox::XMLNS_STREAM);

    if (stream_error) {
        const std::string cause = condition(*stream_error, gloox::XMLNS_XMPP_STREAM);
        if (cause == "host-unknown")
            checks.push_back({"stream", Verdict::fail,
                              std::string(words::not_localhost) + " (" + words::stream_error +
                                  " host-unknown); hosts see on_disconnected at every start",
                              "serve the domain localhost (Prosody: VirtualHost \"localhost\"; ejabberd: "
                              "hosts: [localhost])"});
        else {
            const gloox::Tag* said = stream_error->findChild("text");
            checks.push_back({"stream", Verdict::fail,
                              std::string(words::stream_error) + " " + cause +
                                  (said ? ": " + said->cdata() : std::string()) +
                                  "; hosts see on_disconnected at every start",
                              "see the server's log; a Prosody that requires encryption but offers no TLS ends "
                              "the stream so (c2s_require_encryption = false)"});
        }
        skip(checks, {"starttls", "registration", "sasl"}, "no stream");
        return false;
    }
    if (!features) {
        std::string detail;
        switch (reading) {
        case Reading::not_xml:
            detail = "the answer is not XMPP (it begins \"" + printable(received) + "\")";
            break;
        case Reading::closed:
            detail = std::string(words::closed_connection) +
                     (collector.root ? " after its stream header" : " without a word");
            break;
        default:
            detail = "no stream features within " + std::to_string(options.timeout_ms / 1000) + " s" +
                     (received.empty() ? " (nothing at all came)" : "");
            break;
        }
        checks.push_back({"stream", Verdict::fail, detail,
                          "make sure an XMPP server listens here, for clients (port 5222), not another program"});
        skip(checks, {"starttls", "registration", "sasl"}, "no stream");
        return false;
    }
    const std::string from = collector.root ? collector.root->findAttribute("from") : std::string();
    if (!from.empty() && from != "localhost") {
        checks.push_back({"stream", Verdict::fail,
                          "the server answers for \"" + from + "\", not \"localhost\"",
                          "serve the domain localhost (Prosody: VirtualHost \"localhost\"; ejabberd: "
                          "hosts: [localhost])"});
    } else {
        checks.push_back({"stream", Verdict::pass,
                          "a stream for the domain localhost, features in " + format_ms(milliseconds_since(started)),
                          ""});
    }

    // STARTTLS: the library never uses TLS and refuses a server that offers it.
    bool usable = checks.back().verdict == Verdict::pass;
    if (const gloox::Tag* tls = features->findChild("starttls", "xmlns", gloox::XMLNS_STREAM_TLS)) {
        const bool required = tls->hasChild("required");
        checks.push_back({"starttls", Verdict::fail,
                          std::string(words::offers_starttls) + (required ? " (required by the server)" : "") +
                              ": hosts see on_disconnected at every start",
                          "turn TLS off for client connections (Prosody: remove \"tls\" from modules_enabled; "
                          "ejabberd: starttls: false and no starttls_required on the port 5222 listener)"});
        usable = false;
    } else {
        checks.push_back({"starttls", Verdict::pass, "STARTTLS is not offered", ""});
    }

    // In-band registration: the library registers before every login.
    const bool feature = features->hasChild("register", "xmlns", gloox::XMLNS_STREAM_IQREGISTER);
    const std::string query =
        "<iq type='get' id='velta-check-fields'><query xmlns='" + gloox::XMLNS_REGISTER + "'/></iq>";
    const gloox::Tag* answer = nullptr;
    const auto answered = [&] {
        for (const auto& tag : collector.children)
            if (tag->name() == "iq" && tag->findAttribute("id") == "velta-check-fields") answer = tag.get();
        return answer != nullptr || collector.child("error", gloox::XMLNS_STREAM) != nullptr;
    };
    if (send_all(socket.fd, query)) read_until(socket.fd, parser, options.timeout_ms, received, answered);
    const std::string advertised = feature ? "advertised" : "not advertised";
    const std::string registration_fix =
        "open in-band registration (Prosody: \"register\" in modules_enabled and allow_registration = true; "
        "ejabberd: mod_register with an access rule that allows all)";
    if (answer && answer->findAttribute("type") == "result") {
        const gloox::Tag* fields = answer->findChild("query", "xmlns", gloox::XMLNS_REGISTER);
        if (fields && fields->hasChild("username") && fields->hasChild("password")) {
            checks.push_back({"registration", Verdict::pass,
                              "in-band registration is open (" + advertised + "; asks for username and password)",
                              ""});
        } else {
            checks.push_back({"registration", Verdict::fail,
                              "the registration form does not ask for a username and a password: every start "
                              "ends in on_error \"register failed.\"",
                              registration_fix});
            usable = false;
        }
    } else {
        std::string why;
        if (answer) {
            const gloox::Tag* error = answer->findChild("error");
            why = "the server answers " + (error ? condition(*error, gloox::XMLNS_XMPP_STANZAS) : std::string("an error"));
        } else {
            why = "no answer to the registration request within " + std::to_string(options.timeout_ms / 1000) + " s";
        }
        checks.push_back({"registration", Verdict::fail,
                          "in-band registration is closed (" + advertised + "; " + why +
                              "): every start ends in on_error \"register failed.\"",
                          registration_fix});
        usable = false;
    }

    // SASL: gloox takes SCRAM-SHA-1, DIGEST-MD5 or PLAIN without TLS.
    std::vector<std::string> offered;
    if (const gloox::Tag* mechanisms = features->findChild("mechanisms", "xmlns", gloox::XMLNS_STREAM_SASL))
        for (const gloox::Tag* mechanism : mechanisms->children()) offered.push_back(mechanism->cdata());
    const auto has = [&](const char* name) {
        for (const auto& m : offered)
            if (m == name) return true;
        return false;
    };
    std::string list;
    for (const auto& m : offered) list += (list.empty() ? "" : ", ") + m;
    if (has("SCRAM-SHA-1")) {
        checks.push_back({"sasl", Verdict::pass, "login by SCRAM-SHA-1 (offered: " + list + ")", ""});
    } else if (has("PLAIN") || has("DIGEST-MD5")) {
        checks.push_back({"sasl", Verdict::warn,
                          "no SCRAM-SHA-1; the login will use " + std::string(has("PLAIN") ? "PLAIN" : "DIGEST-MD5") +
                              ", and without TLS " +
                              (has("PLAIN") ? "the password crosses the network in clear" : "that is weak") +
                              " (offered: " + list + ")",
                          "offer SCRAM-SHA-1 (Prosody: authentication = \"internal_hashed\"; ejabberd: "
                          "auth_password_format: scram)"});
    } else {
        checks.push_back({"sasl", Verdict::fail,
                          offered.empty() ? "no login is offered on an unencrypted stream: hosts see on_error or "
                                            "on_disconnected after registering"
                                          : "no mechanism the library can use (offered: " + list + ")",
                          "allow logins without TLS (Prosody: c2s_require_encryption = false and "
                          "authentication = \"internal_hashed\"; ejabberd: no starttls_required)"});
        usable = false;
    }

    send_all(socket.fd, "</stream:stream>");
    return usable;
}

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
    case Verdict::pass:
        return "pass";
    case Verdict::warn:
        return "warn";
    case Verdict::fail:
        return "fail";
    case Verdict::skip:
        return "skip";
    }
    return "?";
}

}  // namespace velta_check
