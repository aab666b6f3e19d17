/* SPDX-License-Identifier: GPL-2.0-or-later */
// Saving chosen packets of the open capture into a new capture file: what
// the lifecycle calls.
#pragma once

// Completes a save file still open when the engine shuts down (nothing could
// close it afterwards). False with the message written when closing failed.
bool save_shutdown();
