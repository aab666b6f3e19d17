/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge plot io|phs FILE OUT.png [-i INTERVAL] [-Y FILTER]...
 *                                   [--width PIXELS] [--height PIXELS]
 * Draws a capture's traffic over time (io: frames and bytes per interval, a
 * line per -Y series) or its protocol hierarchy (phs) into a PNG file. The
 * drawing is the Python package's (wsbridge.plot, with matplotlib): this verb
 * checks the arguments and runs that program with the interpreter named by
 * WSBRIDGE_PYTHON, else python3 from PATH. The package loads the library
 * this program runs on (WSBRIDGE_LIBRARY, unless set already). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "wsbridge.h"
#include "engine.h"
#include "options.h"
#include "report.h"
#include "verbs.h"

extern char **environ;

static struct {
    const char *kind, *file, *out, *interval, *width, *height;
    cli_texts filters;
} settings;

static const char verb[] = "plot";

static const cli_option plot_options[] = {
    {"io|phs", NULL, NULL, CLI_TEXT, &settings.kind, .help = NULL},
    {"FILE", NULL, NULL, CLI_TEXT, &settings.file, .help = "the capture file"},
    {"OUT.png", NULL, NULL, CLI_TEXT, &settings.out, .help = "the PNG file to write"},
    {"-i", "--interval", "INTERVAL", CLI_TEXT, &settings.interval,
     .help = "io: seconds per interval (default 1; 0: the whole capture)"},
    {"-Y", "--display-filter", "FILTER", CLI_TEXTS, &settings.filters,
     .help = "io: a series, a line of its own (repeat for more; a filter, or\n"
             "tshark's io,stat FUNCTION(FIELD)FILTER); phs: the packets counted"},
    {"--width", NULL, "PIXELS", CLI_TEXT, &settings.width, .help = "the picture's width (default 1000)"},
    {"--height", NULL, "PIXELS", CLI_TEXT, &settings.height, .help = "the picture's height (default 600)"},
    {0},
};

/* The program the interpreter runs: the package's plot main, after
 * imports that say plainly what is missing. */
static const char program[] =
    "import sys\n"
    "try:\n"
    "    import wsbridge.plot\n"
    "except ImportError as error:\n"
    "    sys.exit('wsbridge plot: %s cannot import the Python package wsbridge (%s): install the '\n"
    "             'package python3-wsbridge, or set PYTHONPATH to its folder' % (sys.executable, error))\n"
    "try:\n"
    "    import matplotlib\n"
    "except ImportError:\n"
    "    sys.exit('wsbridge plot: matplotlib is missing for %s: install it with '\n"
    "             '`apt install python3-matplotlib` (Debian, Ubuntu) or `pip install matplotlib`'\n"
    "             % sys.executable)\n"
    "sys.exit(wsbridge.plot.main(sys.argv[1:]))\n";

static int check_number(const char *option, const char *text, double low, double high)
{
    char *end = NULL;
    errno = 0;
    const double value = text && *text ? strtod(text, &end) : -1;
    if (!text || !*text || *end || errno || !(value >= low && value <= high))
        return cli_usage_error(verb, "%s needs a number from %g to %g, not '%s'", option, low, high,
                               text ? text : "");
    return CLI_OK;
}

static int check_plot(void)
{
    if (!settings.kind || !settings.file || !settings.out)
        return cli_usage_error(verb, "io or phs, FILE and OUT.png are needed");
    const int io = strcmp(settings.kind, "io") == 0;
    if (!io && strcmp(settings.kind, "phs") != 0)
        return cli_usage_error(verb, "unknown plot '%s' (io or phs)", settings.kind);
    if (strcmp(settings.file, "-") == 0)
        return cli_usage_error(verb, "plot reads a capture file, not standard input");
    if (settings.interval && !io)
        return cli_usage_error(verb, "-i is for io plots");
    if (!io && settings.filters.count > 1)
        return cli_usage_error(verb, "phs takes one -Y filter");
    int status = CLI_OK;
    if (settings.interval)
        status = check_number("-i", settings.interval, 0, 1e9);
    if (status == CLI_OK && settings.interval && strtod(settings.interval, NULL) > 0 &&
        strtod(settings.interval, NULL) < 0.000001)
        status = cli_usage_error(verb, "-i is at least 0.000001 seconds (0: the whole capture)");
    if (status == CLI_OK && settings.width)
        status = check_number("--width", settings.width, 50, 20000);
    if (status == CLI_OK && settings.height)
        status = check_number("--height", settings.height, 50, 20000);
    return status;
}

