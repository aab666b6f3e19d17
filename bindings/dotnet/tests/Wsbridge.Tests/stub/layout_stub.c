/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A stand-in for libwsbridge whose records are laid out differently: it
 * forwards gGetLastError and gGetRecordLayout to the real library (named by
 * WSB_REAL_LIBRARY) but reports PacketSummary.info_text 4 bytes further on.
 * Built with -DWITHOUT_LAYOUT it lacks gGetRecordLayout, as a library older
 * than the binding. The binding must refuse both before handing a record. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static void *real(const char *name)
{
    static void *library;
    if (!library)
        library = dlopen(getenv("WSB_REAL_LIBRARY"), RTLD_NOW);
    return library ? dlsym(library, name) : NULL;
}

const char *gGetLastError(void)
{
    const char *(*function)(void) = (const char *(*)(void))real("gGetLastError");
    return function ? function() : "";
}

int32_t gInitEpan(void)
{
    return 0;
}

#ifndef WITHOUT_LAYOUT
int32_t gGetRecordLayout(const char *record, const char *member, int32_t *offset, int32_t *size)
{
    int32_t (*function)(const char *, const char *, int32_t *, int32_t *) =
        (int32_t (*)(const char *, const char *, int32_t *, int32_t *))real("gGetRecordLayout");
    int32_t status = function ? function(record, member, offset, size) : 1;
    if (status == 0 && record && member && strcmp(record, "PacketSummary") == 0 && strcmp(member, "info_text") == 0)
        *offset += 4;
    return status;
}
#endif
