// SPDX-License-Identifier: GPL-2.0-or-later
// Running dumpcap for a live capture and reading its sync pipe.
//
// dumpcap runs as tshark runs it: "-Z none" makes it a capture child that
// reports on its standard error in the sync pipe's framing (one indicator
// byte, a three-byte big-endian length, the text with its NUL): 'F' the file
// it writes now (after the file's header is written), 'P' packets written
// since the last report (after they were flushed to the file), 'E' an error
// (two framed texts inside: primary and secondary), 'B' a capture filter
// that does not compile ("INTERFACE:MESSAGE"), 'D' the packets dropped
// ("COUNT:INTERFACE", when it stops). It stops cleanly on SIGINT or
// SIGTERM, closing its file and reporting the last packets.
//
// dumpcap is not our child but the child of a keeper process forked here:
// the keeper holds the read end of a pipe whose write end only this process
// holds, and when that end closes (live_close, or this process exits or is
// killed) it stops dumpcap (SIGTERM, then SIGKILL), removes the spool folder
// and exits with dumpcap's status (128 + the signal when dumpcap was killed). A parent-death signal
// alone would not do: it is cleared when dumpcap runs with file capabilities
// (the usual setup for users in the "wireshark" group) and is tied to the
// forking thread, not the process.
#include "live/live.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "live/live_internal.h"
#include "live/live_state.h"

live_state_record live_state;

namespace {

constexpr int startup_limit_ms = 30000;  // dumpcap opens an interface in far less
constexpr int keeper_grace_ms = 3000;    // SIGTERM before SIGKILL

int64_t now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void close_fd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// ---- The keeper (runs in the forked child: async-signal-safe calls only) --

void keeper_close_others(int keep1, int keep2, int keep3, int keep4)
{
    struct rlimit limit;
    int most = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536 ? static_cast<int>(limit.rlim_cur) : 65536;
    for (int fd = 3; fd < most; ++fd)
        if (fd != keep1 && fd != keep2 && fd != keep3 && fd != keep4)
            close(fd);
}

// Waits for dumpcap up to ms milliseconds; true when it was reaped.
bool keeper_reap(pid_t child, int *status, int ms)
{
    for (int waited = 0;; waited += 10) {
        pid_t got = waitpid(child, status, WNOHANG);
        if (got == child || (got < 0 && errno != EINTR))
            return true;
        if (waited >= ms)
            return false;
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// Empties and removes the spool folder with plain system calls (no
// allocation: the keeper is a fork of a process whose other threads may have
// held the allocator's locks).
void keeper_remove_folder(const char *folder)
{
    const int fd = open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    alignas(8) char entries[4096];
    for (;;) {
        const long got = syscall(SYS_getdents64, fd, entries, sizeof entries);
        if (got <= 0)
            break;
        for (long at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(entries + at);
            const char *name = entry->d_name;
            if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))))
                unlinkat(fd, name, 0);
            at += entry->d_reclen;
        }
    }
    close(fd);
    rmdir(folder);
}

[[noreturn]] void keeper_exit(int status)
{
    if (WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    _exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 125);
}

[[noreturn]] void run_keeper(const char *program, char *const *argv, const char *folder, int lifeline, int sync_write,
                             int pid_write)
{
    // The keeper is a fork of the host without exec: the host's signal
    // handlers (a runtime's SIGCHLD handler, say) are not for this process.
    // Every caught signal goes back to its default; ignored ones stay so.
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction current {};
        if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
            current.sa_handler != SIG_DFL) {
            struct sigaction standard {};
            standard.sa_handler = SIG_DFL;
            sigaction(sig, &standard, nullptr);
        }
    }
    // The terminal's Ctrl-C reaches the whole process group: dumpcap stops
    // on it and the keeper follows when dumpcap has ended.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int null_fd = open("/dev/null", O_RDWR);
    keeper_close_others(lifeline, sync_write, pid_write, null_fd);
    const pid_t keeper = getpid();
    pid_t child = vfork();
    if (child == 0) {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            sigaction(sig, &standard, nullptr);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(sync_write, 2);
        // Also ends dumpcap when the keeper goes (without file capabilities).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != keeper)
            _exit(126);
        keeper_close_others(-1, -1, -1, -1);
        execv(program, argv);
        _exit(127);
    }
    if (write(pid_write, &child, sizeof child) < 0) {
        // The host is gone already; the lifeline below says so too.
    }
    close(pid_write);
    close(sync_write);
    if (null_fd >= 0)
        close(null_fd);
    if (child < 0)
        _exit(127);
    for (;;) {
        int status = 0;
        if (keeper_reap(child, &status, 0))
            keeper_exit(status);
        pollfd watch{lifeline, POLLIN, 0};
        const int ready = poll(&watch, 1, 200);
        if (ready > 0) {
            // The host closed its end or went: stop dumpcap, and remove the
            // spool that a host killed cannot remove.
            kill(child, SIGTERM);
            if (!keeper_reap(child, &status, keeper_grace_ms)) {
                kill(child, SIGKILL);
                keeper_reap(child, &status, 60000);
            }
            keeper_remove_folder(folder);
            keeper_exit(status);
        }
    }
}

