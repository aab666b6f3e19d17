/* SPDX-License-Identifier: GPL-2.0-or-later */
// The live capture module's state record (private to lib/live).
#pragma once

#include <csignal>
#include <cstdint>
#include <vector>

#include <sys/types.h>

// One spool file dumpcap announced, and the packets it reported in it.
struct live_file {
    char *path;  // owned
    uint64_t packets;
};

struct live_state_record {
    bool open;
    // dumpcap's process id while it may run, 0 otherwise: read by
    // gStopLiveCapture, which may run in a signal handler.
    volatile sig_atomic_t dumpcap_pid;
    pid_t keeper_pid;      // the keeper process, our child; 0 when reaped
    int keeper_status;     // its exit status once reaped
    int sync_fd;           // dumpcap's standard error: its sync pipe (-1: closed)
    int lifeline_fd;       // closing it tells the keeper to stop dumpcap (-1: closed)
    char *folder;          // the spool folder, removed at close
    char *filter;          // the capture filter, for dumpcap's refusal of it
    std::vector<live_file> files;
    uint64_t written;
    uint64_t dropped;
    bool ended;            // the sync pipe closed and the keeper was reaped
    // The message of dumpcap's last failure report, and its WSB_E_* code.
    char message[2048];
    int32_t message_code;
    // The sync pipe's bytes not parsed yet (a message arrives in pieces).
    unsigned char pending[65536];
    size_t pending_length;
};
extern live_state_record live_state;
