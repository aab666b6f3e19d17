// SPDX-License-Identifier: GPL-2.0-or-later
// Saving chosen packets of the open capture into a new libpcap file.
//
// Each saved packet is re-read at its file offset and becomes the current
// packet. A request with its skip flag set has it dissected for the TCP tap
// listener (no labels, no columns) and asks the sequence tracker whether the
// packet only repeats bytes its direction of the tracked conversation already
// wrote; such packets are left out of the file. Other requests leave the
// dissection to the first call that reads it.
#include "save/save_state.h"

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "engine/messages.h"
#include "dissection/dissection.h"

save_state_record save_state;

namespace {

const char beyond_2gb_message[] =
    "You can not save a packet if its offset in the original file exceeds 2GB.\n"
    "You have to split the capture in order to do such operation.";

// Bytes of an address the tracker compares: 4 for IPv4, 16 for IPv6, 0 for
// anything else (or an address shorter than its type says).
int tracked_address_length(const address *addr)
{
    if (!addr || !addr->data)
        return 0;
    if (addr->type == AT_IPv4 && addr->len >= 4)
        return 4;
    if (addr->type == AT_IPv6 && addr->len >= 16)
        return 16;
    return 0;
}

bool same_bytes(const address *addr, const uint8_t *stored, int length)
{
    return memcmp(addr->data, stored, static_cast<size_t>(length)) == 0;
}

// Places a raw sequence number on the direction's running 64-bit count,
// relative to the last one seen, and makes it the new anchor.
int64_t unwrapped_position(sequence_slot &slot, uint32_t sequence)
{
    const int64_t position =
        slot.anchor_position + static_cast<int32_t>(sequence - slot.anchor_sequence);  // modulo 2^32
    slot.anchor_sequence = sequence;
    slot.anchor_position = position;
    return position;
}

bool already_written(const sequence_slot &slot, int64_t first, int64_t end)
{
    for (int i = 0; i < slot.range_count; ++i) {
        if (slot.ranges[i].first <= first && end <= slot.ranges[i].end)
            return true;
    }
    return false;
}

// Adds [first, end) to the direction's written ranges, merging the ranges it
// overlaps or touches. With every place taken the lowest range is forgotten.
void record_written(sequence_slot &slot, int64_t first, int64_t end)
{
    written_range merged{first, end};
    int kept = 0;
    int insert_at = 0;
    for (int i = 0; i < slot.range_count; ++i) {
        const written_range range = slot.ranges[i];
        if (range.end < merged.first || merged.end < range.first) {
            if (range.end < merged.first)
                insert_at = kept + 1;
            slot.ranges[kept++] = range;
            continue;
        }
        merged.first = range.first < merged.first ? range.first : merged.first;
        merged.end = range.end > merged.end ? range.end : merged.end;
    }
    if (kept == written_range_limit) {
        memmove(&slot.ranges[0], &slot.ranges[1], sizeof slot.ranges[0] * static_cast<size_t>(kept - 1));
        --kept;
        if (insert_at > 0)
            --insert_at;
    }
    memmove(&slot.ranges[insert_at + 1], &slot.ranges[insert_at],
            sizeof slot.ranges[0] * static_cast<size_t>(kept - insert_at));
    slot.ranges[insert_at] = merged;
    slot.range_count = kept + 1;
}

// The first armed TCP packet after a save file was created names the
// conversation: its source becomes endpoint a, its destination endpoint b.
void adopt_conversation(const packet_info *pinfo)
{
    int length = tracked_address_length(&pinfo->net_src);
    if (length == 0 || tracked_address_length(&pinfo->net_dst) != length)
        return;
    tracked_conversation_record &conversation = save_state.tracked_conversation;
    memset(&conversation, 0, sizeof conversation);
    conversation.address_length = length;
    memcpy(conversation.address_a, pinfo->net_src.data, static_cast<size_t>(length));
    memcpy(conversation.address_b, pinfo->net_dst.data, static_cast<size_t>(length));
    conversation.port_a = pinfo->srcport;
    conversation.port_b = pinfo->destport;
    conversation.known = true;
}

// Installed as the TCP tap listener's hook for the dissection of an armed
// save request. Only the first TCP layer of the packet is judged.
void tracker_tap_entry(packet_info *pinfo, const series_tcp_segment &tcp)
{
    if (save_state.chained_tcp_hook)
        save_state.chained_tcp_hook(pinfo, tcp);
    if (!save_state.tracker_armed)
        return;
    if (!save_state.tracked_conversation.known)
        adopt_conversation(pinfo);

    // Raw sequence numbers: relative ones depend on which packet of the
    // conversation the engine happened to dissect first.
    save_state.tracker_verdict = tcp_sequence_tracker(&pinfo->net_src, &pinfo->net_dst, tcp.raw_sequence, tcp.segment_length,
                                           tcp.syn ? 1 : 0, tcp.fin ? 1 : 0, pinfo->srcport, pinfo->destport);
    save_state.tracker_armed = false;
}

// Opens path for the save file without blocking (a FIFO with no reader would
// wait for ever) and without truncating it yet. Refuses what is not a regular
// file and the capture being read (its packets are re-read from it). Returns
// the descriptor (with what fstat tells of it in *info), or -1 with the
// message written.
int open_save_descriptor(const char *path, struct stat *info)
{
    const int descriptor = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        // ENXIO: a FIFO that no one reads, or a device that is not there.
        const int error = errno == ENXIO ? WTAP_ERR_NOT_REGULAR_FILE : errno;
        set_error_text(WSB_E_FILE, describe_open_error(error, nullptr, true, path, capture_file_type()));
        return -1;
    }
    if (fstat(descriptor, info) != 0) {
        const int error = errno;
        close(descriptor);
        set_error_text(WSB_E_FILE, describe_open_error(error, nullptr, true, path, capture_file_type()));
        return -1;
    }
    if (!S_ISREG(info->st_mode)) {
        close(descriptor);
        set_error_text(WSB_E_FILE, describe_open_error(WTAP_ERR_NOT_REGULAR_FILE, nullptr, true, path, capture_file_type()));
        return -1;
    }
    if (is_open_capture(info->st_dev, info->st_ino)) {
        close(descriptor);
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Create Capture File\" operation failed. The file \"%s\" is the capture being read; save "
                         "to another file.",
                         path);
        return -1;
    }
    const int flags = fcntl(descriptor, F_GETFL);
    if (flags == -1 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1 || ftruncate(descriptor, 0) != 0) {
        const int error = errno;
        close(descriptor);
        set_error_text(WSB_E_FILE, describe_open_error(error, nullptr, true, path, capture_file_type()));
        return -1;
    }
    return descriptor;
}

