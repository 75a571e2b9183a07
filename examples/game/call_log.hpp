// SPDX-License-Identifier: GPL-3.0-or-later
// What each library call cost the frame: its wall time and the calling
// thread's processor time, kept for the last seconds (the plot) and as
// maxima over the whole run (the checks). No drawing here.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace velta_game {

enum class Call {
    poll,
    start,
    logout,
    send_message,
    send_admin_values,
    send_admin_identifier,
    send_admin_text,
    send_command_message,
    send_command_values
};
constexpr int call_kinds = 9;
const char* call_name(Call call);

struct Call_Record {
    Call call = Call::poll;
    double at = 0;        // seconds on the program's steady clock
    double wall_ms = 0;   // CLOCK_MONOTONIC around the call
    double cpu_ms = 0;    // CLOCK_THREAD_CPUTIME_ID around the call
    int state_before = 0;
    int state_after = 0;
    std::uint64_t sequence = 0;
};

struct Frame_Record {
    double at = 0;
    double interval_ms = 0;  // since the previous frame began
    double work_ms = 0;      // the frame's own work, without the wait for the next
    double library_ms = 0;   // wall time inside library calls in this frame
};

struct Call_Totals {
    std::uint64_t count = 0;
    double max_wall_ms = 0;
    double max_cpu_ms = 0;
};

class Call_Log {
public:
    explicit Call_Log(double window_seconds = 10) : window_(window_seconds) {}

    void add(Call_Record record);
    void add_frame(const Frame_Record& frame);
    // A frame left out of the plot at `at`: a picture was read back in it.
    void add_picture(double at) { pictures_.push_back(at); }
    // Forgets what is older than the window before `now`.
    void trim(double now);

    double window() const { return window_; }
    const std::deque<Call_Record>& calls() const { return calls_; }
    const std::deque<Frame_Record>& frames() const { return frames_; }
    const std::deque<double>& pictures() const { return pictures_; }

    // The call with the most processor time among the recent ones.
    std::optional<Call_Record> longest_recent() const;
    // The same over the whole run.
    const std::optional<Call_Record>& longest_overall() const { return longest_; }
    // The longest wall time of any call, over the run.
    double longest_wall_overall_ms() const { return longest_wall_ms_; }
    const Call_Totals& totals(Call call) const { return totals_[static_cast<int>(call)]; }
    std::uint64_t frame_count() const { return frame_count_; }
    double longest_frame_ms() const { return longest_frame_ms_; }

private:
    double window_;
    std::deque<Call_Record> calls_;
    std::deque<Frame_Record> frames_;
    std::deque<double> pictures_;
    std::optional<Call_Record> longest_;
    double longest_wall_ms_ = 0;
    Call_Totals totals_[call_kinds];
    std::uint64_t next_sequence_ = 1;
    std::uint64_t frame_count_ = 0;
    double longest_frame_ms_ = 0;
};

}  // namespace velta_game
