// The options of sequential reading: the display filter that chooses the
// packets, whether their summaries carry the column texts, and the share of
// the capture's conversations this process reads.
#include <glib.h>

#include "wsbridge.h"
#include "capture/capture_state.h"
#include "compat/engine_series.h"
#include "engine/state.h"

void release_display_filter()
{
    if (capture_state.display_filter)
        dfilter_free(capture_state.display_filter);
    capture_state.display_filter = nullptr;
    set_primed_filter(primed_filter::display_filter, nullptr);
}

int32_t gSetDisplayFilter(const char *filter)
{
    if (!require_engine("Set Display Filter"))
        return WSB_FAILED;
    dfilter_t *compiled = nullptr;
    char *message = nullptr;
    // No text, or one that names nothing (blanks), compiles to no filter.
    if (filter && !series_compile_filter(filter, &compiled, &message)) {
        // The filter set before stays.
        set_error_text(WSB_E_FILTER, message ? message : "The display filter could not be compiled.");
        g_free(message);
        return WSB_FAILED;
    }
    g_free(message);
    release_display_filter();
    capture_state.display_filter = compiled;
    set_primed_filter(primed_filter::display_filter, compiled);
    return WSB_OK;
}

int32_t gSetSummaryTexts(int32_t enabled)
{
    if (!require_engine("Set Summary Texts"))
        return WSB_FAILED;
    capture_state.summary_texts = enabled != 0;
    return WSB_OK;
}

bool in_reading_share(const wtap_rec &record, const Buffer &bytes)
{
    const capture_state_record &c = capture_state;
    if (c.share_count <= 1)
        return true;
    // Records without a conversation key (ARP, other links, other record
    // types) all belong to the first share.
    shard_key_result key{false, 0};
    if (record.rec_type == REC_TYPE_PACKET)
        key = packet_shard_key(record.rec_header.packet_header.pkt_encap, ws_buffer_start_ptr(&bytes),
                               record.rec_header.packet_header.caplen, c.share_key);
    const uint64_t share = key.keyed ? key.hash % static_cast<uint64_t>(c.share_count) : 0;
    return share == static_cast<uint64_t>(c.share_index);
}

int32_t gSetReadingShare(int32_t index, int32_t count, int32_t key)
{
    if (!require_engine("Set Reading Share"))
        return WSB_FAILED;
    if (capture_is_open()) {
        set_error_text(WSB_E_STATE, "\"Set Reading Share\" operation failed. The share can only be set while no "
                                    "capture is open.");
        return WSB_FAILED;
    }
    if (count < 1 || index < 0 || index >= count) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Set Reading Share\" operation failed. Share %d of %d does not exist: "
                         "the count must be at least 1 and the index from 0 to the count less one.",
                         index, count);
        return WSB_FAILED;
    }
    if (key != WSB_SHARE_BY_ADDRESSES && key != WSB_SHARE_BY_ENDPOINTS) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Set Reading Share\" operation failed. %d is not a share key.", key);
        return WSB_FAILED;
    }
    capture_state.share_index = index;
    capture_state.share_count = count;
    capture_state.share_key = key == WSB_SHARE_BY_ENDPOINTS ? shard_key_kind::endpoint_pair : shard_key_kind::address_pair;
    return WSB_OK;
}
