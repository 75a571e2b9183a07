// SPDX-License-Identifier: GPL-3.0-or-later
#include "parse/stamps.hpp"

#include "parse/decimal.hpp"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <limits>
#include <locale>
#include <sstream>

namespace Velta_Client::detail {

namespace {

// Exactly `count` digits (at most four) at `at`.
bool digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    const std::optional<Decimal> number = leading_decimal(std::string_view(text).substr(at, count));
    if (!number || number->length != count) return false;
    value = static_cast<int>(number->value);
    return true;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::optional<std::int64_t> read_legacy_stamp(const std::string& stamp) {
    using namespace boost::posix_time;
    // The facet also reads the names of special values ("+infinity",
    // "maximum-date-time"...); none of them is a time, and every stamp
    // starts with its year.
    if (stamp.empty() || stamp[0] < '0' || stamp[0] > '9') return std::nullopt;
    try {
        std::istringstream stream(stamp);
        // The locale owns the facet (refs 0) and deletes it.
        stream.imbue(std::locale(std::locale::classic(), new time_input_facet("%Y%m%dT%H:%M:%S %z")));
        ptime time(not_a_date_time);
        stream >> time;
        if (time.is_special()) return std::nullopt;
        const ptime epoch(boost::gregorian::date(1970, 1, 1));
        return (time - epoch).total_microseconds() / 1000000;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> read_xmpp_stamp(const std::string& stamp) {
    int year, month, day, hour, minute, second;
    if (!digits(stamp, 0, 4, year) || stamp.size() < 19 || stamp[4] != '-' || !digits(stamp, 5, 2, month) ||
        stamp[7] != '-' || !digits(stamp, 8, 2, day) || stamp[10] != 'T' || !digits(stamp, 11, 2, hour) ||
        stamp[13] != ':' || !digits(stamp, 14, 2, minute) || stamp[16] != ':' || !digits(stamp, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month) || hour > 23 || minute > 59 ||
        second > 60)
        return std::nullopt;

    std::size_t at = 19;
    if (at < stamp.size() && stamp[at] == '.') {
        const std::size_t first = ++at;
        while (at < stamp.size() && stamp[at] >= '0' && stamp[at] <= '9') ++at;
        if (at == first) return std::nullopt;
    }
    std::int64_t offset = 0;
    if (at < stamp.size() && stamp[at] == 'Z') {
        ++at;
    } else if (at < stamp.size() && (stamp[at] == '+' || stamp[at] == '-')) {
        int offset_hours, offset_minutes;
        if (!digits(stamp, at + 1, 2, offset_hours) || at + 3 >= stamp.size() || stamp[at + 3] != ':' ||
            !digits(stamp, at + 4, 2, offset_minutes) || offset_hours > 23 || offset_minutes > 59)
            return std::nullopt;
        offset = (offset_hours * 60 + offset_minutes) * 60;
        if (stamp[at] == '-') offset = -offset;
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != stamp.size()) return std::nullopt;

    return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
}

std::optional<std::int32_t> read_stamp(const std::string& stamp) {
    std::optional<std::int64_t> seconds = read_legacy_stamp(stamp);
    if (!seconds) seconds = read_xmpp_stamp(stamp);
    if (!seconds) return std::nullopt;
    // The host's times are 32 bits. From 2038 on its clock wraps, and a
    // stamp keeps the low half as the clock does; a stamp before the first
    // 32-bit time (1901-12-13T20:45:52Z) is no time the clock ever shows,
    // and its low half would lie in the future.
    if (*seconds < std::numeric_limits<std::int32_t>::min()) return std::nullopt;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(*seconds)));
}

}  // namespace Velta_Client::detail