// After a failed write: whatever of the record reached the file is cut off
// and writing goes on at the end of the last whole record. The dumper's
// buffer is flushed first, so that nothing of the failed record is left to
// be written later.
void cut_back_save_file()
{
    int ignored = 0;
    wtap_dump_flush(save_state.dumper, &ignored);
    if (ftruncate(save_state.descriptor, save_state.complete_size) != 0 ||
        lseek(save_state.descriptor, save_state.complete_size, SEEK_SET) != save_state.complete_size)
        save_state.damaged = true;
}

// The end of the messages of a save file that could not be cut back.
const char *damaged_message_tail()
{
    static char text[save_path_limit + 160];
    snprintf(text, sizeof text,
             "The file \"%s\" could not be cut back to its last whole packet after a failed write: it is "
             "damaged.",
             save_state.path);
    return text;
}

void forget_interface_places()
{
    if (save_state.interface_places)
        g_array_free(save_state.interface_places, TRUE);
    save_state.interface_places = nullptr;
}

// Closes the dumper of a save file that is given up, whatever closing says.
void discard_save_dumper()
{
    gboolean needs_reload = FALSE;
    int err = 0;
    gchar *err_info = nullptr;
    wtap_dump_close(save_state.dumper, &needs_reload, &err, &err_info);
    g_free(err_info);
    save_state.dumper = nullptr;
    save_state.descriptor = -1;
    save_state.capture = nullptr;
    forget_interface_places();
    wtap_dump_params_cleanup(&save_state.params);
}

// Completes what the dumper holds and records the new size of the completed
// part. False (errno-style code in *err) when the bytes did not all reach
// the file.
bool settle_save_file(int *err)
{
    if (!wtap_dump_flush(save_state.dumper, err))
        return false;
    const off_t size = lseek(save_state.descriptor, 0, SEEK_CUR);
    if (size < 0) {
        *err = errno;
        return false;
    }
    save_state.complete_size = size;
    return true;
}

}  // namespace

