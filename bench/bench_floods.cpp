// SPDX-License-Identifier: GPL-3.0-or-later
// Floods from a hostile server: the longest poll, by this thread's processor
// time, while one kind of flood arrives. The server is the tests' scripted
// peer: it logs the client in, writes the flood, then ends the stream and
// closes the connection, so that a run ends when the client has read
// everything (or given the connection up).
// Library: a logged-in manager, polled until on_disconnected. Raw gloox: a
// logged-in client (raw/raw_client.hpp), recv(0) until onDisconnect.
// Kinds:
//   messages    100,000 <message/>
//   requests    100,000 iq requests (every one answered with an error)
//   attributes  one message with 100,000 attributes
//   body        one message with a body of 50 MB
//   reference   "&" followed by 8 MB without ";"
// and the worst shapes inside the library's element bounds (each 300 times,
// back to back; the bounds as README states them):
//   deep        every stanza nested to the depth bound, text at each level
//   deep_text   the depth bound, one text of nearly the byte bound innermost
//   wide        the node bound in empty sibling elements
//   many_attributes  the node bound in attributes of one element
//   namespaces  the node bound in namespace declarations of one element
//   entities    a body of character references up to the byte bound
//   gt          a body of '>' up to the byte bound
//   amp         a body of "&amp;" up to the byte bound
//   deep_wide   the node bound in elements, each branch to the depth bound
//   iq_gt, iq_quote, presence_amp   an iq request of '>' text, of "'" text
//               (each weighs six bytes outside messages) and a presence of
//               "&amp;"
//   iq_deep_wide, presence_deep_wide   the same in an iq request (gloox
//               answers each with an error) and in a presence: stanzas the
//               library leaves to gloox's own handling
// Usage: velta_bench_floods [kind ...]   (all kinds by default)
#include "peer/scripted_peer.hpp"
#include "raw/raw_client.hpp"
#include "support/bench_support.hpp"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using namespace velta_bench;

