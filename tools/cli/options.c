/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Parsing the verbs' arguments through their tables, and their help; see
 * options.h. */
#include "options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine.h"
#include "report.h"

/* -o, which every verb takes: looked up before the verb's own table and
 * printed after it. */
static const cli_option preference_option = {
    "-o", NULL, "NAME:VALUE", CLI_PREFERENCE,
    .help = "an engine preference, as tshark -o sets it (repeat for more);\n"
            "-o tcp.desegment_tcp_streams:TRUE turns TCP reassembly back on"};

/* The column where the help texts start: "  LABEL" padded to it, or a label
 * wider than that followed by two spaces. */
enum { help_indent = 16 };

static struct {
    int options_given;
} parsing;

static int is_positional(const cli_option *entry)
{
    return entry->name[0] != '-';
}

static int takes_value(const cli_option *entry)
{
    switch (entry->kind) {
    case CLI_FLAG:
    case CLI_SETS:
        return 0;
    default:
        return 1;
    }
}

static int looks_negative_number(const char *text)
{
    if (text[0] != '-' || text[1] < '0' || text[1] > '9')
        return 0;
    for (const char *p = text + 1; *p; ++p)
        if ((*p < '0' || *p > '9') && *p != '.' && *p != ',')
            return 0;
    return 1;
}

static int is_help(const char *word)
{
    return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0;
}

/* Joins the listed choices of a CLI_CHOICE: "a|b|c". */
static void join_choices(char *out, size_t size, const cli_choice *choices)
{
    size_t length = 0;
    out[0] = '\0';
    for (const cli_choice *choice = choices; choice->name && length < size; ++choice)
        if (!choice->unlisted)
            length += (size_t)snprintf(out + length, size - length, "%s%s", length ? "|" : "", choice->name);
}

/* Joins the names of entries that pass `wanted`: "FILE and FRAME",
 * "tcp|udp, FILE and FRAME". */
static void join_names(char *out, size_t size, const cli_option *options, const void *target,
                       int (*wanted)(const cli_option *entry, const void *target))
{
    int total = 0, joined = 0;
    for (const cli_option *entry = options; entry->name; ++entry)
        total += wanted(entry, target);
    size_t length = 0;
    out[0] = '\0';
    for (const cli_option *entry = options; entry->name && length < size; ++entry) {
        if (!wanted(entry, target))
            continue;
        const char *before = joined == 0 ? "" : joined + 1 < total ? ", " : " and ";
        length += (size_t)snprintf(out + length, size - length, "%s%s", before, entry->name);
        ++joined;
    }
}

static int is_positional_entry(const cli_option *entry, const void *target)
{
    (void)target;
    return is_positional(entry);
}

static int sets_target(const cli_option *entry, const void *target)
{
    return entry->kind == CLI_SETS && entry->target == target;
}

/* Whether word spells entry; *inline_value gets what follows "=" (long
 * options) or the short option's letter. */
static int spells(const char *word, const cli_option *entry, const char **inline_value)
{
    const char *spellings[] = {entry->name, entry->alias};
    for (size_t s = 0; s < sizeof spellings / sizeof spellings[0]; ++s) {
        const char *name = spellings[s];
        if (!name)
            continue;
        size_t length = strlen(name);
        if (strncmp(word, name, length) != 0)
            continue;
        if (word[length] == '\0')
            return 1;
        if (takes_value(entry) && name[1] == '-' && word[length] == '=') {
            *inline_value = word + length + 1;
            return 1;
        }
        if (takes_value(entry) && name[1] != '-' && length == 2) {
            *inline_value = word + 2;
            return 1;
        }
    }
    return 0;
}

/* The option a word names: -o, else one of the verb's table. */
static const cli_option *find_option(const char *word, const cli_option *options, const char **inline_value)
{
    *inline_value = NULL;
    if (spells(word, &preference_option, inline_value))
        return &preference_option;
    for (const cli_option *entry = options; entry->name; ++entry)
        if (!is_positional(entry) && spells(word, entry, inline_value))
            return entry;
    return NULL;
}

