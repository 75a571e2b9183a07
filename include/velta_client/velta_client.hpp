// SPDX-License-Identifier: GPL-3.0-or-later
/// \file
/// velta-client: text chat and service requests for a game client, over XMPP.
///
/// The host makes one manager with new_velta_manager(), drives it from its own
/// thread (start, logout, the six send operations, and poll() every frame) and
/// hears every event as a call on the Handler it implements. Handler calls are
/// made only from inside poll(), on the thread that calls poll(). The library
/// starts no thread and sets no timer.
///
/// Managers may live on different threads, each used from one thread at a
/// time. What the process shares: gloox draws from the C library's rand()
/// generator, which is one per process. While any manager's call runs, on any
/// thread, rand() works on the library's own generator state (one short lock
/// of the library's switches it); when the last such call returns, the host's
/// state is back as it was, so the host's srand() and rand() sequence is its
/// own. A host that calls rand() or srand() on another thread while a
/// manager's call runs draws from (or seeds) the library's state instead of
/// its own: keep rand() on threads that do not overlap a manager's calls, or
/// use <random>. Every call leaves errno as the host left it.
///
/// This header depends on the C++ standard library only.
///
/// Clock, Handler and Velta_Manager are a binary contract: the host and the
/// library call each other through their virtual tables, which follow the
/// order in which each class declares its virtual operations, destructors
/// included. That order is fixed as it stands, however odd it looks: moving,
/// inserting or removing a virtual operation breaks every host built against
/// an earlier copy of this header. New operations of Velta_Manager are only
/// added after its last one (get_last_end(), slot 11, was).
#ifndef VELTA_CLIENT_VELTA_CLIENT_HPP
#define VELTA_CLIENT_VELTA_CLIENT_HPP

#include <cstdint>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#  define VELTA_CLIENT_API
#elif defined(VELTA_CLIENT_BUILDING_LIBRARY)
#  define VELTA_CLIENT_API __attribute__((visibility("default")))
#else
#  define VELTA_CLIENT_API
#endif

namespace Velta_Client {

/// Host text: UTF-16 code units. Surrogate pairs are sent as the one character
/// they encode; a lone surrogate is sent as U+FFFD.
using wide_string = std::u16string;

/// Values of Velta_Manager::get_state().
enum : int {
    STATE_REGISTERING = 0,  ///< first connection, creating the account
    STATE_LOGGING_IN = 1,   ///< second connection, authenticating as the user
    STATE_CONNECTED = 2,    ///< logged in: the send operations act only here
    STATE_RESETTING = 3,    ///< the connection ended; back to idle at the next poll()
    STATE_IDLE = 4          ///< no connection: start() acts only here
};

/// Codes that head every service request and reply.
constexpr std::uint32_t CODE_ADMIN_VALUES = 268470408;
constexpr std::uint32_t CODE_ADMIN_IDENTIFIER = 268470409;
constexpr std::uint32_t CODE_ADMIN_TEXT = 268470416;
constexpr std::uint32_t CODE_COMMAND_MESSAGE = 268470419;
constexpr std::uint32_t CODE_COMMAND_VALUES = 268470420;

/// A 16-byte identifier; byte 0 is the least significant when printed.
struct Identifier128 {
    std::uint8_t bytes[16];
};

/// A failure reported through Handler::on_error. The library never throws it.
///   code 2, "register failed."  the server refused to create the account
///   code 2, "register failed.\n<description>\nurl: <url>"
///                               the server redirects registration elsewhere
///   code 2, "register failed.\n already have such user with different password"
///                               the login was refused (wrong password)
///   code 2, "register failed.\n user name too long"
///                               the user name cannot be made into an address
/// Code 1 with the message "disconnected" is reserved.
class Error : public std::logic_error {
public:
    Error(const std::string& message, std::int32_t code) : std::logic_error(message), code(code) {}
    std::int32_t code;
};

/// Why the most recent connection ended (Velta_Manager::get_last_end()).
/// The numbers are a stable contract: each keeps its meaning in every later
/// version, and new causes are only added after the last one.
enum End_Cause : std::int32_t {
    END_NONE = 0,                   ///< no connection has ended yet
    END_LOGGED_OUT = 1,             ///< logout()
    END_REFUSED = 2,                ///< every address tried refused the TCP connection: nothing listens
    END_UNREACHABLE = 3,            ///< the TCP connection failed otherwise (no route, network down)
    END_DEADLINE = 4,               ///< the server had not answered within 15 seconds of the Clock
    END_NO_ADDRESS = 5,             ///< the server string gives no address (empty, malformed, no such name)
    END_STARTTLS = 6,               ///< the server offers STARTTLS; the library never uses TLS
    END_STREAM_ERROR = 7,           ///< the server ended the stream with an error (its condition in the text)
    END_CLOSED_BY_SERVER = 8,       ///< the server ended the stream or closed the connection
    END_DEAD_LINK = 9,              ///< the link broke, or more than 100 keep-alive probes went unanswered
    END_AUTHENTICATION_FAILED = 10, ///< the login was refused, or no login mechanism could be used
    END_REGISTRATION_REFUSED = 11,  ///< the account could not be created ("register failed.")
    END_BINDING_REFUSED = 12,       ///< the server refused to bind the login to a resource
    END_PROTOCOL = 13,              ///< the server broke the protocol or one of the library's bounds
    END_USER_NAME = 14              ///< the user name cannot become an address
};

/// The cause of an end and a short text: the endpoint and what happened,
/// for a log or a player's message ("127.0.0.1:5222: nothing listens").
/// The cause is for programs; the text may change between versions.
struct Connection_End {
    End_Cause cause = END_NONE;
    wide_string text;
};

/// The host's clock: whole seconds since 1970-01-01 00:00:00 UTC.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int32_t now() = 0;
};

