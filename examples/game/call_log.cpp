// SPDX-License-Identifier: GPL-3.0-or-later
#include "call_log.hpp"

namespace velta_game {

const char* call_name(Call call) {
    switch (call) {
        case Call::poll: return "poll";
        case Call::start: return "start";
        case Call::logout: return "logout";
        case Call::send_message: return "send_message";
        case Call::send_admin_values: return "send_admin_values";
        case Call::send_admin_identifier: return "send_admin_identifier";
        case Call::send_admin_text: return "send_admin_text";
        case Call::send_command_message: return "send_command_message";
        case Call::send_command_values: return "send_command_values";
    }
    return "?";
}

void Call_Log::add(Call_Record record) {
    record.sequence = next_sequence_++;
    Call_Totals& totals = totals_[static_cast<int>(record.call)];
    ++totals.count;
    if (record.wall_ms > totals.max_wall_ms) totals.max_wall_ms = record.wall_ms;
    if (record.cpu_ms > totals.max_cpu_ms) totals.max_cpu_ms = record.cpu_ms;
    if (!longest_ || record.cpu_ms > longest_->cpu_ms) longest_ = record;
    if (record.wall_ms > longest_wall_ms_) longest_wall_ms_ = record.wall_ms;
    calls_.push_back(record);
}

void Call_Log::add_frame(const Frame_Record& frame) {
    ++frame_count_;
    if (frame_count_ > 1 && frame.interval_ms > longest_frame_ms_) longest_frame_ms_ = frame.interval_ms;
    frames_.push_back(frame);
}

void Call_Log::trim(double now) {
    while (!calls_.empty() && calls_.front().at < now - window_) calls_.pop_front();
    while (!frames_.empty() && frames_.front().at < now - window_) frames_.pop_front();
    while (!pictures_.empty() && pictures_.front() < now - window_) pictures_.pop_front();
}

std::optional<Call_Record> Call_Log::longest_recent() const {
    std::optional<Call_Record> longest;
    for (const Call_Record& record : calls_)
        if (!longest || record.cpu_ms > longest->cpu_ms) longest = record;
    return longest;
}

}  // namespace velta_game
