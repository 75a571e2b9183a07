#include "memory_session.hpp"

#include "manager/manager.hpp"
#include "manager/xmpp/client_factory.hpp"
#include "manager/xmpp/nesting_guard.hpp"

#include <gloox/clientbase.h>
#include <gloox/connectionbase.h>
#include <gloox/parser.h>
#include <gloox/tag.h>
#include <gloox/taghandler.h>

#include <cstdio>
#include <cstdlib>

namespace velta_fuzz {

namespace {

const std::string ns_sasl = "urn:ietf:params:xml:ns:xmpp-sasl";
const std::string ns_bind = "urn:ietf:params:xml:ns:xmpp-bind";
const std::string ns_register = "jabber:iq:register";
const std::string ns_roster = "jabber:iq:roster";

// The full address the server binds; "_qm9i" is the node of "Bob".
const std::string bound_jid = "_qm9i@localhost/fuzz";

std::string attribute_text(const std::string& value) {
    std::string out;
    for (const char ch : value) {
        switch (ch) {
            case '\'': out += "&apos;"; break;
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            default: out += ch;
        }
    }
    return out;
}

[[noreturn]] void broken_harness(const char* what) {
    std::fprintf(stderr, "memory session: %s\n", what);
    std::abort();
}

class Memory_Connection;
Memory_Connection* live_connection = nullptr;

// The client's side of a connection whose server is the script below.
// Everything the server writes waits in inbound_ until the client reads.
class Memory_Connection final : public gloox::ConnectionBase, private gloox::TagHandler {
public:
    explicit Memory_Connection(gloox::ConnectionDataHandler* handler)
        : gloox::ConnectionBase(handler), parser_(this) {
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
        const std::size_t accepted = nesting_.accept(data.data(), data.size());
        std::size_t at = 0;
        while (at < accepted && m_state == gloox::StateConnected) {
            const std::size_t end = data.find('>', at);
            const std::size_t length = (end == std::string::npos || end >= accepted ? accepted : end + 1) - at;
            m_handler->handleReceivedData(this, data.substr(at, length));
            at += length;
        }
        if (nesting_.ended() && m_state == gloox::StateConnected) {
            const auto error = nesting_.stream_ended() ? gloox::ConnStreamClosed : gloox::ConnParseError;
            m_handler->handleDisconnect(this, error);
            return error;
        }
        return gloox::ConnNoError;
    }

    bool send(const std::string& data) override {
        if (m_state != gloox::StateConnected) return false;
        if (established_) return true;  // the script is over: the server reads and says nothing
        std::string copy(data);
        if (parser_.feed(copy) >= 0) broken_harness("the client wrote something that is not XML");
        // SASL success restarts the stream: the client's next bytes are a
        // new stream header, which the parser must see as a document start.
        if (restart_) {
            parser_.cleanup();
            restart_ = false;
        }
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
    void handleTag(gloox::Tag* tag) override {
        const std::string name = tag->prefix().empty() ? tag->name() : tag->prefix() + ":" + tag->name();
        if (name == "stream:stream") {
            ++streams_;
            inbound_ +=
                "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                "xmlns:stream='http://etherx.jabber.org/streams' id='memory-" +
                std::to_string(streams_) + "' from='localhost' version='1.0'><stream:features>";
            if (authenticated_)
                inbound_ += "<bind xmlns='" + ns_bind + "'/>";
            else
                inbound_ += "<mechanisms xmlns='" + ns_sasl +
                            "'><mechanism>PLAIN</mechanism></mechanisms>"
                            "<register xmlns='http://jabber.org/features/iq-register'/>";
            inbound_ += "</stream:features>";
        } else if (name == "auth") {
            authenticated_ = true;
            restart_ = true;
            inbound_ += "<success xmlns='" + ns_sasl + "'/>";
        } else if (name == "iq") {
            answer_iq(*tag);
        }
        // Presence and anything else: nothing to say.
    }

    void answer_iq(const gloox::Tag& iq) {
        const std::string type = iq.findAttribute("type");
        if (type != "get" && type != "set") return;
        const std::string head = "<iq type='result' id='" + attribute_text(iq.findAttribute("id")) + "'";
        const gloox::TagList& children = iq.children();
        const std::string ns = children.empty() ? std::string() : children.front()->xmlns();
        if (ns == ns_register && type == "get") {
            // "Already registered" sends the manager straight on to the login.
            inbound_ += head + "><query xmlns='" + ns_register + "'><registered/><username/><password/></query></iq>";
        } else if (ns == ns_bind) {
            inbound_ += head + "><bind xmlns='" + ns_bind + "'><jid>" + bound_jid + "</jid></bind></iq>";
        } else if (ns == ns_roster && type == "get") {
            inbound_ += head + "><query xmlns='" + ns_roster + "'/></iq>";
            // The roster is the last answer gloox waits for before it says
            // it is connected.
            established_ = true;
        } else {
            inbound_ += head + "/>";
        }
    }

    gloox::Parser parser_;
    Velta_Client::detail::xmpp::Nesting_Guard nesting_;
    std::string inbound_;
    int streams_ = 0;
    bool authenticated_ = false;
    bool restart_ = false;
    bool established_ = false;
};

gloox::ConnectionBase* make_memory_connection(gloox::ConnectionDataHandler* handler) {
    // The script never offers stream compression; without it gloox does not
    // set up zlib's buffers at every connect, which would cost most of the
    // time of a login here.
    if (auto* client = dynamic_cast<gloox::ClientBase*>(handler)) client->setCompression(false);
    return new Memory_Connection(handler);
}

bool session_exists = false;

}  // namespace

void Counting_Handler::on_message(const Velta_Client::wide_string& from, const Velta_Client::wide_string& body,
                                  std::int32_t time) {
    ++messages;
    ++calls;
    last_from = from;
    last_body = body;
    last_time = time;
}

void Counting_Handler::on_error(const Velta_Client::Error& error) {
    ++errors;
    ++calls;
    last_error = error.what();
}

void Counting_Handler::on_command_message(std::uint32_t code, const Velta_Client::wide_string&,
                                          const Velta_Client::wide_string&, std::int32_t, std::uint32_t) {
    if (code != Velta_Client::CODE_COMMAND_MESSAGE) broken_harness("on_command_message with another code");
    reply();
}

void Counting_Handler::clear() { *this = Counting_Handler(); }

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