/// The host's callbacks. Every call is made from inside Velta_Manager::poll(),
/// in the order the events arose. The references passed are valid only during
/// the call: copy what you keep. A Handler operation may call the manager's
/// operations except poll() (which then returns at once) and must not destroy
/// the manager. An exception thrown by an operation leaves poll(); that call
/// is not repeated and the events behind it are delivered by the next poll().
/// No other exception leaves poll(): a failure inside the library or gloox
/// ends that connection with on_disconnected().
///
/// `time` is seconds since 1970-01-01 00:00:00 UTC. In on_message() it is the
/// message's delivery stamp when the server delayed it (and the stamp can be
/// read), otherwise the Clock's now(); in every service reply it is the
/// Clock's now() when the reply is read. `name` is the user name of the
/// requester a service reply is about. A received text that is not valid
/// UTF-8 drops that one call.
class Handler {
public:
    /// A reply of the admin service to send_admin_values().
    virtual void on_admin_values(const wide_string& name, const wide_string& text, std::int32_t time) = 0;
    /// A chat message from user `from` (your own sends come back as well).
    virtual void on_message(const wide_string& from, const wide_string& body, std::int32_t time) = 0;
    /// A reply to send_admin_identifier(): `field` holds the reply's counted
    /// bytes followed by one NUL character.
    virtual void on_admin_identifier(const wide_string& name, const wide_string& field, const wide_string& text,
                                     std::int32_t time) = 0;
    /// Registration or login failed (see Error for the messages); the
    /// manager goes back to idle, except after "register failed." alone.
    /// Velta_Manager::get_last_end() says why.
    virtual void on_error(const Error& error) = 0;
    /// The connection ended or could not be opened; Velta_Manager::
    /// get_last_end() says why. Also repeated at every poll() while a login
    /// was lost without logout() (until the next login completes), and while
    /// more than 100 keep-alive probes are unanswered (still connected).
    virtual void on_disconnected() = 0;
    /// The login completed: the send operations work from now on.
    virtual void on_connected() = 0;
    /// The server stored the message sent with send_message(`id`, `userid`)
    /// for later delivery: the addressee was offline.
    virtual void on_message_stored(std::uint32_t id, const wide_string& userid) = 0;
    /// A reply of the admin service to send_admin_text().
    virtual void on_admin_text(const wide_string& name, const wide_string& text, std::int32_t time) = 0;
    /// A reply of the command service to send_command_values().
    virtual void on_command_values(const wide_string& name, const wide_string& text, std::int32_t time,
                                   std::uint32_t reserve) = 0;
    /// A reply of the command service to send_command_message(); `code` is
    /// always CODE_COMMAND_MESSAGE.
    virtual void on_command_message(std::uint32_t code, const wide_string& name, const wide_string& text,
                                    std::int32_t time, std::uint32_t reserve) = 0;
    virtual ~Handler() = default;
};

/// A Handler whose ten operations do nothing: derive from it and override
/// only the callbacks you use (a chat-only host leaves the six service
/// replies alone).
class Default_Handler : public Handler {
public:
    void on_admin_values(const wide_string&, const wide_string&, std::int32_t) override {}
    void on_message(const wide_string&, const wide_string&, std::int32_t) override {}
    void on_admin_identifier(const wide_string&, const wide_string&, const wide_string&, std::int32_t) override {}
    void on_error(const Error&) override {}
    void on_disconnected() override {}
    void on_connected() override {}
    void on_message_stored(std::uint32_t, const wide_string&) override {}
    void on_admin_text(const wide_string&, const wide_string&, std::int32_t) override {}
    void on_command_values(const wide_string&, const wide_string&, std::int32_t, std::uint32_t) override {}
    void on_command_message(std::uint32_t, const wide_string&, const wide_string&, std::int32_t,
                            std::uint32_t) override {}
};

