// SPDX-License-Identifier: GPL-3.0-or-later
// Faults of a real server at each stage of a session. Every case ends the
// same way: the host has heard what the contract promises, the manager is
// idle, and once the fault is gone a new start() reaches on_connected.
// (Killed while connected and then restarted: test_login.cpp. A server that
// stops reading while the host sends: test_frozen_server.cpp.)
#include "integration/prosody_fixture.hpp"
#include "support/polling.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

using namespace velta_test;
using Velta_Client::STATE_CONNECTED;
using Velta_Client::STATE_IDLE;
using Velta_Client::STATE_LOGGING_IN;
using Velta_Client::STATE_REGISTERING;
using Strings = std::vector<std::string>;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> out;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') out.push_back(entry->d_name);
        ::closedir(dir);
    }
    return out;
}

// The data folder of this process's Prosody: its child whose command line
// names a config file.
std::string prosody_data_folder() {
    for (const std::string& pid : entries("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::istringstream stat(read_file("/proc/" + pid + "/stat"));
        std::string field;
        for (int i = 0; i < 4 && stat >> field; ++i) {
        }
        if (field != std::to_string(::getpid())) continue;  // the fourth field is the parent
        std::string command = read_file("/proc/" + pid + "/cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        const std::size_t at = command.find("--config ");
        if (at == std::string::npos) continue;
        const std::string config = command.substr(at + 9, command.find(' ', at + 9) - at - 9);
        return config.substr(0, config.rfind('/')) + "/data";
    }
    return {};
}

std::size_t accounts_on_server() { return entries(prosody_data_folder() + "/localhost/accounts").size(); }

// This process's descriptor of its TCP connection to the server, or -1.
int connection_to_server() {
    in_addr server{};
    ::inet_pton(AF_INET, prosody().address().c_str(), &server);
    char remote[32];
    std::snprintf(remote, sizeof remote, "%08X:1466", server.s_addr);  // port 5222, as /proc/net/tcp shows it
    std::istringstream table(read_file("/proc/net/tcp"));
    std::string line;
    std::vector<std::string> inodes;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, peer, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> peer >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (peer == remote && state == "01") inodes.push_back("socket:[" + inode + "]");
    }
    for (const std::string& fd : entries("/proc/self/fd")) {
        char target[64] = {};
        if (::readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1) < 0) continue;
        if (std::find(inodes.begin(), inodes.end(), target) != inodes.end()) return std::stoi(fd);
    }
    return -1;
}

// Waits until the server has written something the manager has not read yet.
bool server_has_answered(std::chrono::milliseconds limit = 5s) {
    const int fd = connection_to_server();
    if (fd < 0) return false;
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(limit.count())) == 1;
}

// start() against a server that is gone: refused. The kernel answers a
// connect to a closed loopback port before the next poll, except on a
// machine so loaded that it defers that work: then a later poll hears it.
void expect_refused_start(Host& host) {
    host.handler.take();
    host.manager->start();
    host.manager->poll();
    poll_until(*host.manager, [&] { return host.manager->get_state() == STATE_IDLE; }, 2s);
    EXPECT_EQ(host.manager->get_state(), STATE_IDLE);
    const Strings heard = host.handler.take();
    ASSERT_FALSE(heard.empty());
    for (const std::string& event : heard) EXPECT_EQ(event, "on_disconnected()");
}

// After the fault: the server is back and the host logs in again.
void expect_login_after_restart(Host& host) {
    prosody().resume();
    if (!prosody().running()) prosody().start();
    host.handler.take();
    ASSERT_TRUE(host.log_in());
    poll_for(*host.manager, 50ms);
    const Strings heard = host.handler.take();
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), "on_connected()");
    EXPECT_EQ(host.manager->get_state(), STATE_CONNECTED);
}

}  // namespace

