/*
 * wsbridge - the Wireshark dissection engine behind a flat C interface.
 *
 * All state is process-wide: one engine, at most one open capture. Every call
 * except gGetLastError and gHackedCleanup returns a status:
 *   0  success (out-parameters written),
 *   1  failure (gGetLastError() holds the message; out-parameters untouched
 *      unless a call says otherwise),
 *   2  end of the capture (gGetNextPacket only),
 *   3  the engine ran out of memory while dissecting (reading calls only).
 * Call from one thread at a time. Texts handed out stay owned by the library.
 *
 * Calling order: gInitEpan once; gRegisterProtocolFieldFilter for each field
 * of interest; gGetProtocolFieldFilterInfo for the ids; then open and read
 * captures; gCleanupEpan at the end (the engine cannot be started again in
 * the same process).
 */
#ifndef WSBRIDGE_H
#define WSBRIDGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define WSBRIDGE_API __attribute__((visibility("default")))
#else
#define WSBRIDGE_API
#endif

/* Field type codes as they cross this interface (the engine's classic
 * numbering; newer engine types are mapped onto these or onto codes from 31). */
enum {
    WSB_FT_NONE = 0, WSB_FT_PROTOCOL = 1, WSB_FT_BOOLEAN = 2, WSB_FT_UINT8 = 3,
    WSB_FT_UINT16 = 4, WSB_FT_UINT24 = 5, WSB_FT_UINT32 = 6, WSB_FT_UINT64 = 7,
    WSB_FT_INT8 = 8, WSB_FT_INT16 = 9, WSB_FT_INT24 = 10, WSB_FT_INT32 = 11,
    WSB_FT_INT64 = 12, WSB_FT_FLOAT = 13, WSB_FT_DOUBLE = 14,
    WSB_FT_ABSOLUTE_TIME = 15, WSB_FT_RELATIVE_TIME = 16, WSB_FT_STRING = 17,
    WSB_FT_STRINGZ = 18, WSB_FT_EBCDIC = 19, WSB_FT_UINT_STRING = 20,
    WSB_FT_ETHER = 21, WSB_FT_BYTES = 22, WSB_FT_UINT_BYTES = 23,
    WSB_FT_IPv4 = 24, WSB_FT_IPv6 = 25, WSB_FT_IPXNET = 26, WSB_FT_FRAMENUM = 27,
    WSB_FT_PCRE = 28, WSB_FT_GUID = 29, WSB_FT_OID = 30,
    WSB_FT_EUI64 = 31, WSB_FT_AX25 = 32, WSB_FT_VINES = 33, WSB_FT_REL_OID = 34,
    WSB_FT_SYSTEM_ID = 35, WSB_FT_STRINGZPAD = 36, WSB_FT_FCWWN = 37,
    WSB_FT_STRINGZTRUNC = 38, WSB_FT_IEEE_11073_SFLOAT = 39,
    WSB_FT_IEEE_11073_FLOAT = 40
};

/* Address type codes (PacketSummary.*_address_type). */
enum {
    WSB_AT_NONE = 0, WSB_AT_ETHER = 1, WSB_AT_IPv4 = 2, WSB_AT_IPv6 = 3,
    WSB_AT_IPX = 4, WSB_AT_SNA = 5, WSB_AT_ATALK = 6, WSB_AT_VINES = 7,
    WSB_AT_OSI = 8, WSB_AT_ARCNET = 9, WSB_AT_FC = 10, WSB_AT_SS7PC = 11,
    WSB_AT_STRINGZ = 12, WSB_AT_EUI64 = 13, WSB_AT_URI = 14, WSB_AT_TIPC = 15,
    WSB_AT_FCWWN = 16, WSB_AT_IB = 17, WSB_AT_AX25 = 18, WSB_AT_NUMERIC = 19,
    WSB_AT_OTHER = 20 /* any other address type the engine registers */
};

/* Port type codes (PacketSummary.port_type). */
enum {
    WSB_PT_NONE = 0, WSB_PT_SCTP = 1, WSB_PT_TCP = 2, WSB_PT_UDP = 3,
    WSB_PT_DCCP = 4, WSB_PT_IPX = 5, WSB_PT_NCP = 6, WSB_PT_EXCHG = 7,
    WSB_PT_DDP = 8, WSB_PT_SBCCS = 9, WSB_PT_IDP = 10, WSB_PT_TIPC = 11,
    WSB_PT_USB = 12, WSB_PT_I2C = 13, WSB_PT_IBQP = 14, WSB_PT_BLUETOOTH = 15,
    WSB_PT_IWARP_MPA = 16
};

