#include "capture/frames.h"

#include <vector>

#include <glib.h>

namespace {

constexpr uint32_t frames_per_block = 8192;

std::vector<frame_data *> blocks;
uint32_t count;

}  // namespace

frame_data *frames_append()
{
    uint32_t block = count / frames_per_block;
    if (block == blocks.size())
        blocks.push_back(g_new0(frame_data, frames_per_block));
    frame_data *frame = &blocks[block][count % frames_per_block];
    *frame = frame_data{};
    ++count;
    return frame;
}

frame_data *frames_get(uint32_t number)
{
    if (number == 0 || number > count)
        return nullptr;
    uint32_t index = number - 1;
    return &blocks[index / frames_per_block][index % frames_per_block];
}

uint32_t frames_count()
{
    return count;
}

void frames_clear()
{
    for (uint32_t number = 1; number <= count; ++number)
        frame_data_destroy(frames_get(number));
    for (frame_data *block : blocks)
        g_free(block);
    blocks.clear();
    blocks.shrink_to_fit();
    count = 0;
}
