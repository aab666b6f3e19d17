/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The verbs' arguments. Each verb has one table that names every option and
 * positional argument it takes, says where its value goes and describes it:
 * the table parses the command line into the verb's settings and prints the
 * verb's --help. */
#ifndef WSBRIDGE_CLI_OPTIONS_H
#define WSBRIDGE_CLI_OPTIONS_H

#include <stdint.h>

/* What an entry does with its value, and so what its target is. */
typedef enum {
    CLI_FLAG,       /* int: set to 1 (no target: taken and ignored) */
    CLI_TEXT,       /* const char *: the value; given again, the last counts */
    CLI_TEXTS,      /* cli_texts: the value appended (repeatable) */
    CLI_FILE,       /* const char *: the capture; one only, a second one is
                       refused however it is given (as FILE or -r FILE) */
    CLI_COUNT,      /* uint64_t: a packet count from 1 on */
    CLI_JOBS,       /* int: a number of processes from 1 to 64 */
    CLI_SETS,       /* int: set to the entry's value; the entries of one
                       target exclude each other (the target starts at 0,
                       which none of them sets) */
    CLI_CHOICE,     /* int: the value of the choice named */
    CLI_PARSED,     /* anything: the entry's own function takes the value */
    CLI_PREFERENCE  /* no target: an engine preference, kept for the engine
                       as soon as it is read (engine.h) */
} cli_option_kind;

/* The values of a repeatable entry, in the order given. The parser
 * allocates items; cli_forget_arguments frees them. */
typedef struct {
    const char **items;
    int count;
} cli_texts;

/* One value a CLI_CHOICE takes. Unlisted ones (another name of a listed
 * value) are taken but not named in messages. A list ends with a NULL name. */
typedef struct {
    const char *name;
    int value;
    int unlisted;
} cli_choice;

/* One entry of a verb's table: an option ("-c", "--json") or, when its name
 * does not start with '-', a positional argument ("FILE"). Positional
 * arguments are taken in the order of their entries: a CLI_TEXT one takes
 * one word, a CLI_TEXTS or CLI_FILE one every word left; a word left over is
 * refused as unexpected after them. A table ends with an entry whose name is
 * NULL. */
typedef struct {
    const char *name;
    /* Another spelling, or NULL. A one-letter alias ("-j") is shown beside
     * the name in --help; a long one is another program's or an older
     * spelling, taken without being shown. */
    const char *alias;
    /* The value's name in --help and in the message for a missing value;
     * a CLI_CHOICE without one shows no name in --help, and both name its
     * listed choices in that message ("client|server|both"). */
    const char *value_name;
    cli_option_kind kind;
    void *target;
    int value;                                      /* CLI_SETS: what it sets */
    const cli_choice *choices;                      /* CLI_CHOICE */
    /* CLI_PARSED: stores the value into target: CLI_OK, CLI_USAGE when it is
     * no value the option takes (refusal is reported), else CLI_FAILED after
     * reporting. */
    int (*take)(const char *value, void *target);
    /* CLI_CHOICE, CLI_PARSED: the usage message for a value refused, in
     * which a single %s stands for the value. */
    const char *refusal;
    /* The entry's text in --help, one line a '\n'; NULL leaves the entry
     * out of --help. */
    const char *help;
} cli_option;

/* Entries several verbs' tables share: the capture argument (CLI_FILE or,
 * for a verb that takes names too, CLI_TEXTS), -Y, -c, --jobs and the
 * structured outputs (format.h). */
#define CLI_FILE_ARGUMENT(kind, target) \
    {"FILE", NULL, NULL, (kind), (target), .help = "the capture; '-' reads it from standard input"}
#define CLI_FILTER_OPTION(target, text) {"-Y", "--display-filter", "FILTER", CLI_TEXT, (target), .help = (text)}
#define CLI_COUNT_OPTION(target) {"-c", NULL, "COUNT", CLI_COUNT, (target), .help = "stop after COUNT packets"}
#define CLI_JOBS_OPTION(target, text) {"--jobs", "-j", "N", CLI_JOBS, (target), .help = (text)}
#define CLI_JSON_OPTION(target, text) {"--json", NULL, NULL, CLI_SETS, (target), CLI_JSON_OUTPUT, .help = (text)}
#define CLI_CSV_OPTION(target, text) {"--csv", NULL, NULL, CLI_SETS, (target), CLI_CSV_OUTPUT, .help = (text)}

/* A verb of the command, in a file of its own: its name, its usage line
 * and description, its table (whose targets are the verb's settings), and
 * what runs it once the table has parsed its arguments (the exit status,
 * report.h). A verb whose table has --jobs (CLI_JOBS) checks its settings
 * first, in check (or NULL): the workers of --jobs then each run it on
 * their share of the capture (jobs.h). */
typedef struct {
    const char *name;
    const char *synopsis;    /* the usage line after "wsbridge " */
    const char *description; /* printed before the entries of the table */
    const cli_option *options;
    int (*run)(void);
    int (*check)(void);
} cli_verb;

/* What cli_parse returns when it printed the verb's help instead. */
enum { CLI_HELP_SHOWN = -1 };

/* Parses a verb's arguments into the targets of its table. --help or -h
 * anywhere before "--" prints the verb's help instead (CLI_HELP_SHOWN).
 * Options and positional arguments may be mixed; "--" ends the options;
 * "-" and negative numbers are positional. Values come as "--name VALUE",
 * "--name=VALUE" or "-cVALUE". Every verb takes -o NAME:VALUE (also
 * -oNAME:VALUE), an engine preference.
 * The words are read first: an unknown option, a missing value or a
 * malformed -o is reported in the order given; then the values are stored
 * in the order given, the first one refused reported. CLI_OK, or CLI_USAGE
 * / CLI_FAILED after reporting. */
int cli_parse(const cli_verb *verb, int argc, char **argv);

/* How many options (-o aside) the last cli_parse took. */
int cli_options_given(void);

/* Frees what cli_parse allocated for the verb's repeatable entries. */
void cli_forget_arguments(const cli_verb *verb);

/* Prints the help of a verb from its table on stdout. */
void cli_print_verb_help(const cli_verb *verb);

/* Parses a frame number (1 to 4294967295) or reports a usage error naming
 * what it is for. */
int cli_parse_frame(const char *verb, const char *what, const char *text, uint32_t *frame);

#endif