/* ---- Library state and errors ------------------------------------------ */

/* The message of the most recent failure (at most 2048 characters). Never
 * cleared by a success. The pointer is valid for the life of the library. */
WSBRIDGE_API const char *gGetLastError(void);

/* Starts the engine once per process: switches off the reassembly
 * preferences, sets up the Protocol and Info columns, registers the default
 * fields "ip.version" (group "IP"), "tcp.srcport" ("TCP") and "udp.srcport"
 * ("UDP"). Reads no preference file and loads no plugin. 0 or 1. */
WSBRIDGE_API int32_t gInitEpan(void);

/* Shuts the engine down for good; every guarded call fails afterwards. */
WSBRIDGE_API int32_t gCleanupEpan(void);

/* Discards the engine's per-capture dissection state (an open capture stays
 * open and reading goes on). No status. */
WSBRIDGE_API void gHackedCleanup(void);

/* ---- Field registry ----------------------------------------------------- */

/* Files field_name (a display-filter field name such as "tcp.srcport") under
 * group_name. Names are checked when the registry is compiled. 0 or 1. */
WSBRIDGE_API int32_t gRegisterProtocolFieldFilter(const char *field_name,
                                                  const char *group_name);

/* Compiles the registry on first use (and again after later registrations),
 * then writes the engine's field id and the field type code of a registered
 * name. 0 or 1. */
WSBRIDGE_API int32_t gGetProtocolFieldFilterInfo(const char *field_name,
                                                 int32_t *field_id,
                                                 int32_t *field_type);


/* ---- Capture reading ---------------------------------------------------- */

/* One packet as sequential reading summarises it. The host owns the record.
 * Fields marked (seq) are written only by gGetNextPacket; random access by
 * offset leaves them as the host passed them. */
typedef struct PacketSummary {
    uint32_t frame_number;          /* 1 for the first packet after opening */
    uint32_t packet_length;         /* length on the wire */
    uint32_t captured_length;       /* bytes present in the file */
    int32_t port_type;              /* WSB_PT_* */
    uint16_t source_port;
    uint16_t destination_port;
    int64_t file_offset;            /* where random access re-reads it */
    int64_t relative_time;          /* (seq) since the first packet, 100 ns units */
    int64_t time_seconds;           /* (seq) time stamp, seconds since 1970 UTC */
    int32_t time_nanoseconds;       /* (seq) nanosecond part */
    int32_t encapsulation;          /* (seq) wiretap link-layer code */
    int32_t source_address_type;    /* WSB_AT_* */
    int32_t destination_address_type;
    char protocol_text[32];         /* (seq) Protocol column */
    char info_text[256];            /* (seq) Info column */
    char link_source_text[32];      /* link-layer source, empty when none */
    char link_destination_text[32];
    char source_text[64];           /* network source (or link-layer) */
    char destination_text[64];
} PacketSummary;

/* Opens a capture file (any format wiretap reads, also gzip). A capture that
 * is already open is closed first. 0 or 1. */
WSBRIDGE_API int32_t gOpenCapture(const char *path);

/* Closes the open capture and ends a followed stream. 0 or 1. */
WSBRIDGE_API int32_t gCloseCapture(void);

/* Reads and dissects the next packet and fills *summary. 0 packet, 1 error,
 * 2 end of the capture (also on every later call), 3 out of memory. */
WSBRIDGE_API int32_t gGetNextPacket(PacketSummary *summary);

/* Re-reads the packet named by the locator (frame number, file offset,
 * captured length, packet length and encapsulation, all taken from its
 * summary) and dissects it with a labelled tree; fills the fields of *summary
 * not marked (seq) when summary is not null. The running state of sequential
 * reading is not changed. captured_length may be smaller than the record
 * (only that many bytes are dissected) but not larger. Offsets from
 * 2147483647 on are refused. 0, 1 or 3. */
WSBRIDGE_API int32_t gGetPacketAtOffset(PacketSummary *summary, uint32_t frame_number, int64_t file_offset,
                                        int32_t captured_length, uint32_t packet_length,
                                        int32_t encapsulation);

#ifdef __cplusplus
}
#endif

#endif /* WSBRIDGE_H */