void reset_sequence_tracker()
{
    memset(&save_state.tracked_conversation, 0, sizeof save_state.tracked_conversation);
    memset(save_state.sequence_slots, 0, sizeof save_state.sequence_slots);
}

int tcp_sequence_tracker(const address *source, const address *destination, uint32_t sequence,
                         uint32_t segment_length, uint32_t syn, uint32_t fin, uint32_t source_port,
                         uint32_t destination_port)
{
    const int length = tracked_address_length(source);
    if (length == 0 || tracked_address_length(destination) == 0)
        return 0;
    // Endpoints of different families, or of another family than the
    // conversation's, can never belong to it.
    if (tracked_address_length(destination) != length || !save_state.tracked_conversation.known ||
        save_state.tracked_conversation.address_length != length)
        return 0;

    const tracked_conversation_record &conversation = save_state.tracked_conversation;
    const bool forward = same_bytes(source, conversation.address_a, length) &&
                         same_bytes(destination, conversation.address_b, length) &&
                         source_port == conversation.port_a && destination_port == conversation.port_b;
    const bool reverse = same_bytes(source, conversation.address_b, length) &&
                         same_bytes(destination, conversation.address_a, length) &&
                         source_port == conversation.port_b && destination_port == conversation.port_a;
    if (!forward && !reverse)
        return 0;

    sequence_slot *slot = nullptr;
    for (sequence_slot &candidate : save_state.sequence_slots) {
        if (candidate.source_port == source_port && same_bytes(source, candidate.source_address, length))
            slot = &candidate;  // the later slot wins when both match
    }
    if (!slot) {
        for (sequence_slot &candidate : save_state.sequence_slots) {
            if (candidate.source_port != 0)
                continue;
            memset(&candidate, 0, sizeof candidate);
            memcpy(candidate.source_address, source->data, static_cast<size_t>(length));
            candidate.source_port = source_port;
            candidate.anchor_sequence = sequence;
            slot = &candidate;
            break;
        }
        if (!slot)
            return 0;
    }
    // SYN and FIN take one sequence number each, as a payload byte does.
    const int64_t first = unwrapped_position(*slot, sequence);
    const int64_t end = first + segment_length + (syn ? 1 : 0) + (fin ? 1 : 0);
    if (end == first)
        return 0;  // no sequence space: nothing it could repeat
    if (already_written(*slot, first, end))
        return 1;
    record_written(*slot, first, end);
    return 0;
}

namespace {

// The precision of the capture's time stamps: the file's, or for a file
// whose interfaces differ (pcapng), the finest of its interfaces known so far.
int capture_time_precision()
{
    int precision = wtap_file_tsprec(capture_wiretap());
    if (precision != WTAP_TSPREC_PER_PACKET && precision != WTAP_TSPREC_UNKNOWN)
        return precision;
    precision = WTAP_TSPREC_USEC;
    wtapng_iface_descriptions_t *interfaces = wtap_file_get_idb_info(capture_wiretap());
    for (guint i = 0; interfaces && i < interfaces->interface_data->len; ++i) {
        const wtap_block_t block = g_array_index(interfaces->interface_data, wtap_block_t, i);
        const auto *mandatory = static_cast<const wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(block));
        if (mandatory && mandatory->tsprecision > precision)
            precision = mandatory->tsprecision;
    }
    g_free(interfaces);  // the list itself is the capture's
    return precision;
}

// The libpcap variant that keeps the capture's time stamps whole.
int32_t pcap_format_for_capture()
{
    return capture_time_precision() > WTAP_TSPREC_USEC ? WSB_SAVE_FORMAT_PCAP_NSEC : WSB_SAVE_FORMAT_PCAP;
}

// The capture's own format where the library writes it without loss, else
// pcapng (which holds everything wiretap reads: interfaces, comments,
// per-packet link types).
int32_t format_of_capture()
{
    if (capture_file_type() == wtap_pcap_file_type_subtype())
        return pcap_format_for_capture();
    if (capture_file_type() == wtap_pcap_nsec_file_type_subtype())
        return WSB_SAVE_FORMAT_PCAP_NSEC;
    return WSB_SAVE_FORMAT_PCAPNG;
}

