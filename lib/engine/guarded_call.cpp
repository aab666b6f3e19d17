// SPDX-License-Identifier: GPL-2.0-or-later
#include "engine/guarded_call.h"

#include <glib.h>
#include <epan/exceptions.h>

#include "engine/state.h"

int32_t run_in_engine_frame(void (*body)(void *), void *context, const char *what)
{
    volatile int32_t status = WSB_OK;
    TRY {
        body(context);
    }
    CATCH(OutOfMemoryError) {
        set_error_code(WSB_E_OUT_OF_MEMORY);
        status = WSB_OUT_OF_MEMORY;
    }
    CATCH_ALL {
        const char *message = GET_MESSAGE;
        set_error_format(WSB_E_ENGINE, "%s failed: %s", what, message ? message : "the engine raised an exception");
        status = WSB_FAILED;
    }
    ENDTRY;
    return status;
}
