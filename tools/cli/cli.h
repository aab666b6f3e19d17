/* Verbs of the wsbridge command-line host. Each runs with the engine started
 * and returns the process exit status. */
#ifndef WSBRIDGE_CLI_H
#define WSBRIDGE_CLI_H

#include "wsbridge.h"

/* Prints "wsbridge: WHAT: <library message>" and returns 1. */
int cli_fail(const char *what);

int cli_summary(int argc, char **argv);
int cli_fields(int argc, char **argv);
int cli_tree(int argc, char **argv);
int cli_save(int argc, char **argv);
int cli_follow(int argc, char **argv);

#endif