TEST(Prosody_Faults, server_killed_while_registering) {
    Prosody_Host host("ann", "pw");
    host.manager->start();
    ASSERT_EQ(host.manager->get_state(), STATE_REGISTERING);
    ASSERT_TRUE(server_has_answered());
    host.manager->poll();  // the stream's features: the fields are asked for
    ASSERT_EQ(host.manager->get_state(), STATE_REGISTERING);
    const std::string accounts = prosody_data_folder() + "/localhost/accounts";
    ASSERT_NE(accounts, "/localhost/accounts");

    prosody().kill_hard();
    ASSERT_TRUE(poll_until(*host.manager, [&] { return host.manager->get_state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});  // never logged in: heard once
    EXPECT_TRUE(entries(accounts).empty());
    expect_refused_start(host);
    expect_login_after_restart(host);
}

TEST(Prosody_Faults, server_killed_between_registration_and_login) {
    Prosody_Host host("ben", "pw");
    host.manager->start();
    // Step through the registration one poll at a time, until the answer
    // waiting is the one to the account creation. A poll may leave part of
    // what it read for the next one (its input budget, which a slow machine
    // or valgrind spends on one element): the server then has nothing new
    // to say, and the next poll goes on.
    const std::size_t before = accounts_on_server();
    for (int step = 0; step < 200 && accounts_on_server() == before; ++step) {
        ASSERT_EQ(host.manager->get_state(), STATE_REGISTERING);
        host.manager->poll();
        server_has_answered(250ms);
    }
    ASSERT_EQ(accounts_on_server(), before + 1);

    prosody().kill_hard();
    host.manager->poll();  // reads the result: the login cannot connect
    EXPECT_EQ(host.manager->get_state(), STATE_IDLE);
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    expect_refused_start(host);
    expect_login_after_restart(host);
}

TEST(Prosody_Faults, server_killed_while_logging_in) {
    Prosody_Host host("cid", "pw");
    host.manager->start();
    ASSERT_TRUE(poll_until(*host.manager, [&] { return host.manager->get_state() != STATE_REGISTERING; }));
    ASSERT_EQ(host.manager->get_state(), STATE_LOGGING_IN);
    ASSERT_TRUE(server_has_answered());
    host.manager->poll();  // into the authentication
    ASSERT_EQ(host.manager->get_state(), STATE_LOGGING_IN);

    prosody().kill_hard();
    ASSERT_TRUE(poll_until(*host.manager, [&] { return host.manager->get_state() == STATE_IDLE; }));
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    expect_refused_start(host);
    expect_login_after_restart(host);
}

// A server that stops answering: the probes go unanswered until the
// dead-link notice, which comes with every poll until the host decides.
TEST(Prosody_Faults, server_frozen_until_the_dead_link_notice_then_resumed) {
    Prosody_Host host("dee", "pw");
    ASSERT_TRUE(host.log_in());
    ASSERT_TRUE(host.settle(u"dee"));
    host.handler.take();

    prosody().freeze();
    for (int probe = 1; probe <= 100; ++probe) {
        host.clock.time += 11;
        host.manager->poll();
    }
    EXPECT_TRUE(host.handler.take().empty());
    host.clock.time += 11;
    host.manager->poll();  // the 101st probe
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    host.manager->poll();
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    EXPECT_EQ(host.manager->get_state(), STATE_CONNECTED);  // the host decides

    // Resumed, the server answers every probe: the notices stop.
    prosody().resume();
    ASSERT_TRUE(poll_until(*host.manager, [&] {
        const bool quiet = host.handler.events.empty();
        host.handler.take();
        return quiet;
    }));
    poll_for(*host.manager, 100ms);
    EXPECT_TRUE(host.handler.take().empty());

    // Frozen again; this time the host gives up at the notice.
    prosody().freeze();
    for (int probe = 1; probe <= 101; ++probe) {
        host.clock.time += 11;
        host.manager->poll();
    }
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    host.manager->logout();
    host.manager->poll();
    EXPECT_EQ(host.manager->get_state(), STATE_IDLE);
    EXPECT_EQ(host.handler.take(), Strings{"on_disconnected()"});
    expect_login_after_restart(host);
}

TEST(Prosody_Faults, server_stopped_and_started_again_while_connected) {
    Prosody_Host host("eve", "pw");
    ASSERT_TRUE(host.log_in());
    host.handler.take();

    prosody().stop();  // an orderly shutdown: the server ends the stream
    ASSERT_TRUE(poll_until(*host.manager, [&] { return host.manager->get_state() == STATE_IDLE; }));
    const Strings heard = host.handler.take();
    ASSERT_GE(heard.size(), 2u);  // the loss, then every poll until a login
    for (const std::string& event : heard) EXPECT_EQ(event, "on_disconnected()");
    expect_refused_start(host);
    expect_login_after_restart(host);
}

// The server dies with the host's message unread: its kernel answers with a
// reset, not an orderly close.
TEST(Prosody_Faults, connection_reset_by_the_server) {
    Prosody_Host host("fay", "pw");
    ASSERT_TRUE(host.log_in());
    host.handler.take();

    prosody().freeze();
    host.manager->send_message(1, u"fay", u"never read");
    std::this_thread::sleep_for(20ms);
    prosody().kill_hard();
    ASSERT_TRUE(poll_until(*host.manager, [&] { return host.manager->get_state() == STATE_IDLE; }));
    const Strings heard = host.handler.take();
    ASSERT_GE(heard.size(), 2u);
    for (const std::string& event : heard) EXPECT_EQ(event, "on_disconnected()");
    expect_refused_start(host);
    expect_login_after_restart(host);
}

// Every connection of the session gets a descriptor above 1023, which
// select(2) could not watch.
TEST(Prosody_Faults, a_host_holding_more_than_1024_descriptors_survives_a_server_restart) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1200 && limit.rlim_max >= 1200) {
        limit.rlim_cur = limit.rlim_max < 4096 ? limit.rlim_max : 4096;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> held;
    for (int i = 0; i < 1100; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) break;
        held.push_back(fd);
    }
    if (held.size() < 1100 || held.back() < 1024) {
        for (int fd : held) ::close(fd);
        GTEST_SKIP() << "cannot hold 1100 descriptors here";
    }
    {
        Prosody_Host host("gus", "pw");
        ASSERT_TRUE(host.log_in());
        EXPECT_GE(connection_to_server(), 1024);
        ASSERT_TRUE(host.settle(u"gus"));
        host.handler.take();

        prosody().kill_hard();
        prosody().start();
        ASSERT_TRUE(poll_until(*host.manager, [&] { return host.manager->get_state() == STATE_IDLE; }));
        expect_login_after_restart(host);
        EXPECT_GE(connection_to_server(), 1024);
        ASSERT_TRUE(host.settle(u"gus"));
    }
    for (int fd : held) ::close(fd);
}