// The format a save file's name asks for: its extension, compared without
// regard to case; a name without a known one keeps the capture's format.
int32_t format_by_name(const char *path)
{
    const size_t length = strlen(path);
    const auto ends_with = [&](const char *suffix) {
        const size_t suffix_length = strlen(suffix);
        return length > suffix_length && g_ascii_strcasecmp(path + length - suffix_length, suffix) == 0;
    };
    if (ends_with(".pcapng"))
        return WSB_SAVE_FORMAT_PCAPNG;
    if (ends_with(".pcap"))
        return pcap_format_for_capture();
    return format_of_capture();
}

// Hands the interfaces of the capture that the save file does not have yet
// to it, up to and including interface `needed`. Only pcapng files keep
// interface descriptions. False (with *err set) when wiretap refused one.
bool add_save_interfaces(guint needed, int *err)
{
    if (save_state.format != WSB_SAVE_FORMAT_PCAPNG || needed < save_state.interfaces_written)
        return true;
    wtapng_iface_descriptions_t *interfaces = wtap_file_get_idb_info(capture_wiretap());
    bool added = true;
    gchar *err_info = nullptr;
    while (added && save_state.interfaces_written < interfaces->interface_data->len) {
        const wtap_block_t block = g_array_index(interfaces->interface_data, wtap_block_t, save_state.interfaces_written);
        // Where the description starts: what the dumper holds goes out first.
        interface_place place{};
        added = wtap_dump_flush(save_state.dumper, err);
        if (added && (place.offset = lseek(save_state.descriptor, 0, SEEK_CUR)) < 0) {
            *err = errno;
            added = false;
        }
        if (added)
            added = wtap_dump_add_idb(save_state.dumper, block, err, &err_info);
        g_free(err_info);
        err_info = nullptr;
        if (added) {
            const auto *mandatory = static_cast<const wtapng_if_descr_mandatory_t *>(wtap_block_get_mandatory_data(block));
            place.snaplen = mandatory->snap_len;
            place.encapsulation = mandatory->wtap_encap;
            g_array_append_val(save_state.interface_places, place);
            ++save_state.interfaces_written;
        }
    }
    g_free(interfaces);  // the list itself is the capture's
    return added;
}

// Wiretap's parameters for a new file of `format`, from the open capture.
// Section headers, name-resolution and decryption-secret blocks are copied
// for pcapng; interfaces are handed over as packets need them (a pcapng
// capture describes interfaces as reading reaches them).
void init_save_params(wtap_dump_params &params, int32_t format, int encapsulation)
{
    params = WTAP_DUMP_PARAMS_INIT;
    if (format == WSB_SAVE_FORMAT_PCAPNG) {
        wtap_dump_params_init_no_idbs(&params, capture_wiretap());
        // The secrets known now are written with the header. The capture's
        // own list is not referred to: the save file may outlive it.
        GArray *secrets = nullptr;
        if (params.dsbs_growing && params.dsbs_growing->len > 0) {
            secrets = g_array_sized_new(FALSE, FALSE, sizeof(wtap_block_t), params.dsbs_growing->len);
            for (guint i = 0; i < params.dsbs_growing->len; ++i) {
                wtap_block_t block = wtap_block_ref(g_array_index(params.dsbs_growing, wtap_block_t, i));
                g_array_append_val(secrets, block);
            }
        }
        params.dsbs_initial = secrets;
        params.dsbs_growing = nullptr;
        params.encap = WTAP_ENCAP_PER_PACKET;
    } else {
        params.encap = encapsulation;
    }
    // The capture's own snapshot length, as the engine's converter keeps
    // it; 0 when the capture states none (pcapng states one per interface),
    // and wiretap then writes the largest its link type allows.
    params.snaplen = static_cast<int>(wtap_snapshot_length(capture_wiretap()));
    params.tsprec = format == WSB_SAVE_FORMAT_PCAP ? WTAP_TSPREC_USEC : WTAP_TSPREC_NSEC;
}

void release_interface_list(wtap_dump_params &params)
{
    g_free(params.idb_inf);  // the list itself is the capture's
    params.idb_inf = nullptr;
}

