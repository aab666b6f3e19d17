/* SPDX-License-Identifier: GPL-2.0-or-later */
// Following TCP and UDP conversations: what the lifecycle releases.
#pragma once

// Ends any followed stream: its text, temporary file, listeners and texts.
// Safe to call when nothing is followed, and before the engine shuts down.
void follow_release();
