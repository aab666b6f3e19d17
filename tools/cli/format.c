/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Numbers, times, JSON strings and CSV fields; see format.h. */
#include "format.h"

#include <string.h>

/* Writes the decimal digits of value at out; returns their count. */
size_t cli_put_unsigned(char *out, uint64_t value)
{
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    for (size_t i = 0; i < count; ++i)
        out[i] = digits[count - 1 - i];
    return count;
}

size_t cli_put_fraction(char *out, uint32_t nanoseconds, int32_t decimals)
{
    if (decimals <= 0)
        return 0;
    if (decimals > 9)
        decimals = 9;
    for (int i = decimals; i < 9; ++i)
        nanoseconds /= 10;
    out[0] = '.';
    for (int i = decimals; i > 0; --i) {
        out[i] = (char)('0' + nanoseconds % 10);
        nanoseconds /= 10;
    }
    return (size_t)decimals + 1;
}

void cli_format_relative_time(char *out, size_t size, const PacketSummary *packet, int64_t first_seconds,
                              int32_t first_nanoseconds, int32_t decimals)
{
    /* Formatted by hand: the summary formats one per packet. The difference
     * is worked out as a sign, seconds and nanoseconds, in unsigned
     * arithmetic: time stamps of any two 64-bit seconds values (a pcapng
     * capture's can be 584,000 years apart) differ without overflow. */
    char text[48];
    size_t length = 0;
    int negative = packet->time_seconds < first_seconds;
    uint64_t seconds = negative ? (uint64_t)first_seconds - (uint64_t)packet->time_seconds
                                : (uint64_t)packet->time_seconds - (uint64_t)first_seconds;
    int64_t nanoseconds = (int64_t)packet->time_nanoseconds - first_nanoseconds;
    if (negative)
        nanoseconds = -nanoseconds;
    if (nanoseconds < 0 && seconds > 0) {
        seconds -= 1;
        nanoseconds += 1000000000;
    } else if (nanoseconds < 0) {
        negative = !negative;
        nanoseconds = -nanoseconds;
    }
    if (negative && (seconds > 0 || nanoseconds > 0))
        text[length++] = '-';
    length += cli_put_unsigned(text + length, seconds);
    length += cli_put_fraction(text + length, (uint32_t)nanoseconds, decimals);
    if (size == 0)
        return;
    if (length >= size)
        length = size - 1;
    memcpy(out, text, length);
    out[length] = '\0';
}

/* Length of the valid UTF-8 sequence at p (1 to 4), or 0. */
static int utf8_length(const unsigned char *p)
{
    int length;
    uint32_t code;
    if (p[0] < 0x80)
        return 1;
    if ((p[0] & 0xE0) == 0xC0) {
        length = 2;
        code = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        length = 3;
        code = p[0] & 0x0F;
    } else if ((p[0] & 0xF8) == 0xF0) {
        length = 4;
        code = p[0] & 0x07;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    static const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void cli_json_string(FILE *out, const char *text)
{
    putc('"', out);
    const unsigned char *p = (const unsigned char *)(text ? text : "");
    while (*p) {
        if (*p == '"' || *p == '\\') {
            putc('\\', out);
            putc(*p++, out);
        } else if (*p == '\n') {
            fputs("\\n", out);
            ++p;
        } else if (*p == '\t') {
            fputs("\\t", out);
            ++p;
        } else if (*p == '\r') {
            fputs("\\r", out);
            ++p;
        } else if (*p < 0x20 || *p == 0x7F) {
            fprintf(out, "\\u%04x", *p++);
        } else {
            int length = utf8_length(p);
            if (length == 0) {
                fputs("\\ufffd", out);
                ++p;
            } else {
                fwrite(p, 1, (size_t)length, out);
                p += length;
            }
        }
    }
    putc('"', out);
}

void cli_csv_field(FILE *out, const char *text)
{
    if (!text)
        text = "";
    if (!strpbrk(text, ",\"\r\n")) {
        fputs(text, out);
        return;
    }
    putc('"', out);
    for (const char *p = text; *p; ++p) {
        if (*p == '"')
            putc('"', out);
        putc(*p, out);
    }
    putc('"', out);
}
