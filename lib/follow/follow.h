// Following TCP and UDP conversations.
#pragma once

// Ends any followed stream: its text, temporary file, listeners and texts.
// Safe to call when nothing is followed.
void release_followed_stream();
