/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge: the library's command-line host. It uses only the public header:
 * each verb starts the engine, does one job and shuts the engine down. This
 * file finds the verb and runs it; each verb's record (its usage, its option
 * table and what runs it) lives in its own file under cli/. */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "wsbridge.h"
#include "cli/engine.h"
#include "cli/input.h"
#include "cli/jobs.h"
#include "cli/live.h"
#include "cli/options.h"
#include "cli/output.h"
#include "cli/report.h"
#include "cli/verbs.h"

static const cli_verb *const verbs[] = {
    &cli_summary_verb, &cli_fields_verb, &cli_tree_verb, &cli_save_verb, &cli_follow_verb,
    &cli_plot_verb,
};
enum { verb_count = sizeof verbs / sizeof verbs[0] };

static const cli_verb *find_verb(const char *name)
{
    for (int i = 0; name && i < verb_count; ++i)
        if (strcmp(name, verbs[i]->name) == 0)
            return verbs[i];
    return NULL;
}

static void print_help(void)
{
    printf("usage: wsbridge VERB ARGUMENTS...\n"
           "       wsbridge --help | --version | -D\n"
           "       wsbridge VERB --help\n"
           "\n"
           "The command-line host of the wsbridge library (the Wireshark dissection engine\n"
           "behind a flat C interface). Verbs:\n");
    for (int i = 0; i < verb_count; ++i)
        printf("  wsbridge %s\n", verbs[i]->synopsis);
    printf("\nEvery verb takes -o NAME:VALUE, an engine preference as tshark -o sets it.\n");
    printf("\nsummary, fields and save capture on an interface with -i IFACE instead of\n"
           "reading FILE; wsbridge -D (--list-interfaces) lists the interfaces, as\n"
           "tshark -D.\n");
    printf("\nFILE may be '-' for standard input. Progress shows on stderr when it is a\n"
           "terminal. Exit status: 0 done, 1 failed, 2 usage error.\n");
}

/* The versions as the library reports them: its own and the engine's. */
static int print_version(void)
{
    const char *library = NULL, *engine = NULL;
    if (gGetVersion(&library, &engine) != WSB_OK)
        return cli_fail("version");
    printf("wsbridge %s\nWireshark engine (libwireshark) %s\n", library, engine);
    return CLI_OK;
}

/* Output went into a closed pipe: end as a writer killed by SIGPIPE does,
 * quietly, now that the engine has cleaned up after itself. */
static void end_on_broken_pipe(void)
{
    fflush(stderr);
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
}

int main(int argc, char **argv)
{
    cli_guard_standard_descriptors();
    if (argc < 2)
        return cli_usage_error(NULL, "no verb given");
    const char *first = argv[1];
    if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 || strcmp(first, "help") == 0) {
        /* "help VERB" is "VERB --help"; an unknown VERB gets the whole help. */
        const cli_verb *verb = strcmp(first, "help") == 0 && argc > 2 ? find_verb(argv[2]) : NULL;
        if (verb)
            cli_print_verb_help(verb);
        else
            print_help();
        return cli_finish_output();
    }
    if (strcmp(first, "--version") == 0 || strcmp(first, "-V") == 0) {
        int status = print_version();
        return status == CLI_OK ? cli_finish_output() : status;
    }
    if (strcmp(first, "-D") == 0 || strcmp(first, "--list-interfaces") == 0) {
        int status = cli_list_interfaces();
        if (status == CLI_OK)
            status = cli_finish_output();
        cli_stop_engine();
        return status;
    }
    const cli_verb *verb = find_verb(first);
    if (!verb) {
        if (first[0] == '-')
            return cli_usage_error(NULL, "unknown option '%s'", first);
        return cli_usage_error(NULL, "unknown verb '%s'", first);
    }
    int status = cli_parse(verb, argc - 2, argv + 2);
    if (status == CLI_HELP_SHOWN)
        return cli_finish_output();
    if (status == CLI_OK)
        status = cli_live_check(verb);
    if (status == CLI_OK && verb->check)
        status = verb->check();
    /* With --jobs the parent merges what the workers' runs print. */
    if (status == CLI_OK && !cli_jobs_run(verb, &status))
        status = verb->run();
    if (status == CLI_OK)
        status = cli_finish_output();
    cli_stop_engine();
    cli_forget_arguments(verb);
    if (cli_output_broken_pipe())
        end_on_broken_pipe();
    return status;
}