// ---- Messages --------------------------------------------------------------

// The usual mend for a user who may not capture.
const char permission_mend[] =
    "Capturing needs root, or dumpcap with its capabilities and the user in the \"wireshark\" group: "
    "\"sudo dpkg-reconfigure wireshark-common\" (answer yes), \"sudo usermod -a -G wireshark $USER\" and a new "
    "login; or \"sudo setcap cap_net_raw,cap_net_admin+eip /usr/bin/dumpcap\".";

void note_failure(int32_t code, const char *primary, const char *secondary)
{
    live_state_record &l = live_state;
    l.message_code = code;
    if (code == WSB_E_PERMISSION)
        snprintf(l.message, sizeof l.message, "dumpcap may not capture: %s%s%s %s", primary,
                 secondary && *secondary ? " " : "", secondary ? secondary : "", permission_mend);
    else
        snprintf(l.message, sizeof l.message, "dumpcap: %s%s%s", primary, secondary && *secondary ? " " : "",
                 secondary ? secondary : "");
    // dumpcap's texts end their sentences with new lines.
    for (char *p = l.message; *p; ++p)
        if (*p == '\n')
            *p = ' ';
}

void take_error(const char *primary, const char *secondary)
{
    // A warning, not a failure: dumpcap says so when root runs it.
    if (g_str_has_prefix(primary, "Running as user"))
        return;
    int32_t code = WSB_E_ENGINE;
    if (strstr(primary, "permission") || strstr(primary, "Permission") || strstr(primary, "not permitted") ||
        strstr(secondary, "permission") || strstr(secondary, "not permitted"))
        code = WSB_E_PERMISSION;
    else if (strstr(primary, "no device named") || strstr(primary, "No such device") ||
             strstr(secondary, "No such device") || strstr(primary, "is not a valid interface") ||
             strstr(primary, "There is no interface"))
        code = WSB_E_BAD_ARGUMENT;
    note_failure(code, primary, secondary);
}

uint32_t frame_length(const unsigned char *header)
{
    return (static_cast<uint32_t>(header[1]) << 16) | (static_cast<uint32_t>(header[2]) << 8) | header[3];
}

// One message: its indicator and its text (NUL-terminated by dumpcap; made
// so here in any case).
void take_message(char indicator, char *text, uint32_t length)
{
    live_state_record &l = live_state;
    if (length > 0)
        text[length - 1] = '\0';
    else
        text = const_cast<char *>("");
    switch (indicator) {
    case 'F':
        l.files.push_back(live_file{g_strdup(text), 0});
        break;
    case 'P': {
        const uint64_t count = g_ascii_strtoull(text, nullptr, 10);
        if (!l.files.empty())
            l.files.back().packets += count;
        l.written += count;
        break;
    }
    case 'D':
        l.dropped += g_ascii_strtoull(text, nullptr, 10);
        break;
    case 'B': {
        const char *reason = strchr(text, ':');
        l.message_code = WSB_E_FILTER;
        snprintf(l.message, sizeof l.message, "The capture filter \"%s\" does not compile: %s.", l.filter ? l.filter : "",
                 reason ? reason + 1 : text);
        break;
    }
    case 'E': {
        // Two framed texts inside: the primary and the secondary message.
        unsigned char *inner = reinterpret_cast<unsigned char *>(text);
        const char *primary = "";
        const char *secondary = "";
        if (length >= 4 && frame_length(inner) + 4 <= length) {
            const uint32_t first = frame_length(inner);
            primary = first ? text + 4 : "";
            if (first)
                text[4 + first - 1] = '\0';
            const uint32_t rest = length - 4 - first;
            if (rest >= 4) {
                const uint32_t second = frame_length(inner + 4 + first);
                if (second && 8 + first + second <= length) {
                    text[8 + first + second - 1] = '\0';
                    secondary = text + 8 + first;
                }
            }
        } else {
            primary = text;
        }
        take_error(primary, secondary);
        break;
    }
    default:
        break;  // 'S' success, toolbar controls: nothing to do
    }
}

