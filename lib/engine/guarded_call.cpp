#include "engine/guarded_call.h"

#include <glib.h>
#include <epan/exceptions.h>

#include "state.h"

int32_t run_in_engine_frame(void (*body)(void *), void *context, const char *what)
{
    volatile int32_t status = guarded_ok;
    TRY {
        body(context);
    }
    CATCH(OutOfMemoryError) {
        status = guarded_out_of_memory;
    }
    CATCH_ALL {
        const char *message = GET_MESSAGE;
        set_error_format("%s failed: %s", what, message ? message : "the engine raised an exception");
        status = guarded_failed;
    }
    ENDTRY;
    return status;
}
