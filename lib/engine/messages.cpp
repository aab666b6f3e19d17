// SPDX-License-Identifier: GPL-2.0-or-later
// Capture-file error messages, keyed on wiretap's named error codes.
#include "wsbridge.h"
#include "engine/messages.h"

#include <glib.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>

#include "engine/state.h"

namespace {

char open_error_text[1025];
char read_error_text[1025];
char sequential_read_error_text[1025];

const char *detail_or_default(const char *detail)
{
    return detail ? detail : "no details given";
}

}  // namespace

const char *describe_open_error(int err, const char *detail, bool for_writing, const char *path, int file_type)
{
    char *buffer = open_error_text;
    const gulong size = sizeof open_error_text;
    if (err >= 0) {
        g_snprintf(buffer, size, file_open_error_message(err, for_writing), path);
        return buffer;
    }
    switch (err) {
    case WTAP_ERR_NOT_REGULAR_FILE:
        g_snprintf(buffer, size, "The file \"%s\" is a \"special file\" or socket or other non-regular file.", path);
        break;
    case WTAP_ERR_FILE_UNKNOWN_FORMAT:
        g_snprintf(buffer, size, "The file \"%s\" isn't a capture file in an understandable format.", path);
        break;
    case WTAP_ERR_UNSUPPORTED:
        g_snprintf(buffer, size, "The file \"%s\" isn't a capture file in an understandable format.\n(%s)", path,
                   detail_or_default(detail));
        break;
    case WTAP_ERR_CANT_WRITE_TO_PIPE: {
        const char *type_name = wtap_file_type_subtype_name(file_type);
        g_snprintf(buffer, size, "The file \"%s\" is a pipe, and %s capture files can't be written to a pipe.", path,
                   type_name ? type_name : "such");
        break;
    }
    case WTAP_ERR_CANT_OPEN:
        g_snprintf(buffer, size,
                   for_writing ? "The file \"%s\" could not be created for some unknown reason."
                               : "The file \"%s\" could not be opened for some unknown reason.",
                   path);
        break;
    case WTAP_ERR_UNWRITABLE_FILE_TYPE:
        return "Cannot write capture files in that format.";
    case WTAP_ERR_UNWRITABLE_ENCAP:
        if (for_writing)
            return "Cannot save this capture in that format.";
        g_snprintf(buffer, size, "The file \"%s\" is a capture for a network type that is not supported.\n(%s)", path,
                   detail_or_default(detail));
        break;
    case WTAP_ERR_ENCAP_PER_PACKET_UNSUPPORTED:
        if (for_writing)
            return "Cannot save this capture in that format.";
        g_snprintf(buffer, size, "The file \"%s\" is a capture for a network type that is not supported.", path);
        break;
    case WTAP_ERR_SHORT_READ:
        g_snprintf(buffer, size,
                   "The file \"%s\" appears to have been cut short in the middle of a packet or other data.", path);
        break;
    case WTAP_ERR_BAD_FILE:
        g_snprintf(buffer, size, "The file \"%s\" appears to be damaged or corrupt.\n(%s)", path,
                   detail_or_default(detail));
        break;
    case WTAP_ERR_SHORT_WRITE:
        g_snprintf(buffer, size, "A full header couldn't be written to the file \"%s\".", path);
        break;
    default:
        g_snprintf(buffer, size, "The file \"%s\" could not be %s: %s.", path, for_writing ? "created" : "opened",
                   wtap_strerror(err));
        break;
    }
    return buffer;
}

const char *describe_read_error(int err, const char *detail, const char *path)
{
    switch (err) {
    case WTAP_ERR_BAD_FILE:
        g_snprintf(read_error_text, sizeof read_error_text,
                   "An error occurred while reading from the file \"%s\": %s.\n(%s)", path, wtap_strerror(err),
                   detail_or_default(detail));
        break;
    case WTAP_ERR_UNWRITABLE_ENCAP:
    case WTAP_ERR_UNSUPPORTED:
        g_snprintf(read_error_text, sizeof read_error_text,
                   "The file \"%s\" has a packet with a network type that is not supported.\n(%s)", path,
                   detail_or_default(detail));
        break;
    default:
        g_snprintf(read_error_text, sizeof read_error_text, "An error occurred while reading from the file \"%s\": %s.",
                   path, wtap_strerror(err));
        break;
    }
    return read_error_text;
}

void describe_close_error(int err, const char *path)
{
    if (err >= 0) {
        // The system's own text for the error; its write-error message would
        // name the file a second time.
        set_error_format(WSB_E_FILE, "An error occurred while closing file \"%s\": %s.", path, g_strerror(err));
        return;
    }
    switch (err) {
    case WTAP_ERR_SHORT_WRITE:
        set_error_format(WSB_E_FILE, "Not all the packets could be written to the file \"%s\".", path);
        break;
    case WTAP_ERR_CANT_CLOSE:
        set_error_format(WSB_E_FILE, "The file \"%s\" couldn't be closed for some unknown reason.", path);
        break;
    default:
        set_error_format(WSB_E_FILE, "An error occurred while closing the file \"%s\": %s.", path, wtap_strerror(err));
        break;
    }
}

const char *describe_sequential_read_error(int err, const char *detail)
{
    char *buffer = sequential_read_error_text;
    const gulong size = sizeof sequential_read_error_text;
    switch (err) {
    case WTAP_ERR_BAD_FILE:
        g_snprintf(buffer, size, "The capture file appears to be damaged or corrupt.\n(%s)", detail_or_default(detail));
        break;
    case WTAP_ERR_SHORT_READ:
        return "The capture file appears to have been cut short in the middle of a packet.";
    case WTAP_ERR_UNWRITABLE_ENCAP:
    case WTAP_ERR_UNSUPPORTED:
        g_snprintf(buffer, size, "The capture file has a packet with a network type that is not supported.\n(%s)",
                   detail_or_default(detail));
        break;
    default:
        g_snprintf(buffer, size, "An error occurred while reading the capture file: %s.", wtap_strerror(err));
        break;
    }
    return buffer;
}
