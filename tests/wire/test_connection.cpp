// SPDX-License-Identifier: GPL-3.0-or-later
// The connected life of a manager: keep-alive probes, the dead-link notice,
// losing the connection, logging out, and hosts with many open files.
#include "wire/wire_host.hpp"

#include <gtest/gtest.h>

#include <gloox/tag.h>

#include <algorithm>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace velta_test;
using namespace Velta_Client;
using Strings = std::vector<std::string>;

namespace {

std::vector<Recorded> probes(Wire_Host& host) {
    std::vector<Recorded> out;
    for (const auto& message : host.sent_messages())
        if (!message.has_child("body")) out.push_back(message);
    return out;
}

// One poll per simulated second, as a host whose frame reads the clock.
void tick(Wire_Host& host, int seconds) {
    for (int i = 0; i < seconds; ++i) {
        ++host.clock.time;
        host.manager->poll();
    }
}

}  // namespace

TEST(Connection, the_first_probe_goes_out_eleven_seconds_after_the_last) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.peer.clear_recorded();
    tick(host, 10);
    host.poll_for(50ms);
    EXPECT_TRUE(probes(host).empty());

    tick(host, 1);  // now - last probe time = 11
    ASSERT_TRUE(host.peer.wait_for([&] { return probes(host).size() == 1; }, 2s));
    const Recorded probe = probes(host)[0];
    EXPECT_EQ(probe.attribute("type"), "chat");
    EXPECT_EQ(probe.attribute("to"), host.peer.bound_jid());
    EXPECT_FALSE(probe.has_attribute("id"));
    EXPECT_TRUE(probe.tag->children().empty());

    tick(host, 10);
    host.poll_for(50ms);
    EXPECT_EQ(probes(host).size(), 1u);
    tick(host, 1);
    ASSERT_TRUE(host.peer.wait_for([&] { return probes(host).size() == 2; }, 2s));
    host.poll_for(50ms);
    EXPECT_TRUE(host.handler.events.empty());  // echoes are not events
}

TEST(Connection, unanswered_probes_past_one_hundred_mean_a_dead_link_until_the_next_login) {
    Wire_Host host;
    host.peer.set_echo(false);
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    for (int probe = 1; probe <= 100; ++probe) tick(host, 11);
    EXPECT_TRUE(host.handler.take().empty());

    tick(host, 11);  // the 101st probe
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(host.manager->get_last_end().cause, Velta_Client::END_DEAD_LINK);
    tick(host, 3);  // every poll while it lasts; the connection stays
    EXPECT_EQ(host.handler.take().size(), 3u);
    EXPECT_EQ(host.state(), STATE_CONNECTED);

    // Two empty messages from anyone count as echoes: back to 99.
    host.inject("<message type='chat' from='x@localhost/r'/><message type='chat' from='y@localhost/r'/>", 0);
    host.handler.take();
    host.manager->poll();
    EXPECT_TRUE(host.handler.take().empty());

    host.manager->logout();
    host.manager->poll();
    host.handler.take();
    host.peer.set_echo(true);
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    tick(host, 11);
    host.poll_for(100ms);
    EXPECT_TRUE(host.handler.events.empty());  // a new login starts counting afresh
}

TEST(Connection, logout_gives_one_disconnect_then_idle) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.manager->logout();
    EXPECT_EQ(host.state(), STATE_RESETTING);
    host.manager->logout();
    host.manager->poll();
    EXPECT_EQ(host.state(), STATE_IDLE);
    host.poll_for(100ms);
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    ASSERT_TRUE(host.peer.wait_for(
        [&] {
            for (const auto& s : host.peer.stanzas())
                if (s.name == "/stream:stream") return true;
            return false;
        },
        2s));
}

