// SPDX-License-Identifier: GPL-2.0-or-later
// The options of sequential reading: the display filter that chooses the
// packets, whether their summaries carry the column texts, and the share of
// the capture's conversations this process reads.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include <glib.h>

#include "wsbridge.h"
#include "capture/capture_state.h"
#include "compat/engine_series.h"
#include "shard/key.h"
#include "engine/state.h"

namespace {

// The engine's filter compiler recurses once per level of the filter's syntax
// tree, and a chain of binary operators ("a || b || c", "1 + 2 + 3") nests
// one level per operator: each level takes at most 144 bytes of stack (a
// chain of 7,269 operators exhausts 1 MiB, 58,000 the usual 8 MiB of a main
// thread), and the compiler's jump optimisation walks the chain once per
// operator (10,000 "||" take it 1.8 s). Deeper filters are refused: 2,000
// levels need at most 290 KB of the calling thread's stack and 0.1 s.
// (Parentheses and "!" nest no deeper than the engine's parser allows, about
// a hundred.)
constexpr size_t filter_nesting_limit = 2000;

bool is_word_character(char c)
{
    return g_ascii_isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
}

// Skips a quoted string or character constant starting at text (its opening
// quote); returns where the text goes on after the closing quote.
const char *skip_quoted(const char *text)
{
    const char quote = *text++;
    while (*text && *text != quote) {
        if (*text == '\\' && text[1])
            ++text;
        ++text;
    }
    return *text ? text + 1 : text;
}

// How deeply the engine's compiler would nest the filter's binary operators,
// at most: in each bracketed group the operators of the group (as if they
// made one chain) plus the deepest group inside. Names, values and quoted
// texts nest nothing, so a long list ("ip.addr in {...}") or a long text
// stays flat.
size_t operator_nesting(const char *text)
{
    // Per open group: its operators, and the deepest group closed inside it.
    std::vector<std::pair<size_t, size_t>> groups(1);
    auto close_group = [&groups] {
        const size_t depth = groups.back().first + groups.back().second;
        groups.pop_back();
        groups.back().second = std::max(groups.back().second, depth);
    };
    for (const char *p = text; *p;) {
        const char c = *p;
        if (c == '"' || c == '\'') {
            p = skip_quoted(p);
        } else if (c == '[') {  // a slice's ranges ("[1-2,4:2]")
            p += strcspn(p, "]");
        } else if (c == '(' || c == '{') {
            groups.emplace_back(0, 0);
            ++p;
        } else if (c == ')' || c == '}') {
            if (groups.size() > 1)
                close_group();
            ++p;
        } else if ((c == '&' || c == '|') && p[1] == c) {
            ++groups.back().first;
            p += 2;
        } else if (c == '&' || c == '+' || c == '-' || c == '*' || c == '/' || c == '%') {
            // (A '-' inside a name or value belongs to it, see below.)
            ++groups.back().first;
            ++p;
        } else if (is_word_character(c)) {
            // A name or a value: "ip.src", "10.0.0.0/8", "aa:bb", "ip.ttl-1"
            // (also "and", "or" and "bitwise_and", operators spelt as words).
            const char *word = p;
            bool address = false;
            while (is_word_character(*p) || (*p == '/' && address && g_ascii_isdigit(p[1]))) {
                address = address || *p == '.' || *p == ':';
                ++p;
            }
            const size_t length = static_cast<size_t>(p - word);
            if ((length == 3 && memcmp(word, "and", 3) == 0) || (length == 2 && memcmp(word, "or", 2) == 0) ||
                (length == 11 && memcmp(word, "bitwise_and", 11) == 0))
                ++groups.back().first;
        } else {
            ++p;
        }
    }
    while (groups.size() > 1)
        close_group();
    return groups.back().first + groups.back().second;
}

}  // namespace

bool compile_filter_for(const char *operation, const char *text, dfilter_t **filter)
{
    *filter = nullptr;
    if (text) {
        const size_t nesting = operator_nesting(text);
        if (nesting > filter_nesting_limit) {
            set_error_format(WSB_E_LIMIT, "\"%s\" operation failed. The filter nests %zu operators, more "
                             "than the %zu the engine can compile (group long chains of operators in parentheses, or "
                             "list values with \"in {...}\").",
                             operation, nesting, filter_nesting_limit);
            return false;
        }
    }
    char *message = nullptr;
    // No text, or one that names nothing (blanks), compiles to no filter.
    if (text && !series_compile_filter(text, filter, &message, false)) {
        set_error_text(WSB_E_FILTER, message ? message : "The display filter could not be compiled.");
        g_free(message);
        return false;
    }
    g_free(message);
    return true;
}

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
    // The filter set before stays when this one is refused.
    if (!compile_filter_for("Set Display Filter", filter, &compiled))
        return WSB_FAILED;
    release_display_filter();
    capture_state.display_filter = compiled;
    ++capture_state.display_filter_generation;
    set_primed_filter(primed_filter::display_filter, compiled);
    return WSB_OK;
}

