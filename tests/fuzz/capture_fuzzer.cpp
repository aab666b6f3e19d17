// SPDX-License-Identifier: GPL-2.0-or-later
// libFuzzer harness: every input is written to a temporary capture file and
// driven through the whole interface (open, sequential reading with every
// field getter, random access with a tree, following its TCP and UDP
// conversations, saving its packets). Anything the interface promises and
// does not keep aborts the run, like a crash: a status outside the call's
// set, a failure without a message, a save file that is not complete after
// its close, a temporary file left behind.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "api_sweep.h"

namespace {

std::string work_directory;
std::string temp_directory;  // TMPDIR of the library: must be empty after each input
std::string input_path;
std::string save_path;

void fail(const std::string &what)
{
    fprintf(stderr, "capture_fuzzer: %s\n", what.c_str());
    abort();
}

void remove_work_directory()
{
    for (const std::string &name : wsbsweep::directory_entries(temp_directory))
        unlink((temp_directory + "/" + name).c_str());
    rmdir(temp_directory.c_str());
    for (const std::string &name : wsbsweep::directory_entries(work_directory))
        unlink((work_directory + "/" + name).c_str());
    rmdir(work_directory.c_str());
}

bool write_input(const uint8_t *data, size_t size)
{
    FILE *file = fopen(input_path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/wsbfuzz.XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("cannot create a work directory");
    work_directory = pattern;
    temp_directory = work_directory + "/tmp";
    if (mkdir(temp_directory.c_str(), 0700) != 0)
        fail("cannot create the temporary directory");
    setenv("TMPDIR", temp_directory.c_str(), 1);
    input_path = work_directory + "/input";
    save_path = work_directory + "/saved.pcap";
    atexit(remove_work_directory);

    if (gInitEpan() != 0)
        fail(std::string("gInitEpan: ") + gGetLastError());
    std::string problem;
    if (!wsbsweep::register_fields(&problem))
        fail(problem);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!write_input(data, size))
        fail("cannot write the input file");
    wsbsweep::report report;
    wsbsweep::arm();
    if (wsbsweep::check(report, "gOpenCapture", gOpenCapture(input_path.c_str()), {0, 1}) == 0) {
        wsbsweep::limits limits;
        limits.max_packets = 48;
        limits.max_random = 12;
        limits.max_conversations = 3;
        limits.save_path = save_path;
        wsbsweep::sweep_open_capture(report, limits);
        wsbsweep::arm();
        wsbsweep::check(report, "gCloseCapture", gCloseCapture(), {0});
    }
    const std::vector<std::string> left = wsbsweep::directory_entries(temp_directory);
    if (!left.empty())
        report.problem("the temporary file " + left.front() + " was left behind");
    unlink(input_path.c_str());
    unlink(save_path.c_str());
    unlink((save_path + ".tracked").c_str());
    if (!report.problems.empty()) {
        for (const std::string &problem : report.problems)
            fprintf(stderr, "capture_fuzzer: %s\n", problem.c_str());
        abort();
    }
    return 0;
}
