// SPDX-License-Identifier: GPL-3.0-or-later
// The receive path: whatever a server writes into a logged-in session, the
// host's poll() returns normally, and the manager is left either connected
// and still reading the stream, or idle after telling the host the link was
// lost, ready for a start() that logs in again.
//
// Most byte-level mutations of XML are not XML, and end the session at the
// first bad byte: the same short path every time, and a new login after it.
// So most mutations keep the stream well-formed: most change only the text of
// one element or the value of one attribute (escaped), one in six puts a
// whole element the library reads after the end of some tag, and one in
// sixteen is libFuzzer's own (an input takes up to five mutations in a row).
//
// One logged-in manager serves every input. When an input leaves the XML
// stream inside an element (a parser of its own tells), the session is ended
// and a new one logged in, so that every input meets the same clean stream.
// Inputs that cost a login are run, checked, and left out of the corpus.
// Every sixteenth input is followed by a chat message that must reach the
// host whole: the manager still reads the stream.
#include "memory_session.hpp"

#include "manager/manager.hpp"

#include <gloox/parser.h>
#include <gloox/tag.h>
#include <gloox/taghandler.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

using velta_fuzz::Memory_Session;
using namespace Velta_Client;

namespace {

Memory_Session* session = nullptr;

// How often inputs cost a new login, printed at exit: it bounds the speed.
long inputs = 0, lost_sessions = 0, resynchronised = 0;

void print_counts() {
    std::fprintf(stderr, "receive fuzzer: %ld inputs, %ld ended the session, %ld left the stream out of step\n",
                 inputs, lost_sessions, resynchronised);
}

const std::string marker =
    "<message type='chat' from='_ym9i@localhost/marker' id='marker'><body>end of input</body></message>";

// Whether bytes leave a stream at its top level: what follows them would be
// read as a stanza of its own.
class Stream_Level final : public gloox::TagHandler {
public:
    bool after(const std::string& bytes) {
        gloox::Parser parser(this);
        // gloox's parser refuses text straight after the stream header but
        // not after a stanza, and the client has read stanzas by now.
        std::string text =
            "<stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams'><iq/>" + bytes +
            "<top-level-probe/>";
        last_.clear();
        return parser.feed(text) < 0 && last_ == "top-level-probe";
    }

private:
    void handleTag(gloox::Tag* tag) override { last_ = tag ? tag->name() : std::string(); }  // null: the stream's end
    std::string last_;
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "receive fuzzer: %s (state %d, last error \"%s\")\n", what, session->manager().get_state(),
                 session->handler.last_error.c_str());
    std::abort();
}

void poll() {
    try {
        session->manager().poll();
    } catch (...) {
        fail("an exception left poll()");
    }
}

void log_in() {
    session->handler.clear();
    if (!session->log_in()) fail("a new start() did not log in");
    // After a lost session the host hears on_disconnected at every poll
    // until the login completes; nothing else but the one on_connected.
    const velta_fuzz::Counting_Handler& heard = session->handler;
    if (heard.connected != 1 || heard.calls != heard.connected + heard.disconnected)
        fail("the login was not heard as one on_connected");
    session->handler.clear();
}

// The session is no use for the next input: end it as a host would.
void log_out() {
    session->manager().logout();
    poll();
    if (session->manager().get_state() != STATE_IDLE) fail("logout() did not end in idle");
}

// Where character data and attribute values lie: [first, last) and the
// quote around the value (0 for character data).
struct Span {
    std::size_t first, last;
    char quote;
};

std::vector<Span> value_spans(const std::uint8_t* data, std::size_t size) {
    std::vector<Span> spans;
    bool in_tag = false;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (quote) {
            if (c == quote) {
                spans.push_back({start, i, quote});
                quote = 0;
            }
        } else if (in_tag) {
            if (c == '\'' || c == '"') {
                quote = c;
                start = i + 1;
            } else if (c == '>') {
                in_tag = false;
                start = i + 1;
            }
        } else if (c == '<') {
            spans.push_back({start, i, 0});
            in_tag = true;
        }
    }
    if (!in_tag && !quote) spans.push_back({start, size, 0});
    return spans;
}

std::string escaped(const std::string& value, char quote) {
    std::string out;
    for (const char c : value) {
        if (c == '<')
            out += "&lt;";
        else if (c == '&')
            out += "&amp;";
        else if (quote && c == quote)
            out += quote == '\'' ? "&apos;" : "&quot;";
        else
            out += c;
    }
    return out;
}