uint64_t display_filter_generation()
{
    return capture_state.display_filter_generation;
}

bool display_filter_set()
{
    return capture_state.display_filter != nullptr;
}

bool current_packet_matches_display_filter()
{
    epan_dissect_t *edt = current_dissection();
    return !capture_state.display_filter || (edt && dfilter_apply_edt(capture_state.display_filter, edt));
}

int32_t gSetSummaryTexts(int32_t enabled)
{
    if (!require_engine("Set Summary Texts"))
        return WSB_FAILED;
    capture_state.summary_texts = enabled != 0;
    return WSB_OK;
}

bool next_in_reading_share(const wtap_rec &record, const Buffer &bytes)
{
    const capture_state_record &c = capture_state;
    if (c.share_count <= 1)
        return true;
    // Records that are no packets, like those without a conversation key
    // (ARP, other links), belong to the first share.
    const bool packet = record.rec_type == REC_TYPE_PACKET;
    return shard_assign(packet ? record.rec_header.packet_header.pkt_encap : 0,
                        packet ? ws_buffer_start_ptr(&bytes) : nullptr,
                        packet ? record.rec_header.packet_header.caplen : 0) == c.share_index;
}

int reading_share_holds(uint32_t number, const wtap_rec &record, const Buffer &bytes)
{
    const capture_state_record &c = capture_state;
    if (c.share_count <= 1)
        return 1;
    // A frame read in sequence has its share kept; the hashed keys can also
    // tell the share of one not read yet, the balanced shares cannot.
    const int mine = shard_frame_is_mine(number);
    if (mine >= 0 || c.share_mode == shard_mode::balanced)
        return mine;
    if (record.rec_type != REC_TYPE_PACKET)
        return c.share_index == 0;
    const shard_key_result key =
        packet_shard_key(record.rec_header.packet_header.pkt_encap, ws_buffer_start_ptr(&bytes),
                         record.rec_header.packet_header.caplen,
                         c.share_mode == shard_mode::endpoint_pair ? shard_key_kind::endpoint_pair
                                                                   : shard_key_kind::address_pair);
    return (key.keyed ? key.hash % static_cast<uint64_t>(c.share_count) : 0) == static_cast<uint64_t>(c.share_index);
}

bool reread_in_reading_share(const wtap_rec &record, const Buffer &bytes, uint32_t number, long long offset)
{
    const capture_state_record &c = capture_state;
    const int mine = reading_share_holds(number, record, bytes);
    if (mine < 0) {
        set_error_format(WSB_E_STATE, "The packet at offset %lld (frame %u) has not been read in sequence yet: its "
                         "share of the capture (this process has share %d of %d) is known once it has.",
                         offset, number, c.share_index, c.share_count);
        return false;
    }
    if (!mine) {
        set_error_format(WSB_E_STATE, "The packet at offset %lld (frame %u) belongs to another share of the capture "
                         "than this process's (share %d of %d); read it in the process of its share.",
                         offset, number, c.share_index, c.share_count);
        return false;
    }
    return true;
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
    if (key != WSB_SHARE_BY_ADDRESSES && key != WSB_SHARE_BY_ENDPOINTS && key != WSB_SHARE_BALANCED) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Set Reading Share\" operation failed. %d is not a share key.", key);
        return WSB_FAILED;
    }
    if (key == WSB_SHARE_BALANCED && count > shard_balanced_most) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Set Reading Share\" operation failed. Balanced shares are at most %d, "
                         "not %d.", shard_balanced_most, count);
        return WSB_FAILED;
    }
    capture_state.share_index = index;
    capture_state.share_count = count;
    capture_state.share_mode = key == WSB_SHARE_BALANCED       ? shard_mode::balanced
                               : key == WSB_SHARE_BY_ENDPOINTS ? shard_mode::endpoint_pair
                                                               : shard_mode::address_pair;
    return WSB_OK;
}
