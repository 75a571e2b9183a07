// SPDX-License-Identifier: GPL-3.0-or-later
// Delay stamps. Any text: the readers return a time or nothing, and never
// throw. Stamps built from the input's numbers are read as the C library's
// timegm() says they should be: the XMPP form with its offset applied, the
// legacy form (years 1400 to 9999, as Boost's calendar has them) with any
// zone or fraction ignored; a day that its month does not have gives nothing.
#include "parse/stamps.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

using Velta_Client::detail::read_legacy_stamp;
using Velta_Client::detail::read_stamp;
using Velta_Client::detail::read_xmpp_stamp;

namespace {

[[noreturn]] void fail(const char* what, const std::string& stamp) {
    std::fprintf(stderr, "stamp fuzzer: %s: \"%s\"\n", what, stamp.c_str());
    std::abort();
}

std::string two(int value) {
    return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

std::string four(int value) { return two(value / 100) + two(value % 100); }

// Seconds since 1970 of a UTC date and time; nothing when the month has no
// such day.
std::optional<std::int64_t> oracle(int year, int month, int day, int hour, int minute, int second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    const std::int64_t midnight = ::timegm(&fields);
    if (fields.tm_mday != day) return std::nullopt;  // timegm carried it into the next month
    return midnight + hour * 3600 + minute * 60 + second;
}

std::int32_t low_half(std::int64_t seconds) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Whatever the text, an answer and no exception.
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)read_stamp(text);
    (void)read_xmpp_stamp(text);

    FuzzedDataProvider input(data, size);
    const int year = input.ConsumeIntegralInRange(0, 9999);
    const int month = input.ConsumeIntegralInRange(1, 12);
    const int day = input.ConsumeIntegralInRange(1, 31);
    const int hour = input.ConsumeIntegralInRange(0, 23);
    const int minute = input.ConsumeIntegralInRange(0, 59);
    const int second = input.ConsumeIntegralInRange(0, 60);
    const int fraction_digits = input.ConsumeIntegralInRange(0, 12);
    const int zone = input.ConsumeIntegralInRange(0, 2);  // Z, +, -
    const int offset_hours = input.ConsumeIntegralInRange(0, 23);
    const int offset_minutes = input.ConsumeIntegralInRange(0, 59);
    const int legacy_tail = input.ConsumeIntegralInRange(0, 3);

    const std::optional<std::int64_t> expected = oracle(year, month, day, hour, minute, second);
    const std::string date_time = "T" + two(hour) + ":" + two(minute) + ":" + two(second);

    std::string xmpp = four(year) + "-" + two(month) + "-" + two(day) + date_time;
    if (fraction_digits > 0) xmpp += "." + std::string(static_cast<std::size_t>(fraction_digits), '7');
    std::int64_t offset = 0;
    if (zone == 0) {
        xmpp += "Z";
    } else {
        xmpp += (zone == 1 ? "+" : "-") + two(offset_hours) + ":" + two(offset_minutes);
        offset = (offset_hours * 60 + offset_minutes) * 60 * (zone == 1 ? 1 : -1);
    }
    const std::optional<std::int64_t> xmpp_read = read_xmpp_stamp(xmpp);
    if (xmpp_read.has_value() != expected.has_value()) fail("XMPP stamp accepted or refused wrongly", xmpp);
    if (expected && *xmpp_read != *expected - offset) fail("XMPP stamp read as the wrong time", xmpp);
    const std::optional<std::int32_t> xmpp_time = read_stamp(xmpp);
    const bool before_32_bits = expected && *expected - offset < std::numeric_limits<std::int32_t>::min();
    if (expected && !before_32_bits && (!xmpp_time || *xmpp_time != low_half(*expected - offset)))
        fail("XMPP stamp not cut to 32 bits", xmpp);
    if (before_32_bits && xmpp_time) fail("XMPP stamp before the least 32-bit time read as a time", xmpp);

    // Boost's clock has no leap second; its calendar runs from 1400.
    if (second < 60) {
        const char* const tails[] = {"", "Z", " +0800", ".123"};
        const std::string legacy = four(year) + two(month) + two(day) + date_time + tails[legacy_tail];
        const std::optional<std::int64_t> legacy_read = read_legacy_stamp(legacy);
        const bool readable = expected && year >= 1400;
        if (legacy_read.has_value() != readable) fail("legacy stamp accepted or refused wrongly", legacy);
        if (readable && *legacy_read != *expected) fail("legacy stamp read as the wrong time", legacy);
    }
    return 0;
}