TEST(Connection, a_server_that_closes_the_connection_is_heard_until_the_next_login) {
    for (const bool reset : {false, true}) {
        Wire_Host host;
        ASSERT_TRUE(host.log_in());
        host.handler.take();
        if (reset)
            host.peer.reset_connection();
        else
            host.peer.close_connection();
        ASSERT_TRUE(host.poll_until([&] { return !host.handler.events.empty(); }));
        EXPECT_EQ(host.handler.take(), (Strings{"on_disconnected()", "on_disconnected()"})) << reset;
        EXPECT_EQ(host.state(), STATE_IDLE);
        host.manager->poll();
        host.manager->poll();
        EXPECT_EQ(host.handler.take().size(), 2u);

        host.manager->start();
        ASSERT_TRUE(host.poll_until([&] { return host.state() == STATE_CONNECTED; }));
        const Strings during = host.handler.take();
        ASSERT_FALSE(during.empty());
        EXPECT_EQ(during.back(), "on_connected()");
        EXPECT_EQ(std::count(during.begin(), during.end(), "on_disconnected()"), static_cast<long>(during.size() - 1));
        host.poll_for(50ms);
        EXPECT_TRUE(host.handler.events.empty());
    }
}

TEST(Connection, writing_to_a_closed_connection_neither_signals_nor_loses_the_disconnect) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.peer.reset_connection();
    std::this_thread::sleep_for(50ms);
    // No poll in between: the sends meet the dead socket first.
    for (int i = 0; i < 5; ++i) host.manager->send_message(static_cast<std::uint32_t>(i), u"alice", u"hello?");
    EXPECT_EQ(host.state(), STATE_RESETTING);
    host.manager->poll();
    EXPECT_EQ(host.state(), STATE_IDLE);
    const Strings heard = host.handler.take();
    ASSERT_GE(heard.size(), 1u);
    for (const auto& event : heard) EXPECT_EQ(event, "on_disconnected()");
}

TEST(Connection, a_host_with_more_than_1024_open_files_still_connects_and_chats) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
        limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> held;
    for (int i = 0; i < 1100; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY);
        if (fd < 0) break;
        held.push_back(fd);
    }
    if (held.size() < 1100 || held.back() < 1024) {
        for (int fd : held) ::close(fd);
        GTEST_SKIP() << "cannot hold 1100 descriptors here";
    }

    {
        Wire_Host host;
        ASSERT_TRUE(host.log_in());
        host.handler.take();
        host.manager->send_message(1, u"Bob", u"to myself");
        ASSERT_TRUE(host.poll_until([&] { return host.handler.count("on_message") >= 1; }));
        EXPECT_EQ(host.handler.events[0], "on_message(from=Bob, body=to myself, time=1000)");
    }
    for (int fd : held) ::close(fd);
}

TEST(Connection, a_login_connection_that_cannot_be_opened_ends_in_the_same_poll) {
    Wire_Host host;
    host.manager->start();
    ASSERT_TRUE(host.peer.wait_for([&] { return host.peer.connections_accepted() == 1; }, 2s));
    host.peer.stop_listening();  // registration goes on; the login cannot connect
    ASSERT_TRUE(host.poll_until([&] { return host.state() != STATE_REGISTERING; }));
    EXPECT_EQ(host.state(), STATE_IDLE);
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
}

namespace {

int open_descriptors() {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (::fcntl(fd, F_GETFD) != -1) ++count;
    return count;
}

}  // namespace

TEST(Connection, a_thousand_start_and_logout_cycles_leave_nothing_behind) {
    Wire_Host host;
    ASSERT_TRUE(host.log_in());
    host.handler.take();
    host.manager->logout();
    host.manager->poll();
    // The peer lives in this process too: count once it has closed its side.
    const auto peer_settled = [&] {
        return host.peer.wait_for([&] { return host.peer.current_connection() == 0; }, 2s);
    };
    ASSERT_TRUE(peer_settled());
    const int descriptors = open_descriptors();
    for (int cycle = 0; cycle < 1000; ++cycle) {
        ASSERT_TRUE(host.log_in()) << cycle;
        host.handler.take();
        host.manager->logout();
        host.manager->poll();
        ASSERT_EQ(host.state(), STATE_IDLE);
    }
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});  // the last logout's
    ASSERT_TRUE(peer_settled());
    EXPECT_EQ(open_descriptors(), descriptors);
}
