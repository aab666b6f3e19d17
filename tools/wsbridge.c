/* wsbridge: the library's command-line host. It uses only the public header:
 * each verb starts the engine, does one job and shuts the engine down. */
#include <stdio.h>
#include <string.h>

#include "cli/cli.h"

static const struct {
    const char *name;
    int (*run)(int argc, char **argv);
    const char *usage;
} verbs[] = {
    {"summary", cli_summary, "summary FILE"},
    {"fields", cli_fields, "fields NAME... | fields FILE -e FIELD [-e FIELD ...] [--offsets]"},
    {"tree", cli_tree, "tree FILE FRAME"},
    {"save", cli_save, "save FILE OUT FRAMES [--skip-tcp-repeats]"},
    {"follow", cli_follow, "follow tcp|udp FILE FRAME [--format ascii|ebcdic|hexdump|carray] [--direction client|server|both]"},
};

static int usage(void)
{
    fprintf(stderr, "usage:\n");
    for (size_t i = 0; i < sizeof verbs / sizeof verbs[0]; ++i)
        fprintf(stderr, "  wsbridge %s\n", verbs[i].usage);
    return 2;
}

int cli_fail(const char *what)
{
    fprintf(stderr, "wsbridge: %s: %s\n", what, gGetLastError());
    return 1;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    for (size_t i = 0; i < sizeof verbs / sizeof verbs[0]; ++i) {
        if (strcmp(argv[1], verbs[i].name) != 0)
            continue;
        if (gInitEpan() != 0)
            return cli_fail("start");
        int status = verbs[i].run(argc - 2, argv + 2);
        gCleanupEpan();
        return status == 2 ? usage() : status;
    }
    return usage();
}