// The largest packet the engine reads and writes of a link type, as its
// libpcap writer states it when given no snapshot length (the engine keeps
// this table to itself).
uint32_t largest_snaplen_for(int encapsulation)
{
    switch (encapsulation) {
    case WTAP_ENCAP_DBUS:
        return WTAP_MAX_PACKET_SIZE_DBUS;
    case WTAP_ENCAP_EBHSCR:
        return WTAP_MAX_PACKET_SIZE_EBHSCR;
    case WTAP_ENCAP_USBPCAP:
    case WTAP_ENCAP_USB_LINUX:
    case WTAP_ENCAP_USB_LINUX_MMAPPED:
    case WTAP_ENCAP_USB_DARWIN:
    case WTAP_ENCAP_USB_FREEBSD:
        return WTAP_MAX_PACKET_SIZE_USBPCAP;
    default:
        return WTAP_MAX_PACKET_SIZE_STANDARD;
    }
}

// Makes the snapshot length the save file states for a packet (the libpcap
// header's, or its pcapng interface description's) at least its captured
// length: a longer packet raises it in place to the engine's largest for the
// link type, or to the packet's length where that is larger. Readers that
// cut packets at the stated length then read every byte written. False
// (errno-style code in *err) when the file could not be changed.
bool cover_captured_length(uint32_t captured_length, guint interface_id, int *err)
{
    off_t at = 0;
    uint32_t *stated = nullptr;
    int encapsulation = 0;
    if (save_state.format == WSB_SAVE_FORMAT_PCAPNG) {
        if (!save_state.interface_places || interface_id >= save_state.interface_places->len)
            return true;
        interface_place &place = g_array_index(save_state.interface_places, interface_place, interface_id);
        if (place.snaplen == 0 || captured_length <= place.snaplen)  // 0: no limit
            return true;
        at = place.offset + 12;  // block type, block length, link type, reserved
        stated = &place.snaplen;
        encapsulation = place.encapsulation;
    } else {
        if (captured_length <= save_state.header_snaplen)
            return true;
        at = 16;  // magic, versions, time zone, accuracy
        stated = &save_state.header_snaplen;
        encapsulation = save_state.params.encap;
    }
    uint32_t raised = largest_snaplen_for(encapsulation);
    if (raised < captured_length)
        raised = captured_length;
    // wiretap writes both formats in the machine's byte order. The block may
    // still be in the dumper's buffer.
    if (!wtap_dump_flush(save_state.dumper, err))
        return false;
    if (pwrite(save_state.descriptor, &raised, sizeof raised, at) != static_cast<ssize_t>(sizeof raised)) {
        *err = errno ? errno : EIO;
        return false;
    }
    *stated = raised;
    return true;
}

int file_type_of_format(int32_t format)
{
    switch (format) {
    case WSB_SAVE_FORMAT_PCAP_NSEC:
        return wtap_pcap_nsec_file_type_subtype();
    case WSB_SAVE_FORMAT_PCAPNG:
        return wtap_pcapng_file_type_subtype();
    default:
        return wtap_pcap_file_type_subtype();
    }
}

}  // namespace

bool save_request_allowed(const char *operation, const char *path, int32_t format)
{
    if (!require_capture(operation) || !require_path(operation, path))
        return false;
    if (format < WSB_SAVE_FORMAT_PCAP || format > WSB_SAVE_FORMAT_BY_NAME) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %d is not a save file format.", operation,
                         format);
        return false;
    }
    return true;
}