void parse_pending()
{
    live_state_record &l = live_state;
    size_t used = 0;
    while (l.pending_length - used >= 4) {
        unsigned char *header = l.pending + used;
        const uint32_t length = frame_length(header);
        if (length > sizeof l.pending - 4) {
            // Not the sync pipe's framing: stop reading it.
            note_failure(WSB_E_ENGINE, "sent a message that is not in its sync pipe's framing.", "");
            used = l.pending_length;
            break;
        }
        if (l.pending_length - used < 4 + length)
            break;
        take_message(static_cast<char>(header[0]), reinterpret_cast<char *>(header + 4), length);
        used += 4 + length;
    }
    memmove(l.pending, l.pending + used, l.pending_length - used);
    l.pending_length -= used;
}

// The sync pipe closed: dumpcap has ended; the keeper follows at once.
void reap_keeper()
{
    live_state_record &l = live_state;
    l.dumpcap_pid = 0;
    close_fd(l.sync_fd);
    if (l.keeper_pid > 0) {
        int status = 0;
        while (waitpid(l.keeper_pid, &status, 0) < 0 && errno == EINTR) {
        }
        l.keeper_status = status;
        l.keeper_pid = 0;
    }
    l.ended = true;
}

// Reads what the sync pipe holds now; true when something was read or it
// closed.
bool read_sync_pipe()
{
    live_state_record &l = live_state;
    if (l.sync_fd < 0)
        return false;
    const ssize_t got = read(l.sync_fd, l.pending + l.pending_length, sizeof l.pending - l.pending_length);
    if (got < 0)
        return false;
    if (got == 0) {
        parse_pending();
        reap_keeper();
        return true;
    }
    l.pending_length += static_cast<size_t>(got);
    parse_pending();
    return true;
}

// dumpcap as the environment names it or found on PATH, else
// /usr/bin/dumpcap; null with the message written.
char *find_dumpcap()
{
    const char *named = getenv("WSB_DUMPCAP");
    if (named && *named) {
        if (access(named, X_OK) == 0)
            return g_strdup(named);
        set_error_format(WSB_E_UNSUPPORTED, "The capture program \"%s\" (named by WSB_DUMPCAP) cannot be run: %s.", named,
                         g_strerror(errno));
        return nullptr;
    }
    char *found = g_find_program_in_path("dumpcap");
    if (found)
        return found;
    if (access("/usr/bin/dumpcap", X_OK) == 0)
        return g_strdup("/usr/bin/dumpcap");
    set_error_text(WSB_E_UNSUPPORTED, "The engine's capture program dumpcap was not found (on PATH, in /usr/bin, or as "
                                      "WSB_DUMPCAP names it): install Debian's wireshark-common.");
    return nullptr;
}

void remove_spool_folder()
{
    live_state_record &l = live_state;
    if (!l.folder)
        return;
    if (DIR *folder = opendir(l.folder)) {
        while (const dirent *entry = readdir(folder))
            if (entry->d_name[0] != '.' || (entry->d_name[1] && strcmp(entry->d_name, "..") != 0))
                unlinkat(dirfd(folder), entry->d_name, 0);
        closedir(folder);
    }
    rmdir(l.folder);
    g_free(l.folder);
    l.folder = nullptr;
}

}  // namespace

char *live_program()
{
    return find_dumpcap();
}

bool live_failure_from(const unsigned char *messages, size_t length)
{
    live_state_record &l = live_state;
    // The open capture's own report stays as it was.
    char kept[sizeof l.message];
    memcpy(kept, l.message, sizeof kept);
    const int32_t kept_code = l.message_code;
    l.message[0] = '\0';
    l.message_code = 0;
    size_t used = 0;
    std::vector<char> text;
    while (length - used >= 4) {
        const uint32_t size = frame_length(messages + used);
        if (length - used - 4 < size)
            break;
        text.assign(messages + used + 4, messages + used + 4 + size);
        text.push_back('\0');
        if (messages[used] == 'E')
            take_message('E', text.data(), size);
        used += 4 + size;
    }
    const bool failed = l.message_code != 0;
    if (failed)
        set_error_text(l.message_code, l.message);
    memcpy(l.message, kept, sizeof kept);
    l.message_code = kept_code;
    return failed;
}

