// SPDX-License-Identifier: GPL-2.0-or-later
// The interfaces dumpcap can capture on: `dumpcap -D -Z none`, whose
// machine-readable lines are "N. NAME\tVENDOR\tFRIENDLY\tTYPE\tADDRESSES\t
// loopback|network\tEXTCAP", as tshark reads them.
#include <cstring>
#include <vector>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include <glib.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "live/live_internal.h"

namespace {

// The last list handed out (valid until the next call or shutdown).
std::vector<WsbInterface> &listed = *new std::vector<WsbInterface>;

void copy_field(char *destination, size_t size, const char *text)
{
    g_strlcpy(destination, text ? text : "", size);
}

// Runs argv[0] with standard input from /dev/null and collects its standard
// output and error whole; 0, or the errno of a failed start.
int run_program(char **argv, GByteArray *out, GByteArray *err, int *status)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0)
        return errno;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        const int e = errno;
        close(out_pipe[0]);
        close(out_pipe[1]);
        return e;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    pid_t child = 0;
    const int failed = posix_spawn(&child, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (failed) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return failed;
    }
    pollfd watch[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    GByteArray *into[2] = {out, err};
    int open_count = 2;
    guint8 buffer[4096];
    while (open_count > 0) {
        if (poll(watch, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (watch[i].fd < 0 || !watch[i].revents)
                continue;
            const ssize_t got = read(watch[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                g_byte_array_append(into[i], buffer, static_cast<guint>(got));
            } else if (got == 0 || errno != EINTR) {
                close(watch[i].fd);
                watch[i].fd = -1;
                --open_count;
            }
        }
    }
    for (pollfd &p : watch)
        if (p.fd >= 0)
            close(p.fd);
    while (waitpid(child, status, 0) < 0 && errno == EINTR) {
    }
    return 0;
}

}  // namespace

int32_t gListInterfaces(const WsbInterface **interfaces, int32_t *count)
{
    if (!require_engine("List Interfaces"))
        return WSB_FAILED;
    if (!interfaces || !count) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"List Interfaces\" operation failed. No place for the list was given.");
        return WSB_FAILED;
    }
    char *program = live_program();
    if (!program)
        return WSB_FAILED;
    char *argv[] = {program, const_cast<char *>("-D"), const_cast<char *>("-Z"), const_cast<char *>("none"), nullptr};
    GByteArray *out = g_byte_array_new();
    GByteArray *err = g_byte_array_new();
    int status = 0;
    const int spawn_error = run_program(argv, out, err, &status);
    g_free(program);
    if (spawn_error) {
        set_error_format(WSB_E_UNSUPPORTED, "\"List Interfaces\" operation failed. dumpcap could not be run: %s.",
                         g_strerror(spawn_error));
        g_byte_array_unref(out);
        g_byte_array_unref(err);
        return WSB_FAILED;
    }
    const bool exited_well = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!exited_well) {
        if (!live_failure_from(err->data, err->len))
            set_error_format(WSB_E_ENGINE, "\"List Interfaces\" operation failed. dumpcap -D ended with status %d.",
                             WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        g_byte_array_unref(out);
        g_byte_array_unref(err);
        return WSB_FAILED;
    }
    listed.clear();
    g_byte_array_append(out, reinterpret_cast<const guint8 *>(""), 1);
    gchar **lines = g_strsplit(reinterpret_cast<const char *>(out->data), "\n", -1);
    for (gchar **line = lines; *line; ++line) {
        if (!**line)
            continue;
        gchar **parts = g_strsplit(*line, "\t", -1);
        const guint n = g_strv_length(parts);
        const char *dot = strstr(parts[0], ". ");
        if (n >= 6 && dot) {
            WsbInterface entry{};
            entry.number = static_cast<int32_t>(g_ascii_strtoll(parts[0], nullptr, 10));
            copy_field(entry.name, sizeof entry.name, dot + 2);
            copy_field(entry.description, sizeof entry.description, *parts[2] ? parts[2] : parts[1]);
            copy_field(entry.addresses, sizeof entry.addresses, parts[4]);
            entry.loopback = strcmp(parts[5], "loopback") == 0;
            listed.push_back(entry);
        }
        g_strfreev(parts);
    }
    g_strfreev(lines);
    g_byte_array_unref(out);
    g_byte_array_unref(err);
    *interfaces = listed.empty() ? nullptr : listed.data();
    *count = static_cast<int32_t>(listed.size());
    return WSB_OK;
}