namespace {

int32_t create_save_file(const char *operation, const char *path, int32_t format)
{
    if (!save_request_allowed(operation, path, format))
        return WSB_FAILED;
    if (save_state.dumper) {
        set_error_format(WSB_E_STATE, "\"%s\" operation failed. The file \"%s\" is still open for saving; close "
                         "it before creating another one.",
                         operation, save_state.path);
        return WSB_FAILED;
    }
    if (format == WSB_SAVE_FORMAT_AS_CAPTURE)
        format = format_of_capture();
    else if (format == WSB_SAVE_FORMAT_BY_NAME)
        format = format_by_name(path);
    const int encapsulation = capture_encapsulation();
    // A libpcap file has one link-layer type, and not every type has one.
    // Refused before the file is touched.
    const int file_type = file_type_of_format(format);
    if (format != WSB_SAVE_FORMAT_PCAPNG &&
        (encapsulation == WTAP_ENCAP_PER_PACKET || !wtap_dump_can_write_encap(file_type, encapsulation))) {
        const int err = encapsulation == WTAP_ENCAP_PER_PACKET ? WTAP_ERR_ENCAP_PER_PACKET_UNSUPPORTED
                                                              : WTAP_ERR_UNWRITABLE_ENCAP;
        set_error_text(WSB_E_UNSUPPORTED, describe_open_error(err, "Error creating capture file.", true, path, capture_file_type()));
        return WSB_FAILED;
    }
    struct stat opened;
    const int descriptor = open_save_descriptor(path, &opened);
    if (descriptor < 0)
        return WSB_FAILED;
    int err = 0;
    gchar *err_info = nullptr;
    init_save_params(save_state.params, format, encapsulation);
    // Handed no interface at all, wiretap would describe one of its own,
    // with the per-packet link type no pcapng interface can state, and fail
    // (a pcapng capture whose first blocks are no interface descriptions,
    // one without packets). The capture's interfaces are handed over as
    // they are read, so wiretap gets a one-entry list it does not copy, as
    // tshark gives it.
    GArray *placeholder = nullptr;
    if (format == WSB_SAVE_FORMAT_PCAPNG && save_state.params.idb_inf &&
        save_state.params.idb_inf->interface_data->len == 0) {
        placeholder = g_array_sized_new(FALSE, TRUE, sizeof(wtap_block_t), 1);
        g_array_set_size(placeholder, 1);
        save_state.params.idb_inf->interface_data = placeholder;
    }
    wtap_dumper *dumper = wtap_dump_fdopen(descriptor, file_type, WTAP_UNCOMPRESSED, &save_state.params, &err, &err_info);
    g_free(err_info);
    // The interface list was read while opening (interfaces are handed over
    // one by one); the section and name-resolution headers stay in use until
    // the file is closed; the decryption secrets are the dumper's now.
    release_interface_list(save_state.params);
    if (placeholder)
        g_array_free(placeholder, TRUE);
    if (!dumper) {
        wtap_block_array_free(save_state.params.dsbs_initial);
        wtap_dump_params_cleanup(&save_state.params);
        // wiretap closes the descriptor when it fails after taking it over.
        struct stat still;
        if (fstat(descriptor, &still) == 0 && still.st_dev == opened.st_dev && still.st_ino == opened.st_ino)
            close(descriptor);
    } else {
        save_state.dumper = dumper;
        save_state.descriptor = descriptor;
        save_state.format = format;
        save_state.interfaces_written = 0;
        save_state.capture = capture_wiretap();
        // What wiretap's libpcap writer states for the snapshot length it
        // was given (0: the largest for the link type).
        save_state.header_snaplen = save_state.params.snaplen != 0
                                        ? static_cast<uint32_t>(save_state.params.snaplen)
                                        : largest_snaplen_for(save_state.params.encap);
        save_state.interface_places = g_array_new(FALSE, FALSE, sizeof(interface_place));
        if (!add_save_interfaces(0, &err) || !settle_save_file(&err)) {
            // Not even the file header reached the file.
            discard_save_dumper();
            dumper = nullptr;
        }
    }
    if (!dumper) {
        unlink(path);
        set_error_text(WSB_E_FILE, describe_open_error(err, "Error creating capture file.", true, path, capture_file_type()));
        return WSB_FAILED;
    }
    save_state.damaged = false;
    g_strlcpy(save_state.path, path, sizeof save_state.path);
    reset_sequence_tracker();
    return WSB_OK;
}

}  // namespace

int32_t gCreateCaptureFileForSave(const char *path)
{
    argument_copy path_copy;
    path = unaliased_argument(path, path_copy);
    if (!require_capture("Create Capture File"))
        return WSB_FAILED;
    // The libpcap variant that keeps the capture's stamps: microseconds, or
    // nanoseconds for a capture whose stamps are finer.
    return create_save_file("Create Capture File", path, pcap_format_for_capture());
}

int32_t gCreateCaptureFileForSaveInFormat(const char *path, int32_t format)
{
    argument_copy path_copy;
    path = unaliased_argument(path, path_copy);
    return create_save_file("Create Capture File", path, format);
}

