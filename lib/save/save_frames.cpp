// SPDX-License-Identifier: GPL-2.0-or-later
// Saving chosen packets in one call (gSaveFrames): a list of frames, a
// display filter's packets, or both, in a chosen format.
//
// The capture is read from its first record through a handle of its own
// (capture.h: side_pass_begin), whatever sequential reading's position,
// display filter and share. A first pass finds the frames and, with a
// display filter, dissects every record in order in a session of its own
// and keeps the packets that match, as tshark's single pass with -Y does. The
// save file is made only then, so a frame the capture lacks or a filter that
// does not compile leaves nothing on disk; the packets are written through
// the save calls (gCreateCaptureFileForSaveInFormat, gSavePacketToCaptureFile,
// gCloseCaptureFileForSave), which keep what the capture holds: interfaces,
// comments, link types, nanosecond stamps.
#include "save/save_state.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "capture/capture.h"
#include "engine/state.h"

namespace {

const char operation[] = "Save Frames";

// A listed frame as the first pass found it.
struct listed_frame {
    bool found;
    bool matched;
    WsbSavePacketRequest request;
};

// What a save keeps between its passes.
struct frames_save {
    const uint32_t *frames;     // the host's list, or null: every packet
    int32_t count;
    dfilter_t *filter;          // null: every packet matches
    bool drop_repeats;
    std::vector<uint32_t> keys;          // the listed frames, ascending, each once
    std::vector<listed_frame> listed;    // by key
    std::vector<bool> matches;           // without a list: each packet's match, in order
    uint32_t records;                    // records the first pass read
    int32_t written, skipped, not_matching;
};

bool fail(int32_t code, const char *format, uint32_t a, uint32_t b = 0)
{
    set_error_format(code, format, operation, a, b);
    return false;
}

WsbSavePacketRequest request_of(const side_record &r)
{
    const wtap_packet_header &header = r.record->rec_header.packet_header;
    WsbSavePacketRequest request{};
    request.frame_number = r.number;
    request.packet_length = header.len;
    request.captured_length = header.caplen;
    request.file_offset = r.offset;
    request.time_seconds = static_cast<int64_t>(r.record->ts.secs);
    request.time_nanoseconds = r.record->ts.nsecs;
    request.encapsulation = header.pkt_encap;
    return request;
}

// The first pass: the listed frames' places, and with a filter whether each
// packet matches it. False with the message written.
bool find_frames(frames_save &save)
{
    const uint32_t last_needed = save.frames ? (save.keys.empty() ? 0 : save.keys.back()) : UINT32_MAX;
    side_record r{};
    int got = 0;
    while (save.records < last_needed && (got = side_pass_next(&r)) == 1) {
        save.records = r.number;
        bool matched = true;
        if (save.filter) {
            const int32_t status = side_pass_match(r, save.filter, &matched);
            if (status != WSB_OK)
                return false;
        }
        const bool packet = r.record->rec_type == REC_TYPE_PACKET;
        if (!save.frames) {
            if (packet && save.filter)
                save.matches.push_back(matched);
            continue;
        }
        const auto key = std::lower_bound(save.keys.begin(), save.keys.end(), r.number);
        if (key == save.keys.end() || *key != r.number)
            continue;
        if (!packet)
            return fail(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. Frame %u of the capture is no packet.", r.number);
        listed_frame &entry = save.listed[static_cast<size_t>(key - save.keys.begin())];
        entry.found = true;
        entry.matched = matched;
        entry.request = request_of(r);
    }
    if (got < 0)
        return false;
    for (size_t i = 0; i < save.keys.size(); ++i)
        if (!save.listed[i].found)
            return fail(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. The capture has no frame %u; it has %u frames.",
                        save.keys[i], save.records);
    return true;
}

bool save_one(frames_save &save, WsbSavePacketRequest request)
{
    request.skip_flag = save.drop_repeats ? 1 : 0;
    uint8_t left_out = 0;
    if (gSavePacketToCaptureFile(&left_out, &request) != WSB_OK)
        return false;
    ++(left_out ? save.skipped : save.written);
    return true;
}

// The second pass: the chosen packets into the open save file.
bool write_frames(frames_save &save)
{
    if (save.frames) {
        for (int32_t i = 0; i < save.count; ++i) {
            const auto key = std::lower_bound(save.keys.begin(), save.keys.end(), save.frames[i]);
            const listed_frame &entry = save.listed[static_cast<size_t>(key - save.keys.begin())];
            if (!entry.matched) {
                ++save.not_matching;
                continue;
            }
            if (!save_one(save, entry.request))
                return false;
        }
        return true;
    }
    if (!side_pass_restart())
        return false;
    size_t packet = 0;
    side_record r{};
    int got;
    while ((got = side_pass_next(&r)) == 1) {
        if (r.record->rec_type != REC_TYPE_PACKET)
            continue;
        if (save.filter && !(packet < save.matches.size() && save.matches[packet++])) {
            ++save.not_matching;
            continue;
        }
        if (!save_one(save, request_of(r)))
            return false;
    }
    return got == 0;
}

// Both passes, with the save file made in between. False with the message
// written; nothing is left at path then.
bool save_frames(frames_save &save, const char *path, int32_t format)
{
    if (!find_frames(save))
        return false;
    if (gCreateCaptureFileForSaveInFormat(path, format) != WSB_OK)
        return false;
    bool done = write_frames(save);
    if (!done) {
        const int32_t code = gGetLastErrorCode();
        const std::string text = gGetLastError();
        gCloseCaptureFileForSave();
        set_error_text(code, text.c_str());
    } else {
        done = gCloseCaptureFileForSave() == WSB_OK;
    }
    if (!done)
        unlink(path);
    return done;
}

}  // namespace

int32_t gSaveFrames(const char *path, int32_t format, const uint32_t *frames, int32_t count,
                    const char *filter, int32_t options, int32_t *written, int32_t *skipped,
                    int32_t *not_matching)
{
    argument_copy path_copy, filter_copy;
    path = unaliased_argument(path, path_copy);
    filter = unaliased_argument(filter, filter_copy);
    if (!save_request_allowed(operation, path, format))
        return WSB_FAILED;
    if (count < 0 || (!frames && count != 0)) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %s", operation,
                         count < 0 ? "The frame count is negative."
                                   : "A frame count was given without frames (no frames: every packet, count 0).");
        return WSB_FAILED;
    }
    if (options & ~WSB_SAVE_DROP_TCP_REPEATS) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %d holds options that do not exist "
                         "(WSB_SAVE_DROP_TCP_REPEATS is 1).", operation, options);
        return WSB_FAILED;
    }
    for (int32_t i = 0; frames && i < count; ++i)
        if (frames[i] == 0) {
            set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. Frame numbers start at 1 (entry %d is 0).",
                             operation, i);
            return WSB_FAILED;
        }
    if (save_state.dumper) {
        set_error_format(WSB_E_STATE, "\"%s\" operation failed. The file \"%s\" is still open for saving; close it "
                         "first.", operation, save_state.path);
        return WSB_FAILED;
    }
    frames_save save{};
    save.frames = frames;
    save.count = count;
    save.drop_repeats = (options & WSB_SAVE_DROP_TCP_REPEATS) != 0;
    if (!compile_filter_for(operation, filter, &save.filter))
        return WSB_FAILED;
    if (frames) {
        save.keys.assign(frames, frames + count);
        std::sort(save.keys.begin(), save.keys.end());
        save.keys.erase(std::unique(save.keys.begin(), save.keys.end()), save.keys.end());
        save.listed.assign(save.keys.size(), listed_frame{});
    }
    // Dissecting (a filter, the sequence tracker) needs a session of the
    // pass's own; copying packets alone dissects nothing.
    bool done = side_pass_begin(operation, save.filter || save.drop_repeats);
    if (done) {
        done = save_frames(save, path, format);
        const int32_t code = gGetLastErrorCode();
        const std::string text = gGetLastError();
        const bool ended = side_pass_end();
        if (!done && ended)
            set_error_text(code, text.c_str());
        done = done && ended;
    }
    if (save.filter)
        dfilter_free(save.filter);
    if (!done)
        return WSB_FAILED;
    if (written)
        *written = save.written;
    if (skipped)
        *skipped = save.skipped;
    if (not_matching)
        *not_matching = save.not_matching;
    return WSB_OK;
}