/* Points the package at the library this program runs on, unless
 * WSBRIDGE_LIBRARY names one already. */
static void name_library(void)
{
    Dl_info info;
    if (getenv("WSBRIDGE_LIBRARY") || !dladdr((void *)gGetVersion, &info) || !info.dli_fname ||
        !strchr(info.dli_fname, '/'))
        return;
    char resolved[PATH_MAX];
    setenv("WSBRIDGE_LIBRARY", realpath(info.dli_fname, resolved) ? resolved : info.dli_fname, 1);
}

/* Appends "--option=VALUE" (a value that starts with '-' stays a value). */
static int add_option(char **arguments, size_t *n, const char *option, const char *value)
{
    if (asprintf(&arguments[*n], "%s=%s", option, value) < 0) {
        arguments[*n] = NULL;
        fprintf(stderr, "wsbridge: out of memory\n");
        return CLI_FAILED;
    }
    ++*n;
    return CLI_OK;
}

static int spawn(const char *python, char **arguments)
{
    name_library();
    fflush(stdout);
    fflush(stderr);
    pid_t child;
    const int failure = posix_spawnp(&child, python, NULL, NULL, arguments, environ);
    if (failure != 0) {
        fprintf(stderr, "wsbridge plot: cannot run %s (%s): plots need Python 3 with the wsbridge package "
                        "and matplotlib; set WSBRIDGE_PYTHON to such an interpreter\n",
                python, strerror(failure));
        return CLI_FAILED;
    }
    int outcome = 0;
    while (waitpid(child, &outcome, 0) < 0)
        if (errno != EINTR) {
            fprintf(stderr, "wsbridge plot: waiting for %s: %s\n", python, strerror(errno));
            return CLI_FAILED;
        }
    if (WIFEXITED(outcome) && WEXITSTATUS(outcome) == 0)
        return CLI_OK;
    if (WIFSIGNALED(outcome))
        fprintf(stderr, "wsbridge plot: %s ended by signal %d\n", python, WTERMSIG(outcome));
    return CLI_FAILED;
}

static int run_plot(void)
{
    const char *python = getenv("WSBRIDGE_PYTHON");
    if (!python || !*python)
        python = "python3";
    const char *const *preferences = NULL;
    const int preference_count = cli_preferences(&preferences);
    /* PYTHON -c PROGRAM [--option=VALUE]... -- KIND FILE OUT NULL */
    const size_t most = 11 + (size_t)settings.filters.count + (size_t)preference_count;
    char **arguments = calloc(most, sizeof *arguments);
    if (!arguments) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return CLI_FAILED;
    }
    /* The first three and the last four are not allocated here. */
    size_t n = 3;
    int status = CLI_OK;
    for (int i = 0; status == CLI_OK && i < settings.filters.count; ++i)
        status = add_option(arguments, &n, "--display-filter", settings.filters.items[i]);
    for (int i = 0; status == CLI_OK && i < preference_count; ++i)
        status = add_option(arguments, &n, "--preference", preferences[i]);
    if (status == CLI_OK && settings.interval)
        status = add_option(arguments, &n, "--interval", settings.interval);
    if (status == CLI_OK && settings.width)
        status = add_option(arguments, &n, "--width", settings.width);
    if (status == CLI_OK && settings.height)
        status = add_option(arguments, &n, "--height", settings.height);
    const size_t options_end = n;
    if (status == CLI_OK) {
        arguments[0] = (char *)python;
        arguments[1] = (char *)"-c";
        arguments[2] = (char *)program;
        arguments[n++] = (char *)"--";
        arguments[n++] = (char *)settings.kind;
        arguments[n++] = (char *)settings.file;
        arguments[n++] = (char *)settings.out;
        arguments[n] = NULL;
        status = spawn(python, arguments);
    }
    for (size_t i = 3; i < options_end; ++i)
        free(arguments[i]);
    free(arguments);
    return status;
}

const cli_verb cli_plot_verb = {
    "plot",
    "plot io|phs FILE OUT.png [-i INTERVAL] [-Y FILTER]... [--width PIXELS] [--height PIXELS]",
    "Draws the capture's traffic over time (io: frames and bytes per interval,\n"
    "a line per -Y series) or its protocol hierarchy (phs: frames per protocol)\n"
    "into a PNG file, from the engine's statistics. The drawing is the Python\n"
    "package's (wsbridge.plot, with matplotlib): it runs the interpreter that\n"
    "WSBRIDGE_PYTHON names, else python3.",
    plot_options,
    run_plot,
    check_plot,
};