int32_t gGetSaveFileFormat(int32_t *format)
{
    if (!require_capture("Get Save File Format"))
        return WSB_FAILED;
    if (!format) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Save File Format\" operation failed. No place for the format was given.");
        return WSB_FAILED;
    }
    if (!save_state.dumper) {
        set_error_text(WSB_E_STATE, "\"Get Save File Format\" operation failed. No save file is open.");
        return WSB_FAILED;
    }
    *format = save_state.format;
    return WSB_OK;
}

int32_t gSavePacketToCaptureFile(uint8_t *skipped, const SavePacketRequest *request)
{
    if (skipped)
        *skipped = 0;
    if (!require_capture("Save Packet to File"))
        return WSB_FAILED;
    if (!skipped) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Save Packet to File\" operation failed. No place for the skipped flag was given.");
        return WSB_FAILED;
    }
    if (!request) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Save Packet to File\" operation failed. No SavePacketRequest record was given.");
        return WSB_FAILED;
    }
    if (!save_state.dumper) {
        set_error_text(WSB_E_STATE, "Error saving packet. The file to save the packet is already closed.");
        return WSB_FAILED;
    }
    if (save_state.damaged) {
        set_error_format(WSB_E_FILE, "Error saving packet. %s", damaged_message_tail());
        return WSB_FAILED;
    }
    if (save_state.capture != capture_wiretap()) {
        set_error_format(WSB_E_STATE, "Error saving packet. The file \"%s\" was created for another capture; close it and "
                         "create a new one for this capture.",
                         save_state.path);
        return WSB_FAILED;
    }
    if (request->file_offset < 2147483647 && request->captured_length > static_cast<uint32_t>(INT32_MAX)) {
        set_error_format(WSB_E_STALE, "The packet at offset %lld of the file \"%s\" holds fewer captured bytes than the %u asked "
                         "for.",
                         static_cast<long long>(request->file_offset), capture_path(), request->captured_length);
        return WSB_FAILED;
    }

    const bool armed = request->skip_flag != 0;
    const packet_locator locator{request->frame_number, request->file_offset,
                                 static_cast<int32_t>(request->captured_length), request->packet_length,
                                 request->encapsulation};
    // The tracker records what this packet would write; a write that then
    // fails must not count, or a later retransmission of those bytes would be
    // left out of the file.
    const tracked_conversation_record conversation_before = save_state.tracked_conversation;
    sequence_slot slots_before[2];
    memcpy(slots_before, save_state.sequence_slots, sizeof slots_before);
    save_state.tracker_verdict = 0;
    save_state.tracker_armed = armed;
    const tcp_tap_hook previous_hook = armed ? replace_tcp_tap_hook(tracker_tap_entry) : nullptr;
    save_state.chained_tcp_hook = previous_hook;
    // The packet is re-read and becomes the current packet; it is dissected
    // only as far as the request needs: for the tracker's TCP tap when armed,
    // else not at all. A later call that reads its dissection completes it.
    const int32_t status = read_and_redissect(locator, nullptr, beyond_2gb_message,
                                              armed ? redissect_depth::taps_only : redissect_depth::deferred);
    if (armed)
        replace_tcp_tap_hook(previous_hook);
    save_state.chained_tcp_hook = nullptr;
    // The verdict belongs to this request alone, whether or not the packet
    // had a TCP layer that consulted the tracker.
    save_state.tracker_armed = false;
    const int verdict = armed ? save_state.tracker_verdict : 0;
    save_state.tracker_verdict = 0;

    if (status == WSB_OUT_OF_MEMORY) {
        set_error_text(WSB_E_OUT_OF_MEMORY, "\"Save Packet to File\" operation failed. The engine ran out of memory while dissecting the "
                       "packet.");
        return WSB_FAILED;
    }
    if (status != WSB_OK)
        return WSB_FAILED;
    if (verdict == 1) {  // a repeat of bytes already written
        *skipped = 1;
        return WSB_OK;
    }

    // The record as wiretap re-read it, with the request's stamp, lengths
    // and link type: its interface, pseudo-header and options (comments,
    // flags, ...) go with it, as far as the save file's format keeps them.
    const wtap_rec &read = redissected_record();
    wtap_rec record;
    memset(&record, 0, sizeof record);
    record.rec_type = REC_TYPE_PACKET;
    record.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN | (read.presence_flags & WTAP_HAS_INTERFACE_ID);
    record.tsprec = WTAP_TSPREC_NSEC;
    record.ts.secs = static_cast<time_t>(request->time_seconds);
    record.ts.nsecs = request->time_nanoseconds;
    record.block = read.block;
    wtap_packet_header &header = record.rec_header.packet_header;
    header = read.rec_header.packet_header;
    header.caplen = request->captured_length;
    header.len = request->packet_length;
    header.pkt_encap = request->encapsulation;

    int err = 0;
    if (save_state.format == WSB_SAVE_FORMAT_PCAPNG) {
        // Interfaces the capture described after the file was created.
        const guint interface_id = (record.presence_flags & WTAP_HAS_INTERFACE_ID) ? header.interface_id : 0;
        if (!add_save_interfaces(interface_id, &err)) {
            cut_back_save_file();
            set_error_format(WSB_E_FILE, "An error occurred while writing to the file \"%s\": %s.", save_state.path,
                             wtap_strerror(err));
            return WSB_FAILED;
        }
        // A packet read by offset before sequential reading reached the
        // description of its interface.
        if (interface_id >= save_state.interfaces_written) {
            set_error_format(WSB_E_STATE, "Error saving packet. The interface %u of the packet at offset %lld has not been "
                             "read yet; read the capture in sequence up to that packet first.",
                             interface_id, static_cast<long long>(request->file_offset));
            return WSB_FAILED;
        }
    }
    if (!cover_captured_length(header.caplen,
                               (record.presence_flags & WTAP_HAS_INTERFACE_ID) ? header.interface_id : 0, &err)) {
        cut_back_save_file();
        set_error_format(WSB_E_FILE, "An error occurred while writing to the file \"%s\": %s.", save_state.path,
                         wtap_strerror(err));
        return WSB_FAILED;
    }
    gchar *err_info = nullptr;
    // Each record is handed to the file at once, so that a write error shows
    // with the record that caused it and the file can be cut back to the end
    // of the record before.
    const bool written = wtap_dump(save_state.dumper, &record, redissected_bytes(), &err, &err_info) &&
                         settle_save_file(&err);
    g_free(err_info);
    if (!written) {
        save_state.tracked_conversation = conversation_before;
        memcpy(save_state.sequence_slots, slots_before, sizeof slots_before);
        cut_back_save_file();
        if (save_state.damaged)
            set_error_format(WSB_E_FILE, "An error occurred while writing to the file \"%s\": %s. %s", save_state.path,
                             wtap_strerror(err), damaged_message_tail());
        else
            set_error_format(WSB_E_FILE, "An error occurred while writing to the file \"%s\": %s.", save_state.path,
                             wtap_strerror(err));
        return WSB_FAILED;
    }
    return WSB_OK;
}

