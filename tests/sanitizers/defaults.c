/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Default options of the sanitizer runtimes, built into every program of a
 * sanitizer build (WSB_SANITIZE / WSB_FUZZ) so that a plain ctest run uses
 * the suppressions of this folder. Options given in ASAN_OPTIONS,
 * LSAN_OPTIONS or UBSAN_OPTIONS are applied on top of these. */

#define WSB_RUNTIME_DEFAULT __attribute__((visibility("default"), used))

WSB_RUNTIME_DEFAULT const char *__asan_default_options(void)
{
    /* The engine's libraries are not instrumented: their globals cannot be
     * checked for one-definition violations. */
    return "detect_leaks=1:detect_odr_violation=0:abort_on_error=0:print_summary=1";
}

WSB_RUNTIME_DEFAULT const char *__lsan_default_options(void)
{
    return "suppressions=" WSB_SANITIZER_DIR "/lsan.supp:print_suppressions=0";
}

WSB_RUNTIME_DEFAULT const char *__ubsan_default_options(void)
{
    return "print_stacktrace=1:halt_on_error=1:suppressions=" WSB_SANITIZER_DIR "/ubsan.supp";
}
