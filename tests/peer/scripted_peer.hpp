// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted XMPP server for the test suite.
//
// Scripted_Peer listens on its own loopback address (127.0.0.N, port 5222)
// and serves the domain "localhost" to gloox clients from one background
// thread: stream negotiation, optional STARTTLS, in-band registration
// (jabber:iq:register), SASL PLAIN, resource binding, session, an empty
// roster, and simple message routing between its own connections.  Tests
// script its answers, read what the clients sent (byte-exact), and inject
// stanzas or connection failures.
//
//     velta_test::Scripted_Peer peer;
//     peer.add_account("bob", "pw");
//     peer.push_registration_outcome("not-acceptable");
//     gloox::Client client("localhost");
//     client.setServer(peer.address());
//     ... drive the client ...
//     peer.wait_for([&] { return !peer.messages().empty(); }, 2s, [&] { client.recv(0); });
//     EXPECT_EQ(peer.messages()[0].attribute("type"), "chat");
//
// What it answers is decided by the in-memory server in
// peer/core/xmpp_server.hpp (its list of answers holds here); this class is
// its socket side: accept, TLS, and the end of a session as
// </stream:stream> and FIN. A SASL failure is followed by both (gloox
// reports ConnAuthenticationFailed on the failure element alone).
//
// Every public member may be called from any thread at any time.
#pragma once

#include "peer/core/recorded.hpp"
#include "peer/core/server_script.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velta_test {

class Scripted_Peer {
public:
    static constexpr int port = 5222;

    // Binds a free 127.0.0.N:5222 and starts serving.  Throws
    // std::runtime_error when no address in 127.0.0.2..254 is free.
    Scripted_Peer();
    // Where else to listen: a free 127.0.0.N on another port, or [::1].
    struct Listen {
        int port = Scripted_Peer::port;
        bool ipv6 = false;
    };
    explicit Scripted_Peer(Listen where);
    // Stops the thread and closes every socket (no stream end is sent).
    ~Scripted_Peer();
    Scripted_Peer(const Scripted_Peer&) = delete;
    Scripted_Peer& operator=(const Scripted_Peer&) = delete;

    // "127.0.0.N" (or "::1"), for gloox::ClientBase::setServer.
    std::string address() const;
    int listen_port() const;

    // ---- accounts -----------------------------------------------------
    // User names are kept in lower case and compare without regard to ASCII
    // case, as a server's nodeprep would have them.
    void add_account(const std::string& user, const std::string& password);
    std::optional<std::string> password_of(const std::string& user) const;
    std::map<std::string, std::string> accounts() const;

    // ---- script -------------------------------------------------------
    // Children of <query xmlns='jabber:iq:register'> in the answer to a
    // registration fields request.  Default: legacy_fields().
    void set_registration_fields(const std::string& query_children);
    // <instructions>..</instructions><username/><password/>
    static std::string legacy_fields(const std::string& instructions = "Choose a user name and password.");
    // <registered/><username>user</username><password>password</password>
    static std::string registered_fields(const std::string& user = "", const std::string& password = "");
    // A jabber:x:data form (hidden FORM_TYPE, "username", "password") and the
    // legacy fields.
    static std::string data_form_fields();
    // A jabber:x:oob redirect and the legacy fields; an absent url or desc
    // leaves that element out.
    static std::string out_of_band_fields(const std::optional<std::string>& url,
                                          const std::optional<std::string>& desc);

    // Outcomes of the next registration sets, one consumed per set, in order:
    // "success" (creates or overwrites the account when the set names a user),
    // "ignore" (no answer at all), or a stanza error condition such as
    // "conflict", "not-acceptable", "not-authorized", "bad-request",
    // "forbidden", "not-allowed", "registration-required" (answered with its
    // usual error type and legacy code).  With none queued: success and a new
    // account, or "conflict" when the user exists.
    void push_registration_outcome(const std::string& outcome);
    std::size_t pending_registration_outcomes() const;

