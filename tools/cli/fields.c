/* wsbridge fields NAME...: registers each name and prints its engine id and
 * type code, or the library's message. */
#include <stdio.h>

#include "cli.h"

int cli_fields(int argc, char **argv)
{
    if (argc < 1)
        return 2;
    for (int i = 0; i < argc; ++i)
        if (gRegisterProtocolFieldFilter(argv[i], "CLI") != 0)
            return cli_fail("register");
    int status = 0;
    for (int i = 0; i < argc; ++i) {
        int32_t id = 0, type = 0;
        if (gGetProtocolFieldFilterInfo(argv[i], &id, &type) == 0) {
            printf("%s\tid=%d\ttype=%d\n", argv[i], id, type);
        } else {
            printf("%s\terror: %s", argv[i], gGetLastError());
            status = 1;
        }
    }
    return status;
}
