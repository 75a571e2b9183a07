// SPDX-License-Identifier: GPL-3.0-or-later
// An XMPP server for the domain "localhost" that lives in memory: fed the
// bytes its clients write, it decides what to answer and hands the answer to
// its transport as bytes. It has no socket, thread or clock of its own; the
// transport (a socket loop, or an in-memory connection) moves the bytes and
// owns the TLS layer.
//
// What it answers, unless scripted otherwise or silent:
//  - stream header: its own header and features (<starttls/> when offered;
//    before authentication the SASL mechanisms and the iq-register feature,
//    after it <bind/> and, unless told otherwise, <session/>);
//  - jabber:iq:register get: the scripted fields; set: the next scripted
//    outcome (user and password are read from the legacy children or from a
//    submitted jabber:x:data form);
//  - SASL PLAIN, ANONYMOUS and SCRAM-SHA-1: <success/>, or a <failure/>
//    followed by </stream:stream> and the end of the session;
//  - bind: the resource asked for, else "peer-<session number>"; session,
//    roster, private storage and ping: empty results; any other IQ get or
//    set: service-unavailable; presence: nothing;
//  - a message from a bound session: routed to the bound session with that
//    full JID, else to the latest bound session of that bare JID (the sender
//    itself only while echo is on), with the sender's full JID stamped as
//    "from" when the message has none; otherwise nothing;
//  - </stream:stream>: </stream:stream> and the end of the session.
//
// Not thread-safe: the transport serialises every call.
#pragma once

#include "peer/core/recorded.hpp"
#include "peer/core/server_script.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace velta_test {

class Xmpp_Server {
public:
    // Takes bytes the server writes on a session, in order. Never called
    // for a session that is closing or forgotten, nor from inside another
    // call of it.
    using Writer = std::function<void(int session, const std::string& bytes)>;
    // Sees every top-level element a client sends, before it is answered;
    // may be empty. The element's tag is the parser's own, alive only during
    // the call: an observer that keeps it keeps a copy (Tag::clone()).
    using Observer = std::function<void(const Recorded& element)>;

    Xmpp_Server(Writer write, Observer observe);
    ~Xmpp_Server();
    Xmpp_Server(const Xmpp_Server&) = delete;
    Xmpp_Server& operator=(const Xmpp_Server&) = delete;

    Server_Script script;

    // A client has connected; numbers are the transport's, each used once.
    void open(int session);
    // The transport has gone: the session takes no part in routing any more.
    void forget(int session);

    // Reads what the client wrote. Returns the bytes used: all of them, or
    // those up to the end of a <starttls/> the server accepted, after which
    // the rest belongs to TLS (see awaits_tls()).
    std::size_t receive(int session, const char* data, std::size_t size);
    // After <proceed/>: the transport is to run the TLS handshake, then call
    // restart_stream(). receive() reads nothing meanwhile.
    bool awaits_tls(int session) const;
    // TLS is up: a new stream starts inside it.
    void restart_stream(int session);

    // Ends the session: optionally "</stream:stream>", then nothing more is
    // written; the transport closes its side once that is out.
    void close(int session, bool stream_end);
    // True once the session is ending or gone: the transport writes nothing
    // more on it.
    bool closing(int session) const;

    // The session that bound a resource last, or 0, and its full JID.
    int bound_session() const { return bound_number_; }
    const std::string& bound_jid() const { return bound_full_jid_; }

private:
    struct Session;

    Session* find(int session) const;
    void observe(const Recorded& element);
    void send(Session& s, const std::string& text);
    void on_not_well_formed(Session& s);
    void on_stream_end(Session& s);
    void on_element(Session& s, const gloox::Tag& parsed);
    void on_stream_start(Session& s);
    void on_starttls(Session& s);
    void sasl_failure(Session& s, const std::string& condition);
    void on_auth(Session& s, const gloox::Tag& auth);
    void on_challenged_auth(Session& s, const std::string& mechanism, const gloox::Tag& auth);
    void on_sasl_response(Session& s, const gloox::Tag& response);
    void on_iq(Session& s, const gloox::Tag& iq);
    void on_register_set(Session& s, const gloox::Tag& query, const std::string& id, const std::string& to);
    void on_bind(Session& s, const gloox::Tag& bind, const std::string& id, const std::string& to);
    Session* route(const std::string& to);
    void on_message(Session& s, const gloox::Tag& message, const std::string& raw);

    Writer write_;
    Observer observe_;
    std::map<int, std::unique_ptr<Session>> sessions_;
    int bound_number_ = 0;
    std::string bound_full_jid_;
    int anonymous_users_ = 0;
};

}  // namespace velta_test
