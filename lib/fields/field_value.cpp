// SPDX-License-Identifier: GPL-2.0-or-later
// The typed value of one registered field in the packet dissected last
// (gGetFieldValue): the value a batch gives for the field's first occurrence,
// so that a host prints or converts numbers, booleans and times as numbers
// instead of parsing texts.
#include <string>

#include <epan/epan_dissect.h>

#include "wsbridge.h"
#include "compat/engine_series.h"
#include "dissection/dissection.h"
#include "engine/guarded_call.h"
#include "engine/state.h"
#include "fields/batch.h"
#include "fields/matched.h"
#include "fields/registry.h"

namespace {

const char operation[] = "Get Field Value";

// The text handed out last; its storage is kept from call to call. Never
// destroyed: a host that exits without shutting the engine down leaves it
// reachable.
std::string &handed_text = *new std::string;

}  // namespace

int32_t gGetFieldValue(int32_t field_id, WsbBatchValue *value, const char **text)
{
    if (!value || !text) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No place for the value and its text was given.",
                         operation);
        return WSB_FAILED;
    }
    if (!require_current_dissection(operation))
        return WSB_FAILED;
    if (!registry_has_field_id(field_id)) {
        set_error_format(WSB_E_UNKNOWN_FIELD, "\"%s\" operation failed. The field id %d is not the id of a registered "
                         "field (register it and take its id from gGetProtocolFieldFilterInfo).",
                         operation, field_id);
        return WSB_FAILED;
    }
    epan_dissect_t *edt = current_dissection();
    const field_info *record = edt->tree ? records_of_name(field_id).first : nullptr;
    WsbBatchValue result{};
    result.kind = WSB_VALUE_ABSENT;
    bool has_text = false;
    const int32_t status = run_in_engine_frame(
        [&] {
            if (!record)
                return;
            int64_t signed_value = 0;
            uint64_t unsigned_value = 0;
            double floating = 0;
            const series_number_kind number =
                series_value_number(record, &signed_value, &unsigned_value, &floating);
            if (number != series_number_kind::text) {
                result.kind = batch_value_kind(number);
                if (result.kind == WSB_VALUE_UINT || result.kind == WSB_VALUE_BOOL)
                    result.value.u = unsigned_value;
                else if (result.kind == WSB_VALUE_DOUBLE)
                    result.value.d = floating;
                else
                    result.value.i = signed_value;
                return;
            }
            // As in a batch, a value the engine has no text for is absent.
            char *composed = series_field_text(record, edt);
            if (!composed)
                return;
            handed_text.assign(composed);
            g_free(composed);
            has_text = true;
            result.kind = WSB_VALUE_TEXT;
            result.text_size = static_cast<int32_t>(handed_text.size());
            result.value.text_offset = 0;
        },
        operation);
    if (status == WSB_OUT_OF_MEMORY)
        set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. The engine ran out of memory.", operation);
    if (status != WSB_OK)
        return WSB_FAILED;
    *value = result;
    *text = has_text ? handed_text.c_str() : nullptr;
    return WSB_OK;
}
