// SPDX-License-Identifier: GPL-2.0-or-later
#include "dissection/frames.h"

#include <vector>

#include "compat/engine_series.h"

namespace {

constexpr uint32_t frames_per_block = 16384;

// Never destroyed: a host that exits with a capture still open leaves the
// blocks reachable instead of having the exit-time destructor orphan them.
std::vector<stored_frame *> &blocks = *new std::vector<stored_frame *>;
uint32_t count;
uint32_t earlier_sessions;  // frames 1 to this were read in an earlier session
nstime_t time_answer;  // the engine copies a time at once; one slot will do
bool first_time_kept;  // frame 1's block was given back; its time is here
nstime_t first_time;

}  // namespace

void frames_store(frame_data *frame)
{
    uint32_t block = count / frames_per_block;
    if (block == blocks.size())
        blocks.push_back(g_new(stored_frame, frames_per_block));
    stored_frame &stored = blocks[block][count % frames_per_block];
    stored.per_frame_data = series_take_frame_data(frame);
    stored.seconds = frame->abs_ts.secs;
    stored.nanoseconds = frame->abs_ts.nsecs;
    stored.offset_low = static_cast<uint32_t>(frame->file_off);
    stored.previous_shown = 0;
    ++count;
}

stored_frame *frames_get(uint32_t number)
{
    if (number == 0 || number > count)
        return nullptr;
    uint32_t index = number - 1;
    stored_frame *block = blocks[index / frames_per_block];
    return block ? &block[index % frames_per_block] : nullptr;
}

bool frames_in_session(uint32_t number)
{
    return number > earlier_sessions && number <= count;
}

void frames_end_session()
{
    for (uint32_t number = earlier_sessions + 1; number <= count; ++number) {
        stored_frame *stored = frames_get(number);
        series_free_frame_data(stored->per_frame_data);
        stored->per_frame_data = nullptr;
    }
    earlier_sessions = count;
}

uint32_t frames_before_session()
{
    return earlier_sessions;
}

void frames_resume_session(uint32_t earlier)
{
    earlier_sessions = earlier <= count ? earlier : count;
}

const nstime_t *frames_time(uint32_t number)
{
    const stored_frame *stored = frames_get(number);
    if (!stored && number == 1 && first_time_kept) {
        time_answer = first_time;
        return &time_answer;
    }
    if (!stored)
        return nullptr;
    time_answer.secs = static_cast<time_t>(stored->seconds);
    time_answer.nsecs = stored->nanoseconds;
    return &time_answer;
}

void frames_forget_earlier()
{
    if (earlier_sessions == 0)
        return;
    const uint32_t whole_blocks = (earlier_sessions - 1) / frames_per_block;
    for (uint32_t block = 0; block < whole_blocks && block < blocks.size(); ++block) {
        if (!blocks[block])
            continue;
        if (block == 0) {
            first_time.secs = static_cast<time_t>(blocks[0][0].seconds);
            first_time.nsecs = blocks[0][0].nanoseconds;
            first_time_kept = true;
        }
        // Their per-frame data went with their session (frames_end_session).
        g_free(blocks[block]);
        blocks[block] = nullptr;
    }
}

void frames_clear()
{
    for (uint32_t number = 1; number <= count; ++number)
        if (stored_frame *stored = frames_get(number))
            series_free_frame_data(stored->per_frame_data);
    for (stored_frame *block : blocks)
        g_free(block);
    first_time_kept = false;
    blocks.clear();
    blocks.shrink_to_fit();
    count = 0;
    earlier_sessions = 0;
}
