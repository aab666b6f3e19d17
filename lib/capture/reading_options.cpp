// The options of sequential reading: the display filter that chooses the
// packets, and whether their summaries carry the column texts.
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