/// One account's connection. Operations that do not apply in the current state
/// return at once and report nothing; get_state() is the way to ask. Use one
/// manager from one thread at a time.
///
/// The send operations act only in STATE_CONNECTED. They never block: what the
/// socket does not take at once waits in a buffer of 16 MiB that poll() drains;
/// a full buffer counts as a lost connection. Texts may hold any UTF-16;
/// characters XML cannot carry (controls other than tab and line breaks,
/// U+FFFE, U+FFFF) go out as U+FFFD. A user name whose address form would
/// pass 99 characters cannot be addressed: nothing is sent.
class Velta_Manager {
public:
    /// One of the STATE_ values.
    virtual int get_state() = 0;
    virtual ~Velta_Manager() {}
    /// Connected: ends the connection. on_disconnected at the next poll().
    virtual void logout() = 0;
    /// Idle: registers the account if needed, then logs in (on_connected or
    /// on_error follow from poll()). Never waits for the network: the lookup
    /// and the TCP connection go on in later polls. What is known at once (an
    /// empty server string, one that cannot be an address, a local address
    /// where nothing listens) leaves STATE_RESETTING, and the next poll()
    /// delivers on_disconnected.
    ///
    /// Time bounds (while the host polls) and what the host sees:
    ///   250 ms  library's own clock: a server address whose connect has not
    ///           completed no longer holds back the next one (at most 8 open;
    ///           a refusal moves on at once). Nothing; a target that is down
    ///           costs this, not the deadline.
    ///   15 s    the Clock, counted from start() until the account is known
    ///           to exist, then from the login step until on_connected (DNS,
    ///           connect, stream, registration fields, account creation, a
    ///           refused registration, SASL, binding): past it
    ///           on_disconnected, then STATE_IDLE. Never cuts a completed
    ///           login; a Clock set back counts again from its new reading.
    ///   45 s    real time, connected: a link lost without a word (no FIN, no
    ///           RST; kernel keep-alive and a 30 s TCP user time-out) ends:
    ///           on_disconnected, then STATE_IDLE.
    ///   2 s, 4 s real time: a DNS query's two tries (per server in
    ///           resolv.conf); the 15 s bound ends the wait when it comes first.
    ///   11 s    the Clock, connected: a keep-alive probe; more than 100
    ///           unanswered: on_disconnected at every poll(), connection kept.
    virtual void start() = 0;
    /// Chat message to `user`; a copy goes to your own address first. The
    /// server is asked to report storing it for an offline user
    /// (on_message_stored with `message_id`). Nothing is sent for an empty text.
    virtual void send_message(std::uint32_t message_id, const wide_string& user, const wide_string& text) = 0;
    /// Request CODE_ADMIN_VALUES with `count` numbers (not read when 0).
    virtual void send_admin_values(const std::uint32_t* values, std::uint32_t count, const wide_string& text) = 0;
    /// Request CODE_ADMIN_IDENTIFIER with a 16-byte identifier.
    virtual void send_admin_identifier(const Identifier128& identifier, const wide_string& text) = 0;
    /// Request CODE_ADMIN_TEXT.
    virtual void send_admin_text(const wide_string& text) = 0;
    /// Request CODE_COMMAND_MESSAGE about `user`; `reserve` comes back with the reply.
    virtual void send_command_message(std::uint32_t message_id, const wide_string& user, const wide_string& text,
                                      std::uint32_t reserve) = 0;
    /// Request CODE_COMMAND_VALUES; `reserve` comes back with the reply.
    virtual void send_command_values(const std::uint32_t* values, std::uint32_t count, const wide_string& text,
                                     std::uint32_t reserve) = 0;
    /// Reads the network without waiting, keeps the connection alive (an
    /// empty message to yourself whenever the Clock moved more than 10 s
    /// since the last) and delivers every pending event to the Handler. Call
    /// it every frame; an idle manager returns at once. The login's SCRAM
    /// proof is computed in slices of at most 0.5 ms of processor time, one
    /// per poll() (the server's iteration count sets how many), and a later
    /// login to a server that keeps its salt and count reuses its keys.
    virtual void poll() = 0;
    /// Why the most recent connection ended: set when the on_disconnected()
    /// or on_error() that reports an end is queued, and kept until another
    /// connection ends (a start() does not clear it), so that the repeated
    /// on_disconnected() of a lost login still reads the loss. While more
    /// than 100 probes are unanswered it reads END_DEAD_LINK although the
    /// connection stays open. END_NONE before the first end. Added after
    /// poll(): hosts built against a header without it keep working.
    virtual Connection_End get_last_end() = 0;
};

}  // namespace Velta_Client

/// Makes a manager in the idle state; opens no connection. clock and handler
/// are not owned and must outlive the manager; clock->now() is called once
/// here. server is where the XMPP server listens: an IPv4 or IPv6 address
/// (port 5222), or a host name, whose _xmpp-client._tcp SRV records are
/// followed (else the name itself on port 5222; /etc/hosts is read; the
/// name "localhost" never goes to DNS). user and password are the account's. Returns null if the manager cannot be made. Destroy it with
/// delete.
extern "C" VELTA_CLIENT_API Velta_Client::Velta_Manager* new_velta_manager(Velta_Client::Clock* clock,
                                                                           Velta_Client::Handler* handler,
                                                                           const Velta_Client::wide_string& server,
                                                                           const Velta_Client::wide_string& user,
                                                                           const Velta_Client::wide_string& password);

#endif