bool live_start(const live_request &request)
{
    live_close();
    live_state_record &l = live_state;
    char *program = find_dumpcap();
    if (!program)
        return false;
    const char *base = request.spool_folder && *request.spool_folder ? request.spool_folder : getenv("TMPDIR");
    if (!base || !*base)
        base = "/tmp";
    char *folder = g_strdup_printf("%s/wsbridge-live-XXXXXX", base);
    if (!mkdtemp(folder)) {
        set_error_format(WSB_E_FILE, "The spool folder cannot be made in \"%s\": %s.", base, g_strerror(errno));
        g_free(folder);
        g_free(program);
        return false;
    }
    // dumpcap may drop its rights; the folder is ours alone otherwise.
    chmod(folder, 0700);
    GPtrArray *args = g_ptr_array_new_with_free_func(g_free);
    auto add = [args](char *text) { g_ptr_array_add(args, text); };
    add(g_strdup(program));
    add(g_strdup("-i"));
    add(g_strdup(request.interface_name));
    if (request.capture_filter && *request.capture_filter) {
        add(g_strdup("-f"));
        add(g_strdup(request.capture_filter));
    }
    if (request.snap_length > 0) {
        add(g_strdup("-s"));
        add(g_strdup_printf("%d", request.snap_length));
    }
    if (request.stop_after_packets > 0) {
        add(g_strdup("-c"));
        add(g_strdup_printf("%d", request.stop_after_packets));
    }
    if (request.stop_after_seconds > 0) {
        add(g_strdup("-a"));
        add(g_strdup_printf("duration:%d", request.stop_after_seconds));
    }
    if (request.ring_file_kilobytes > 0) {
        add(g_strdup("-b"));
        add(g_strdup_printf("filesize:%d", request.ring_file_kilobytes));
        add(g_strdup("-b"));
        add(g_strdup_printf("files:%d", request.ring_files > 0 ? request.ring_files : 2));
    }
    add(g_strdup("-w"));
    add(g_strdup_printf("%s/live.pcapng", folder));
    add(g_strdup("-Z"));
    add(g_strdup("none"));
    g_ptr_array_add(args, nullptr);

    int sync_pipe[2], lifeline[2], pid_pipe[2];
    if (pipe2(sync_pipe, O_CLOEXEC) != 0 || pipe2(lifeline, O_CLOEXEC) != 0 || pipe2(pid_pipe, O_CLOEXEC) != 0) {
        set_error_format(WSB_E_ENGINE, "The pipes to dumpcap cannot be made: %s.", g_strerror(errno));
        g_ptr_array_free(args, TRUE);
        g_free(program);
        rmdir(folder);
        g_free(folder);
        return false;
    }
    const pid_t keeper = fork();
    if (keeper == 0)
        run_keeper(program, reinterpret_cast<char *const *>(args->pdata), folder, lifeline[0], sync_pipe[1],
                   pid_pipe[1]);
    const int fork_error = errno;
    close(sync_pipe[1]);
    close(lifeline[0]);
    close(pid_pipe[1]);
    g_ptr_array_free(args, TRUE);
    g_free(program);
    if (keeper < 0) {
        close(sync_pipe[0]);
        close(lifeline[1]);
        close(pid_pipe[0]);
        rmdir(folder);
        g_free(folder);
        set_error_format(WSB_E_ENGINE, "dumpcap cannot be started: %s.", g_strerror(fork_error));
        return false;
    }
    l.files.clear();
    l.written = 0;
    l.dropped = 0;
    l.ended = false;
    l.keeper_status = 0;
    l.message[0] = '\0';
    l.message_code = 0;
    l.pending_length = 0;
    l.filter = g_strdup(request.capture_filter);
    l.open = true;
    l.keeper_pid = keeper;
    l.sync_fd = sync_pipe[0];
    l.lifeline_fd = lifeline[1];
    l.folder = folder;
    pid_t dumpcap = 0;
    ssize_t got;
    while ((got = read(pid_pipe[0], &dumpcap, sizeof dumpcap)) < 0 && errno == EINTR) {
    }
    close(pid_pipe[0]);
    l.dumpcap_pid = got == sizeof dumpcap && dumpcap > 0 ? dumpcap : 0;

    // Until the first file is announced or dumpcap ends.
    const int64_t deadline = now_ms() + startup_limit_ms;
    while (l.files.empty() && !l.ended) {
        const int64_t left = deadline - now_ms();
        if (left <= 0) {
            set_error_format(WSB_E_ENGINE, "dumpcap did not start capturing on \"%s\" within %d seconds.",
                             request.interface_name, startup_limit_ms / 1000);
            live_close();
            return false;
        }
        live_wait(static_cast<int32_t>(left));
    }
    if (l.files.empty()) {
        if (l.message_code == 0) {
            const int status = WIFEXITED(l.keeper_status) ? WEXITSTATUS(l.keeper_status) : 125;
            if (status == 127)
                set_error_text(WSB_E_UNSUPPORTED, "dumpcap could not be run.");
            else
                set_error_format(WSB_E_ENGINE, "dumpcap ended (status %d) before it began to capture on \"%s\".",
                                 status, request.interface_name);
        } else {
            set_error_text(l.message_code, l.message);
        }
        live_close();
        return false;
    }
    return true;
}

