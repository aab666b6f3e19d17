/* SPDX-License-Identifier: GPL-2.0-or-later */
// Helpers shared by the API tests: running the engine's own programs as
// oracles, temporary directories, the shared captures.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace wsbtest {

// The preferences the library switches off, for tshark runs that must
// dissect the way the library does: the -o options that CMake makes from
// lib/engine/preference_overrides.txt.
inline const char *tshark_prefs()
{
    return WSB_TSHARK_PREFERENCES;
}

// Quotes a text for the shell.
inline std::string shell_quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

// Runs a shell command and returns its standard output; *status gets its
// exit status when given.
inline std::string run_command(const std::string &command, int *status = nullptr)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int rc = pclose(pipe);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return output;
}

inline std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        size_t end = text.find(separator, begin);
        if (end == std::string::npos) {
            parts.push_back(text.substr(begin));
            return parts;
        }
        parts.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
}

// Output lines without the final empty one.
inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

// A fresh directory under TMPDIR (or /tmp), removed with everything in it
// when the object goes.
struct temp_dir {
    std::filesystem::path path;
    temp_dir()
    {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/wsbtest.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()))
            path = buffer.data();
    }
    ~temp_dir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
};

inline std::string shared_capture(const std::string &name)
{
    return std::string(WSB_TEST_CAPTURES) + "/" + name;
}

// Every capture file of the shared folder, sorted by name.
inline std::vector<std::string> shared_capture_names()
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(WSB_TEST_CAPTURES)) {
        std::string name = entry.path().filename().string();
        std::string ext = entry.path().extension().string();
        if (ext == ".pcap" || ext == ".pcapng" || ext == ".cap" || ext == ".gz")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Test names may hold only letters, digits and underscores.
inline std::string test_name_of(const std::string &file_name)
{
    std::string name;
    for (char c : file_name)
        name += isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

}  // namespace wsbtest