// Whole elements, each well-formed on its own.
const char* const elements[] = {
    "<message type='chat' from='_ym9i@localhost/r'><body>hi</body></message>",
    "<message type='error' id='7' from='_ym9i@localhost'><error type='cancel'>"
    "<service-unavailable xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error></message>",
    "<message from='admin@localhost'><body>268470409 _ym9i@localhost 4 abcd text</body></message>",
    "<message from='cmdadmin@localhost' id='3'><body>268470419 _ym9i@localhost t</body></message>",
    "<body>text</body>",
    "<amp xmlns='http://jabber.org/protocol/amp'><rule condition='deliver' value='stored' action='notify' "
    "userid='u'/></amp>",
    "<amp xmlns='http://jabber.org/protocol/amp'><rule reserve='5'/></amp>",
    "<rule condition='deliver' value='stored' action='notify' userid='u' reserve='1'/>",
    "<delay xmlns='urn:xmpp:delay' stamp='2008-01-15T10:20:30Z'/>",
    "<x xmlns='jabber:x:delay' stamp='20080115T10:20:30'/>",
    "<error type='cancel'><item-not-found xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/><a/><b/></error>",
    "<subject>s</subject>",
    "<thread>t</thread>",
    "<presence from='_ym9i@localhost/r'/>",
    "<iq type='get' id='i1' from='localhost'><ping xmlns='urn:xmpp:ping'/></iq>",
};

}  // namespace

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                              unsigned int seed) {
    std::minstd_rand random(seed);
    const std::vector<Span> spans = value_spans(data, size);
    const unsigned choice = random() % 48;
    if (spans.empty() || choice < 3) return LLVMFuzzerMutate(data, size, max_size);
    if (choice < 11) {
        // After a tag's end (the start of a text span) or at the very start.
        const std::size_t at = random() % 2 ? spans[random() % spans.size()].first : 0;
        const std::string element = elements[random() % (sizeof elements / sizeof *elements)];
        if (size + element.size() > max_size || (at > 0 && data[at - 1] != '>'))
            return LLVMFuzzerMutate(data, size, max_size);
        std::memmove(data + at + element.size(), data + at, size - at);
        std::memcpy(data + at, element.data(), element.size());
        return size + element.size();
    }

    const Span span = spans[random() % spans.size()];
    std::string value(reinterpret_cast<const char*>(data) + span.first, span.last - span.first);
    const std::size_t length = value.size();
    value.resize(length + 64);
    value.resize(LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(&value[0]), length, value.size()));

    std::string mutated(reinterpret_cast<const char*>(data), span.first);
    mutated += escaped(value, span.quote);
    mutated.append(reinterpret_cast<const char*>(data) + span.last, size - span.last);
    if (mutated.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
    std::memcpy(data, mutated.data(), mutated.size());
    return mutated.size();
}

// gloox allocates a great deal per stanza. ASan's quarantine hands back
// memory that has long left the cache, and recording each allocation's stack
// costs as much again: without the one and with two frames of the other the
// target runs about twice as fast. Freed memory stays poisoned until it is
// handed out again, which still catches the use of an object right after it
// is destroyed (a gloox client deleted inside its own callback, say), and the
// stack of the faulty access is reported whole. To replay a finding with
// everything: ASAN_OPTIONS=quarantine_size_mb=256:malloc_context_size=30.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=0:malloc_context_size=2"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    session = new Memory_Session();
    log_in();
    std::atexit(print_counts);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& manager = session->manager();
    auto& heard = session->handler;
    if (manager.get_state() != STATE_CONNECTED) log_in();
    heard.clear();
    ++inputs;

    session->server_writes(std::string(reinterpret_cast<const char*>(data), size));
    poll();
    if (heard.connected != 0) fail("on_connected while already connected");

    int state = manager.get_state();
    if (state == STATE_IDLE) ++lost_sessions;
    if (state == STATE_CONNECTED) {
        if (!session->connection_open()) fail("connected without an open connection");
        // The clock stands still: no probe goes out, none can go unanswered.
        if (heard.disconnected != 0) fail("on_disconnected while the session goes on");
        static Stream_Level stream_level;
        if (!stream_level.after(std::string(reinterpret_cast<const char*>(data), size))) {
            ++resynchronised;
            log_out();
            state = manager.get_state();
        } else if (inputs % 16 == 0) {
            const long before = heard.messages;
            session->server_writes(marker);
            poll();
            state = manager.get_state();
            const bool marker_heard = heard.messages == before + 1 && heard.last_from == u"bob" &&
                                      heard.last_body == u"end of input" && heard.last_time == session->clock.time;
            if (state == STATE_CONNECTED && !marker_heard) fail("a chat message after the input did not arrive");
        }
    }

    if (state == STATE_IDLE) {
        // A lost session is the host's to hear, as a lost link and nothing else.
        if (heard.disconnected == 0) fail("the session ended without on_disconnected");
        if (heard.errors != 0) fail("a lost session was reported as an error");
        // The next input logs in again. Such inputs are not kept to mutate
        // further: most of their offspring would end the session too, and
        // the login costs as much as several stanzas.
        return -1;
    }
    if (state != STATE_CONNECTED) fail("poll() left the manager between states");
    return 0;
}