static int parse_positive(const char *text, uint64_t limit, uint64_t *value)
{
    if (*text < '0' || *text > '9')
        return 0;
    errno = 0;
    char *end = NULL;
    unsigned long long parsed = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed == 0 || parsed > limit)
        return 0;
    *value = parsed;
    return 1;
}

static int parse_jobs(const char *text, int *jobs)
{
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || !end || *end != '\0' || end == text || value < 1 || value > 64)
        return 0;
    *jobs = (int)value;
    return 1;
}

static int append(cli_texts *texts, int room, const char *value)
{
    if (!texts->items && !(texts->items = calloc((size_t)room, sizeof *texts->items))) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return CLI_FAILED;
    }
    texts->items[texts->count++] = value;
    return CLI_OK;
}

/* One word of the command line once read: the entry it is for (a
 * positional argument's is found when it is stored) and its value. */
typedef struct {
    const cli_option *entry;
    const char *value;
} given_word;

/* Stores the value of an option into its target. room: how many values a
 * repeatable entry may receive at most. */
static int store_option(const char *verb, const cli_option *options, const cli_option *entry, const char *value,
                        int room)
{
    switch (entry->kind) {
    case CLI_FLAG:
        if (entry->target)
            *(int *)entry->target = 1;
        return CLI_OK;
    case CLI_TEXT:
        *(const char **)entry->target = value;
        return CLI_OK;
    case CLI_TEXTS:
        return append(entry->target, room, value);
    case CLI_FILE: {
        const char **path = entry->target;
        if (*path)
            return cli_usage_error(verb, "one FILE only, but '%s' follows '%s'", value, *path);
        *path = value;
        return CLI_OK;
    }
    case CLI_COUNT:
        if (!parse_positive(value, UINT64_MAX, entry->target))
            return cli_usage_error(verb, "%s needs a packet count from 1 on, not '%s'", entry->name, value);
        return CLI_OK;
    case CLI_JOBS:
        if (!parse_jobs(value, entry->target))
            return cli_usage_error(verb, "%s needs a number of processes from 1 to 64, not '%s'", entry->name,
                                   value);
        return CLI_OK;
    case CLI_SETS: {
        int *target = entry->target;
        if (*target != 0 && *target != entry->value) {
            char names[256];
            join_names(names, sizeof names, options, target, sets_target);
            return cli_usage_error(verb, "%s exclude each other", names);
        }
        *target = entry->value;
        return CLI_OK;
    }
    case CLI_CHOICE:
        for (const cli_choice *choice = entry->choices; choice->name; ++choice) {
            if (strcmp(value, choice->name) == 0) {
                *(int *)entry->target = choice->value;
                return CLI_OK;
            }
        }
        return cli_usage_error(verb, entry->refusal, value);
    case CLI_PARSED: {
        const int status = entry->take(value, entry->target);
        return status == CLI_USAGE ? cli_usage_error(verb, entry->refusal, value) : status;
    }
    case CLI_PREFERENCE:
        return CLI_OK; /* kept as it was read */
    }
    return CLI_OK;
}

/* Stores a positional argument into the entry whose turn it is (*next
 * walks the table). */
static int store_positional(const char *verb, const cli_option *options, const cli_option **next, const char *word,
                            int room)
{
    while ((*next)->name && !is_positional(*next))
        ++*next;
    if (!(*next)->name) {
        char names[256];
        join_names(names, sizeof names, options, NULL, is_positional_entry);
        return cli_usage_error(verb, "unexpected argument '%s' after %s", word, names);
    }
    const cli_option *entry = *next;
    if (entry->kind == CLI_TEXT)
        ++*next;
    return store_option(verb, options, entry, word, room);
}

