/* SPDX-License-Identifier: GPL-2.0-or-later */
// Statistics tables filled while sequential reading dissects: conversations
// and endpoints (the engine's own tables), the protocol hierarchy and traffic
// per interval (listeners of the engine's "frame" tap), as tshark's -z
// options count and print them; their records, texts and the merging of
// records counted by other processes.
#pragma once

// ---- Lifecycle (called by lib/lifecycle.cpp) -------------------------------
// A capture was opened: every table counts from nothing.
void stats_reset();
// The engine shuts down: every table and listener goes.
void stats_release();
