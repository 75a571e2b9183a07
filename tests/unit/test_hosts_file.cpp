// SPDX-License-Identifier: GPL-3.0-or-later
// /etc/hosts read in pieces for a few names.
#include "manager/xmpp/hosts_file.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace Velta_Client::detail::xmpp;

namespace {

struct Hosts_File {
    explicit Hosts_File(const std::string& text) {
        char name[] = "/tmp/velta-hosts-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
        std::ofstream(path) << text;
    }
    ~Hosts_File() { std::remove(path.c_str()); }
    std::string path;
};

std::string text_of(const Endpoint& endpoint) {
    char text[INET6_ADDRSTRLEN] = {};
    if (endpoint.address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&endpoint.address)->sin_addr, text, sizeof text);
    else
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&endpoint.address)->sin6_addr, text,
                    sizeof text);
    return text;
}

int steps_to_read(Hosts_Scan& scan) {
    int steps = 1;
    while (!scan.step()) ++steps;
    return steps;
}

}  // namespace

TEST(Hosts_File, names_and_aliases_in_any_case_comments_left_out) {
    const Hosts_File file("# 10.0.0.1 box.test\n"
                          "127.0.0.7\tBox.Test alias.test   # 127.0.0.8 box.test\n"
                          "::1 box.test. other.test\n"
                          "not-an-address box.test\n"
                          "127.0.0.9 alias.test");  // no line end
    Hosts_Scan scan({"box.test", "alias.test.", "absent.test"}, file.path.c_str());
    EXPECT_EQ(steps_to_read(scan), 1);
    ASSERT_EQ(scan.ipv4(0).size(), 1u);
    EXPECT_EQ(text_of(scan.ipv4(0)[0]), "127.0.0.7");
    ASSERT_EQ(scan.ipv6(0).size(), 1u);
    EXPECT_EQ(text_of(scan.ipv6(0)[0]), "::1");
    ASSERT_EQ(scan.ipv4(1).size(), 2u);
    EXPECT_EQ(text_of(scan.ipv4(1)[1]), "127.0.0.9");
    EXPECT_TRUE(scan.ipv4(2).empty() && scan.ipv6(2).empty());
}

TEST(Hosts_File, a_large_file_is_read_a_piece_per_step_with_lines_across_pieces) {
    std::string text;
    for (int i = 0; i < 150000; ++i) text += "0.0.0.0 ads" + std::to_string(i) + ".example.com\n";
    text += "127.0.0.5 wanted.test\n";
    const Hosts_File file(text);
    Hosts_Scan scan({"wanted.test", "ads77777.example.com"}, file.path.c_str());
    EXPECT_GE(steps_to_read(scan), static_cast<int>(text.size() / Hosts_Scan::piece_bytes));
    ASSERT_EQ(scan.ipv4(0).size(), 1u);
    EXPECT_EQ(text_of(scan.ipv4(0)[0]), "127.0.0.5");
    EXPECT_EQ(scan.ipv4(1).size(), 1u);

    Hosts_Scan missing({"wanted.test"}, "/nonexistent/hosts");
    EXPECT_TRUE(missing.step());
    EXPECT_TRUE(missing.ipv4(0).empty());
}