int cli_parse(const cli_verb *verb, int argc, char **argv)
{
    const cli_option *options = verb->options;
    parsing.options_given = 0;
    for (int i = 0; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (is_help(argv[i])) {
            cli_print_verb_help(verb);
            return CLI_HELP_SHOWN;
        }
    }
    /* The words in the order given; their values are stored once every
     * word is known. */
    given_word given[argc > 0 ? argc : 1];
    int given_count = 0, options_ended = 0;
    for (int i = 0; i < argc; ++i) {
        const char *word = argv[i];
        if (options_ended || word[0] != '-' || word[1] == '\0' || looks_negative_number(word)) {
            given[given_count++] = (given_word){NULL, word};
            continue;
        }
        if (strcmp(word, "--") == 0) {
            options_ended = 1;
            continue;
        }
        const char *value = NULL;
        const cli_option *entry = find_option(word, options, &value);
        if (!entry)
            return cli_usage_error(verb->name, "unknown option '%s'", word);
        if (takes_value(entry) && !value) {
            if (i + 1 >= argc) {
                char choices[256];
                const char *wanted = entry->value_name;
                if (entry->kind == CLI_CHOICE) {
                    join_choices(choices, sizeof choices, entry->choices);
                    wanted = choices;
                }
                return cli_usage_error(verb->name, "option '%s' needs a value (%s)", word, wanted);
            }
            value = argv[++i];
        }
        if (entry->kind == CLI_PREFERENCE) {
            const int status = cli_add_preference(verb->name, value);
            if (status != CLI_OK)
                return status;
            continue;
        }
        given[given_count++] = (given_word){entry, value};
    }
    const cli_option *next_positional = options;
    for (int i = 0; i < given_count; ++i) {
        const int status =
            given[i].entry ? store_option(verb->name, options, given[i].entry, given[i].value, argc)
                           : store_positional(verb->name, options, &next_positional, given[i].value, argc);
        if (status != CLI_OK)
            return status;
        parsing.options_given += given[i].entry != NULL;
    }
    return CLI_OK;
}

int cli_options_given(void)
{
    return parsing.options_given;
}

void cli_forget_arguments(const cli_verb *verb)
{
    for (const cli_option *entry = verb->options; entry->name; ++entry) {
        if (entry->kind != CLI_TEXTS)
            continue;
        cli_texts *texts = entry->target;
        free(texts->items);
        *texts = (cli_texts){NULL, 0};
    }
}

/* One entry of the help: "  LABEL  TEXT", the text's lines from column
 * help_indent on. The label is the name and its value's name, and a
 * one-letter alias with it: "--jobs N, -j N". */
static void print_entry(const cli_option *entry)
{
    const char *value = entry->value_name;
    const int short_alias = entry->alias && entry->alias[1] != '-';
    char label[256];
    snprintf(label, sizeof label, "%s%s%s%s%s%s%s", entry->name, value ? " " : "", value ? value : "",
             short_alias ? ", " : "", short_alias ? entry->alias : "", short_alias && value ? " " : "",
             short_alias && value ? value : "");
    const int width = help_indent - 3;
    if ((int)strlen(label) <= width)
        printf("  %-*s ", width, label);
    else
        printf("  %s  ", label);
    for (const char *line = entry->help; *line;) {
        size_t length = strcspn(line, "\n");
        printf("%.*s\n", (int)length, line);
        line += length;
        if (*line == '\n' && *++line)
            printf("%*s", help_indent, "");
    }
}

void cli_print_verb_help(const cli_verb *verb)
{
    printf("usage: wsbridge %s\n\n%s\n\n", verb->synopsis, verb->description);
    for (const cli_option *entry = verb->options; entry->name; ++entry)
        if (entry->help)
            print_entry(entry);
    print_entry(&preference_option);
}

int cli_parse_frame(const char *verb, const char *what, const char *text, uint32_t *frame)
{
    uint64_t value = 0;
    if (!parse_positive(text, UINT32_MAX, &value))
        return cli_usage_error(verb, "%s must be a frame number from 1 on, not '%s'", what, text);
    *frame = (uint32_t)value;
    return CLI_OK;
}
