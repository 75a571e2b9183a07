// SPDX-License-Identifier: GPL-3.0-or-later
// Delay stamps: the legacy reading and the XMPP date-time profile.
#include "parse/stamps.hpp"

#include <gtest/gtest.h>

using Velta_Client::detail::read_stamp;

TEST(Stamps, legacy_form_reads_as_utc_seconds_ignoring_zone_fraction_and_separators) {
    EXPECT_EQ(read_stamp("20080115T10:20:30"), 1200392430);
    EXPECT_EQ(read_stamp("20020910T23:41:07"), 1031701267);
    EXPECT_EQ(read_stamp("19691231T23:59:59"), -1);
    EXPECT_EQ(read_stamp("20080115T10:20:30 +0800"), 1200392430);
    EXPECT_EQ(read_stamp("20080115T10:20:30Z"), 1200392430);
    EXPECT_EQ(read_stamp("20080115T10:20:30.123"), 1200392430);
    EXPECT_EQ(read_stamp("20080115X10-20-30"), 1200392430);
}

TEST(Stamps, times_from_2038_wrap_to_negative) {
    EXPECT_EQ(read_stamp("20380119T03:14:07"), 2147483647);
    EXPECT_EQ(read_stamp("20380119T03:14:08"), -2147483647 - 1);
    EXPECT_EQ(read_stamp("2038-01-19T03:14:08Z"), -2147483647 - 1);
}

TEST(Stamps, current_form_reads_with_its_offset_applied) {
    EXPECT_EQ(read_stamp("2008-01-15T10:20:30Z"), 1200392430);
    EXPECT_EQ(read_stamp("2026-12-07T19:54:10.493578Z"), 1796673250);
    EXPECT_EQ(read_stamp("2008-01-15T10:20:30.123+02:00"), 1200385230);
    EXPECT_EQ(read_stamp("2008-01-15T10:20:30-01:30"), 1200392430 + 5400);
    EXPECT_EQ(read_stamp("2000-02-29T00:00:00Z"), 951782400);
    EXPECT_EQ(read_stamp("1969-12-31T23:59:59Z"), -1);
}

TEST(Stamps, unreadable_stamps_give_nothing) {
    for (const char* stamp : {"", "20080230T10:20:30", "garbage", "not-a-date-time", "+infinity", "-infinity",
                              "maximum-date-time", "2008-02-30T10:20:30Z", "2008-01-15T10:20:30",
                              "2008-01-15T24:00:00Z", "2008-01-15T10:20:30+2:00", "2008-01-15T10:20:30.Z",
                              "2008-01-15T10:20:30Zjunk", "2008-13-15T10:20:30Z", "99999999T99:99:99"})
        EXPECT_FALSE(read_stamp(stamp)) << stamp;
}

TEST(Stamps, times_before_the_least_32_bit_time_give_nothing) {
    EXPECT_EQ(read_stamp("19011213T20:45:52"), -2147483647 - 1);
    EXPECT_EQ(read_stamp("1901-12-13T20:45:52Z"), -2147483647 - 1);
    EXPECT_EQ(read_stamp("1901-12-13T21:45:52+01:00"), -2147483647 - 1);
    for (const char* stamp : {"19011213T20:45:51", "1901-12-13T20:45:51Z", "19000101T00:00:00",
                              "1900-01-01T00:00:00Z", "14000101T00:00:00", "0001-01-01T00:00:00Z",
                              "1901-12-13T20:45:52+00:01"})
        EXPECT_FALSE(read_stamp(stamp)) << stamp;
}