bool live_open()
{
    return live_state.open;
}

void live_close()
{
    live_state_record &l = live_state;
    if (!l.open)
        return;
    l.dumpcap_pid = 0;
    // Closing the lifeline has the keeper stop dumpcap; the sync pipe then
    // closes as dumpcap ends.
    close_fd(l.lifeline_fd);
    close_fd(l.sync_fd);
    if (l.keeper_pid > 0) {
        int status = 0;
        while (waitpid(l.keeper_pid, &status, 0) < 0 && errno == EINTR) {
        }
        l.keeper_pid = 0;
    }
    remove_spool_folder();
    for (live_file &file : l.files)
        g_free(file.path);
    l.files.clear();
    l.files.shrink_to_fit();
    g_free(l.filter);
    l.filter = nullptr;
    l.open = false;
    l.ended = false;
    l.pending_length = 0;
}

uint32_t live_file_count()
{
    return static_cast<uint32_t>(live_state.files.size());
}

const char *live_file_path(uint32_t index)
{
    return index < live_state.files.size() ? live_state.files[index].path : nullptr;
}

uint64_t live_file_packets(uint32_t index)
{
    return index < live_state.files.size() ? live_state.files[index].packets : 0;
}

bool live_wait(int32_t timeout_ms)
{
    live_state_record &l = live_state;
    if (!l.open || l.ended || l.sync_fd < 0)
        return true;
    const int64_t deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    for (;;) {
        int wait = -1;
        if (deadline >= 0) {
            const int64_t left = deadline - now_ms();
            wait = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd watch{l.sync_fd, POLLIN, 0};
        const int ready = poll(&watch, 1, wait);
        if (ready > 0) {
            if (read_sync_pipe())
                return true;
            continue;
        }
        if (ready < 0 && errno != EINTR) {
            reap_keeper();
            return true;
        }
        if (ready == 0 && deadline >= 0)
            return false;
    }
}

bool live_ended()
{
    return live_state.ended;
}

bool live_ended_well()
{
    live_state_record &l = live_state;
    const int status = l.keeper_status;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 125;
    if (l.message_code != 0) {
        set_error_text(l.message_code, l.message);
    } else if (code > 128) {
        const int sig = code - 128;
        set_error_format(WSB_E_ENGINE, "dumpcap was killed by signal %d (%s) while it captured; the packets it wrote "
                         "before were read.", sig, g_strsignal(sig));
    } else {
        set_error_format(WSB_E_ENGINE, "dumpcap ended with status %d while it captured; the packets it wrote before "
                         "were read.", code);
    }
    return false;
}

void live_stop()
{
    const pid_t pid = live_state.dumpcap_pid;
    if (pid > 0)
        kill(pid, SIGINT);
}

uint64_t live_written()
{
    return live_state.written;
}

uint64_t live_dropped()
{
    return live_state.dropped;
}

int32_t gStopLiveCapture(void)
{
    live_stop();
    return WSB_OK;
}
