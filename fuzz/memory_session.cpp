// SPDX-License-Identifier: GPL-3.0-or-later
#include "memory_session.hpp"

#include "manager/manager.hpp"
#include "manager/xmpp/client_factory.hpp"
#include "manager/xmpp/stream_scanner.hpp"
#include "peer/core/xmpp_server.hpp"

#include <gloox/clientbase.h>
#include <gloox/connectionbase.h>
#include <gloox/tag.h>

#include <cstdio>
#include <cstdlib>

namespace velta_fuzz {

namespace {

const std::string ns_roster = "jabber:iq:roster";

// The full address the server binds; "_qm9i" is the node of "Bob".
const std::string bound_jid = "_qm9i@localhost/fuzz";

[[noreturn]] void broken_harness(const char* what) {
    std::fprintf(stderr, "memory session: %s\n", what);
    std::abort();
}

class Memory_Connection;
Memory_Connection* live_connection = nullptr;

// The client's side of a connection whose server is the tests' in-memory
// server, as one session of its own. Everything the server writes waits in
// inbound_ until the client reads.
class Memory_Connection final : public gloox::ConnectionBase {
public:
    explicit Memory_Connection(gloox::ConnectionDataHandler* handler)
        : gloox::ConnectionBase(handler),
          server_([this](int, const std::string& bytes) { inbound_ += bytes; },
                  [this](const velta_test::Recorded& element) { on_element(element); }) {
        // Any credentials log in; the registration finds the account there
        // already, which sends the manager straight on to the login.
        server_.script.auth_mode = velta_test::Auth_Mode::always_succeed;
        server_.script.registration_fields = "<registered/><username/><password/>";
        server_.script.bind_answer = "<jid>" + bound_jid + "</jid>";
        // A session request would cost every login another round trip.
        server_.script.offer_session = false;
        server_.open(session);
        live_connection = this;
    }
    ~Memory_Connection() override {
        if (live_connection == this) live_connection = nullptr;
    }

    gloox::ConnectionError connect() override {
        if (!m_handler) return gloox::ConnNotConnected;
        if (m_state == gloox::StateConnected) return gloox::ConnNoError;
        m_state = gloox::StateConnected;
        m_handler->handleConnect(this);
        return gloox::ConnNoError;
    }

    // All that waits, in pieces that end at a '>', and nothing more once the
    // client has closed the connection. gloox goes on reading what is left
    // of a read after it has disconnected, with its own stanza extensions
    // registered again (among them its error extension, which leaks); a
    // server does not write after it has ended the stream, and a socket
    // would often have split the bytes there anyway. The nesting guard
    // applies as the library's socket applies it, the server's stream end
    // included.
    gloox::ConnectionError recv(int) override {
        if (m_state != gloox::StateConnected) return gloox::ConnNotConnected;
        if (inbound_.empty()) return gloox::ConnNoError;
        std::string data;
        data.swap(inbound_);
        const std::size_t accepted = scanner_.accept(data.data(), data.size());
        std::size_t at = 0;
        while (at < accepted && m_state == gloox::StateConnected) {
            const std::size_t end = data.find('>', at);
            const std::size_t length = (end == std::string::npos || end >= accepted ? accepted : end + 1) - at;
            m_handler->handleReceivedData(this, data.substr(at, length));
            at += length;
        }
        if (scanner_.ended() && m_state == gloox::StateConnected) {
            const auto error = scanner_.stream_ended() ? gloox::ConnStreamClosed : gloox::ConnParseError;
            m_handler->handleDisconnect(this, error);
            return error;
        }
        return gloox::ConnNoError;
    }

    bool send(const std::string& data) override {
        if (m_state != gloox::StateConnected) return false;
        if (established_) return true;  // the login is over: the server reads and says nothing
        server_.receive(session, data.data(), data.size());
        return true;
    }

    gloox::ConnectionError receive() override { return gloox::ConnNotConnected; }  // the manager never blocks
    void disconnect() override { m_state = gloox::StateDisconnected; }
    void cleanup() override {
        m_state = gloox::StateDisconnected;
        inbound_.clear();
    }
    void getStatistics(long int& total_in, long int& total_out) override { total_in = total_out = 0; }
    gloox::ConnectionBase* newInstance() const override { return new Memory_Connection(m_handler); }

    void server_writes(const std::string& bytes) { inbound_ += bytes; }
    bool open() const { return m_state == gloox::StateConnected; }

private:
    static constexpr int session = 1;

    void on_element(const velta_test::Recorded& element) {
        if (element.name == "!not-well-formed") broken_harness("the client wrote something that is not XML");
        // The roster is the last answer gloox waits for before it says it
        // is connected; the server still answers this one.
        if (element.name == "iq" && element.attribute("type") == "get") {
            const gloox::TagList& children = element.tag->children();
            if (!children.empty() && children.front()->xmlns() == ns_roster) established_ = true;
        }
    }

    Velta_Client::detail::xmpp::Stream_Scanner scanner_;
    std::string inbound_;
    velta_test::Xmpp_Server server_;
    bool established_ = false;
};

gloox::ConnectionBase* make_memory_connection(gloox::ConnectionDataHandler* handler) {
    // The server never offers stream compression; without it gloox does not
    // set up zlib's buffers at every connect, which would cost most of the
    // time of a login here.
    if (auto* client = dynamic_cast<gloox::ClientBase*>(handler)) client->setCompression(false);
    return new Memory_Connection(handler);
}

bool session_exists = false;

}  // namespace

void Counting_Handler::on_command_message(std::uint32_t code, const Velta_Client::wide_string& from,
                                          const Velta_Client::wide_string& text, std::int32_t time,
                                          std::uint32_t id) {
    if (code != Velta_Client::CODE_COMMAND_MESSAGE) broken_harness("on_command_message with another code");
    velta_test::Counting_Handler::on_command_message(code, from, text, time, id);
}

Memory_Session::Memory_Session(const std::u16string& user, const std::u16string& password) {
    if (session_exists) broken_harness("two memory sessions at once");
    session_exists = true;
    Velta_Client::detail::xmpp::set_connection_maker(&make_memory_connection);
    manager_ = std::make_unique<Velta_Client::detail::Velta_Manager_Impl>(&clock, &handler, u"memory", user,
                                                                          password);
}

Memory_Session::~Memory_Session() {
    manager_.reset();
    Velta_Client::detail::xmpp::set_connection_maker(nullptr);
    session_exists = false;
}

bool Memory_Session::log_in(int max_polls) {
    manager_->start();
    for (int i = 0; i < max_polls; ++i) {
        manager_->poll();
        const int state = manager_->get_state();
        if (state == Velta_Client::STATE_CONNECTED) return true;
        if (state == Velta_Client::STATE_IDLE) return false;
    }
    return false;
}

void Memory_Session::server_writes(const std::string& bytes) {
    if (!live_connection) broken_harness("no connection to write to");
    live_connection->server_writes(bytes);
}

bool Memory_Session::connection_open() const { return live_connection && live_connection->open(); }

}  // namespace velta_fuzz
