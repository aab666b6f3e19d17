// Following TCP and UDP conversations.
#include "follow/follow.h"

#include "follow/render.h"

void release_followed_stream()
{
    clear_stream_text();
}