namespace {

bool close_save_file()
{
    // wiretap releases the handle whether or not closing succeeds.
    wtap_dumper *dumper = save_state.dumper;
    save_state.dumper = nullptr;
    save_state.descriptor = -1;
    gboolean needs_reload = FALSE;
    int err = 0;
    gchar *err_info = nullptr;
    gboolean closed = wtap_dump_close(dumper, &needs_reload, &err, &err_info);
    g_free(err_info);
    if (!closed)
        describe_close_error(err, save_state.path);
    if (closed && save_state.damaged) {
        set_error_format(WSB_E_FILE, "Error closing file. %s", damaged_message_tail());
        closed = FALSE;
    }
    save_state.damaged = false;
    save_state.capture = nullptr;
    forget_interface_places();
    wtap_dump_params_cleanup(&save_state.params);
    save_state.path[0] = '\0';
    return closed;
}

}  // namespace

bool save_shutdown()
{
    return !save_state.dumper || close_save_file();
}

int32_t gCloseCaptureFileForSave(void)
{
    if (!require_capture("Close Capture File for Save"))
        return WSB_FAILED;
    if (!save_state.dumper) {
        set_error_text(WSB_E_STATE, "Error closing file. The file is already closed.");
        return WSB_FAILED;
    }
    return close_save_file() ? WSB_OK : WSB_FAILED;
}