    // Offer <starttls/> in the features of a stream that is not encrypted
    // yet.  A client's <starttls/> gets <proceed/> and a real TLS handshake
    // with a throw-away self-signed certificate for "localhost"; a client
    // that accepts it goes on over TLS.  Default off.
    void set_offer_starttls(bool offer);
    // Offer zlib stream compression on every stream; a client's <compress/>
    // is recorded and refused.  Default off.
    void set_offer_compression(bool offer);
    void set_auth_mode(Auth_Mode mode);
    // SASL mechanisms offered, in order.  Default {"PLAIN"}.  "ANONYMOUS" is
    // served too; any other mechanism a client picks is answered with
    // <invalid-mechanism/>.
    void set_sasl_mechanisms(const std::vector<std::string>& mechanisms);
    // Reflect messages addressed to the sender's own JID.  Default on.
    void set_echo(bool echo);
    // Read and record everything, answer nothing.  Default off.
    void set_silent(bool silent);
    // As set_silent, for connection number `connection` and later ones
    // only (0: none).
    void set_silent_from_connection(int connection);

    // Requests of this kind are read and never answered: "register-get",
    // "register-set", "auth" or "bind". "" answers them all again.
    void set_unanswered(const std::string& request);

    // ---- recording ----------------------------------------------------
    std::vector<Recorded> stanzas() const;
    std::vector<Recorded> messages() const;
    std::vector<Recorded> stanzas_on(int connection) const;
    void clear_recorded();
    // Evaluates predicate (without any peer lock held) until it returns true
    // or the timeout passes.  pump, when given, runs before every evaluation:
    // use it to drive the client under test (client.recv(0), manager poll).
    bool wait_for(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
                  const std::function<void()>& pump = {}) const;

    // ---- injection ----------------------------------------------------
    // Writes xml as is to bound_connection(), or, while no connection has
    // bound a resource yet, to current_connection().  False when that
    // connection is not open or is being closed.
    bool send_raw(const std::string& xml);
    bool send_raw(int connection, const std::string& xml);
    // Orderly close of current_connection(): optionally "</stream:stream>",
    // then FIN once everything queued is written; the socket is closed when
    // the client closes its side, and until then is_open() stays true.  False
    // when no connection is open.
    bool close_connection(bool send_stream_end = true);
    bool close_connection(int connection, bool send_stream_end = true);
    // Stops accepting: later connection attempts are refused, open
    // connections go on.
    void stop_listening();
    // Abortive close (RST, SO_LINGER 0) of current_connection().
    bool reset_connection();
    bool reset_connection(int connection);

    // ---- state --------------------------------------------------------
    int connections_accepted() const;
    // The most recently accepted connection that is still open, or 0.
    int current_connection() const;
    // The most recently bound connection (open or not), or 0.
    int bound_connection() const;
    // True from accept until the socket is closed: the client closed it, it
    // failed, or reset_connection().
    bool is_open(int connection) const;
    // Full JID (node@localhost/resource) of bound_connection(), or "".
    std::string bound_jid() const;

    // ---- SASL with challenges -----------------------------------------
    // "SCRAM-SHA-1" in set_sasl_mechanisms() is served (RFC 5802) against the
    // account table with a fresh salt and this iteration count (default
    // 4096), and a nonce that extends the client's unless replaced here.
    void set_scram_iterations(long iterations);
    void set_scram_server_nonce(const std::optional<std::string>& nonce);
    // The same salt (raw bytes) in every exchange, as servers keep it with
    // the account; nullopt (the default): a fresh one each time.
    void set_scram_salt(const std::optional<std::string>& salt);
    // A server-final-message whose signature is one bit off.
    void set_scram_wrong_signature(bool wrong);
    // Answers every <auth/> of an offered mechanism with
    // <challenge>base64_payload</challenge> (sent as given) and nothing more;
    // "" (the default) ends this.
    void set_sasl_challenge(const std::string& base64_payload);
    // Children of <bind/> in the answer to resource binding, sent as given,
    // instead of <jid>the client's own full JID</jid>; "" (the default)
    // ends this. Routing still uses the client's own JID.
    void set_bind_answer(const std::string& bind_children);
    // Resource binding refused with this stanza error condition; "" (the
    // default) ends this.
    void set_bind_error(const std::string& condition);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velta_test
