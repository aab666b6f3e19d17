// SPDX-License-Identifier: GPL-2.0-or-later
// The 4.0 engine's field, address and port type codes in the numbering that
// crosses the library's interface.
#include "compat/engine_series.h"

#include <epan/address_types.h>
#include <epan/ftypes/ftypes.h>

int32_t series_field_type_code(int engine_type)
{
    switch (engine_type) {
    case FT_NONE: return 0;
    case FT_PROTOCOL: return 1;
    case FT_BOOLEAN: return 2;
    case FT_CHAR: return 3;
    case FT_UINT8: return 3;
    case FT_UINT16: return 4;
    case FT_UINT24: return 5;
    case FT_UINT32: return 6;
    case FT_UINT40: case FT_UINT48: case FT_UINT56: case FT_UINT64: return 7;
    case FT_INT8: return 8;
    case FT_INT16: return 9;
    case FT_INT24: return 10;
    case FT_INT32: return 11;
    case FT_INT40: case FT_INT48: case FT_INT56: case FT_INT64: return 12;
    case FT_FLOAT: return 13;
    case FT_DOUBLE: return 14;
    case FT_ABSOLUTE_TIME: return 15;
    case FT_RELATIVE_TIME: return 16;
    case FT_STRING: return 17;
    case FT_STRINGZ: return 18;
    case FT_UINT_STRING: return 20;
    case FT_ETHER: return 21;
    case FT_BYTES: return 22;
    case FT_UINT_BYTES: return 23;
    case FT_IPv4: return 24;
    case FT_IPv6: return 25;
    case FT_IPXNET: return 26;
    case FT_FRAMENUM: return 27;
    case FT_GUID: return 29;
    case FT_OID: return 30;
    case FT_EUI64: return 31;
    case FT_AX25: return 32;
    case FT_VINES: return 33;
    case FT_REL_OID: return 34;
    case FT_SYSTEM_ID: return 35;
    case FT_STRINGZPAD: return 36;
    case FT_FCWWN: return 37;
    case FT_STRINGZTRUNC: return 38;
    case FT_IEEE_11073_SFLOAT: return 39;
    case FT_IEEE_11073_FLOAT: return 40;
    default: return 0;
    }
}

int32_t series_address_type_code(int engine_type)
{
    switch (engine_type) {
    case AT_NONE: return 0;
    case AT_ETHER: return 1;
    case AT_IPv4: return 2;
    case AT_IPv6: return 3;
    case AT_IPX: return 4;
    case AT_FC: return 10;
    case AT_STRINGZ: return 12;
    case AT_EUI64: return 13;
    case AT_VINES: return 7;
    case AT_FCWWN: return 16;
    case AT_IB: return 17;
    case AT_AX25: return 18;
    case AT_NUMERIC: return 19;
    default: break;
    }
    // Types that dissectors register at run time (ids from AT_END_OF_LIST
    // on), found once by their names. 802.11's receiver, transmitter and
    // BSSID addresses are MAC addresses. Every other run-time type (USB,
    // ZigBee, J1939, ...) is "other".
    static const struct { const char *name; int32_t code; } registered[] = {
        {"AT_ETHER_WLAN", 1}, {"AT_ETHER_BSSID", 1}, {"AT_SNA", 5}, {"AT_ATALK", 6}, {"AT_OSI", 8},
        {"AT_ARCNET", 9},     {"AT_SS7PC", 11},      {"AT_URI", 14}, {"AT_TIPC", 15},
    };
    const int registered_count = static_cast<int>(sizeof registered / sizeof registered[0]);
    static int engine_ids[registered_count];
    static bool looked_up;
    if (!looked_up) {
        looked_up = true;
        for (int i = 0; i < registered_count; ++i)
            engine_ids[i] = address_type_get_by_name(registered[i].name);
    }
    for (int i = 0; i < registered_count; ++i)
        if (engine_ids[i] == engine_type && engine_type >= AT_END_OF_LIST)
            return registered[i].code;
    return 20;
}

int32_t series_port_type_code(int engine_type)
{
    switch (engine_type) {
    case PT_NONE: return 0;
    case PT_SCTP: return 1;
    case PT_TCP: return 2;
    case PT_UDP: return 3;
    case PT_DCCP: return 4;
    case PT_IPX: return 5;
    case PT_DDP: return 8;
    case PT_IDP: return 10;
    case PT_USB: return 12;
    case PT_I2C: return 13;
    case PT_IBQP: return 14;
    case PT_BLUETOOTH: return 15;
    case PT_IWARP_MPA: return 16;
    default: return 0;
    }
}