namespace {

const auto run_limit = std::chrono::seconds(180);

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

double thread_cpu_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The library's bounds on one stanza (README): levels of nesting, bytes, and
// elements and attributes together.
constexpr int bound_depth = 16;
constexpr std::size_t bound_bytes = 64 * 1024;
constexpr int bound_nodes = 1024;
constexpr int shapes_sent = 300;

const std::string head = "<message from='a@localhost/r' to='flood@localhost' type='chat'>";
const std::string tail = "</message>";

// Text that fills the stanza to the byte bound, made of unit.
std::string fill(std::size_t used, const std::string& unit) {
    std::string out;
    while (used + out.size() + unit.size() + 64 < bound_bytes) out += unit;
    return out;
}

std::string shape(const std::string& kind) {
    if (kind == "deep") {
        // One level is the message itself; each level below holds text.
        std::string open, close;
        for (int level = 1; level < bound_depth; ++level) {
            open += "<d>";
            close = "</d>" + close;
        }
        const std::size_t per_level = (bound_bytes - head.size() - tail.size() - open.size() * 2 - 64) / bound_depth;
        const std::string text(per_level, 'x');
        std::string out = head + text;
        for (int level = 1; level < bound_depth; ++level) out += "<d>" + text;
        for (int level = 1; level < bound_depth; ++level) out += "</d>";
        return out + tail;
    }
    if (kind == "deep_text") {
        std::string open, close;
        for (int level = 1; level < bound_depth; ++level) {
            open += "<d>";
            close += "</d>";
        }
        const std::size_t used = head.size() + open.size() + close.size() + tail.size();
        return head + open + fill(used, "x") + close + tail;
    }
    if (kind == "wide") {
        std::string out = head;
        for (int i = 1; i < bound_nodes - 8; ++i) out += "<e/>";
        return out + "<body>" + fill(out.size(), "x") + "</body>" + tail;
    }
    if (kind == "many_attributes") {
        std::string out = "<message from='a@localhost/r' type='chat'";
        for (int i = 0; i < bound_nodes - 8; ++i) out += " a" + std::to_string(i) + "='x'";
        out += "><body>";
        return out + fill(out.size(), "y") + "</body>" + tail;
    }
    if (kind == "namespaces") {
        std::string out = "<message from='a@localhost/r' type='chat'";
        for (int i = 0; i < bound_nodes - 8; ++i) out += " xmlns:p" + std::to_string(i) + "='urn:x:" + std::to_string(i) + "'";
        out += "><body>";
        return out + fill(out.size(), "y") + "</body>" + tail;
    }
    if (kind == "entities") return head + "<body>" + fill(head.size(), "&#x41;&lt;&gt;&quot;") + "</body>" + tail;
    if (kind == "gt") return head + "<body>" + fill(head.size(), ">") + "</body>" + tail;
    if (kind == "iq_gt" || kind == "iq_quote" || kind == "presence_amp") {
        // Text gloox escapes again when it serialises the element for its log.
        const std::string open = kind != "presence_amp" ? "<iq type='get' id='q' from='localhost'><q xmlns='x:y'>"
                                                 : "<presence from='a@localhost/r'><status>";
        const std::string close = kind != "presence_amp" ? "</q></iq>" : "</status></presence>";
        if (kind == "presence_amp") return open + fill(open.size(), "&amp;") + close;
        // Outside messages each '>' or quote weighs six bytes against the bound.
        return open + std::string(bound_bytes / 6 - 64, kind == "iq_gt" ? '>' : '\'') + close;
    }
    if (kind == "amp") return head + "<body>" + fill(head.size(), "&amp;") + "</body>" + tail;
    if (kind == "deep_wide" || kind == "iq_deep_wide" || kind == "presence_deep_wide") {
        // Branches nested to the depth bound until the node bound is spent.
        std::string branch, close;
        for (int level = 2; level <= bound_depth; ++level) {
            branch += "<d>";
            close += "</d>";
        }
        const bool iq = kind == "iq_deep_wide";
        const bool presence = kind == "presence_deep_wide";
        std::string out = iq ? "<iq type='get' id='q' from='localhost'>" : presence ? "<presence from='a@localhost/r'>" : head;
        for (int nodes = 1; nodes + bound_depth - 1 <= bound_nodes - 8; nodes += bound_depth - 1) out += branch + close;
        const std::string end = iq ? "</iq>" : presence ? "</presence>" : tail;
        return out + "<status>" + fill(out.size(), "x") + "</status>" + end;
    }
    return {};
}

std::string flood(const std::string& kind) {
    std::string out;
    if (const std::string one = shape(kind); !one.empty()) {
        for (int i = 0; i < shapes_sent; ++i) out += one;
    } else if (kind == "messages") {
        for (int i = 0; i < 100000; ++i) out += "<message/>";
    } else if (kind == "requests") {
        for (int i = 0; i < 100000; ++i)
            out += "<iq type='get' id='q" + std::to_string(i) + "' from='localhost'><query xmlns='x:unknown'/></iq>";
    } else if (kind == "attributes") {
        out = "<message from='a@localhost/r' type='chat'";
        for (int i = 0; i < 100000; ++i) out += " a" + std::to_string(i) + "='x'";
        out += "><body>hi</body></message>";
    } else if (kind == "body") {
        out = "<message from='a@localhost/r' type='chat'><body>" + std::string(50 * 1000 * 1000, 'x') +
              "</body></message>";
    } else if (kind == "reference") {
        out = "<message from='a@localhost/r' type='chat'><body>&" + std::string(8 * 1000 * 1000, 'x');
    } else {
        fail("unknown kind " + kind);
    }
    return out;
}

struct Run {
    double longest_ms = 0;
    double total_ms = 0;
    long polls = 0;
};

// Writes the flood, ends the stream, and calls step() (timed) until done().
template <class Step, class Done>
Run drive(velta_test::Scripted_Peer& peer, const std::string& xml, Step step, Done done) {
    peer.send_raw(xml);
    peer.close_connection(true);
    Run run;
    const auto deadline = Steady::now() + run_limit;
    while (!done()) {
        if (Steady::now() > deadline) fail("the flood was not read within the limit");
        const double before = thread_cpu_ms();
        step();
        const double spent = thread_cpu_ms() - before;
        run.longest_ms = std::max(run.longest_ms, spent);
        run.total_ms += spent;
        ++run.polls;
    }
    return run;
}

void report(const std::string& key, const Run& run) {
    result(key + "_longest_ms", run.longest_ms);
    result(key + "_total_ms", run.total_ms);
    result(key + "_polls", static_cast<double>(run.polls));
    std::printf("%-28s longest poll %9.3f ms   processor time %10.1f ms   polls %8ld\n", key.c_str(), run.longest_ms,
                run.total_ms, run.polls);
    std::fflush(stdout);
}

void measure(const std::string& kind) {
    const std::string xml = flood(kind);
    {
        velta_test::Scripted_Peer peer;
        peer.set_auth_mode(velta_test::Auth_Mode::always_succeed);
        Library_Host host(peer.address(), "flood");
        if (!host.log_in()) fail("the library did not log in");
        const long before = host.handler.disconnected;
        report("floods_" + kind + "_library",
               drive(peer, xml, [&] { host.manager->poll(); }, [&] { return host.handler.disconnected > before; }));
    }
    {
        velta_test::Scripted_Peer peer;
        peer.set_auth_mode(velta_test::Auth_Mode::always_succeed);
        const std::string node = node_of("flood");
        if (!raw_register(peer.address(), node)) fail("no raw registration");
        Raw_Client raw(peer.address(), node);
        if (!raw.log_in()) fail("the raw client did not log in");
        report("floods_" + kind + "_raw", drive(peer, xml, [&] { raw.client.recv(0); }, [&] { return raw.disconnected; }));
    }
}

}  // namespace

int run(int argc, char** argv) {
    std::vector<std::string> kinds(argv + 1, argv + argc);
    if (kinds.empty())
        kinds = {"messages", "requests", "attributes", "body", "reference", "deep", "deep_text", "wide",
                 "many_attributes", "namespaces", "entities", "gt", "amp", "deep_wide", "iq_deep_wide",
                 "presence_deep_wide", "iq_gt", "iq_quote", "presence_amp"};
    for (const std::string& kind : kinds) measure(kind);
    return 0;
}

int main(int argc, char** argv) { return velta_bench::run_reporting_errors(argc, argv, run); }
