/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * wsbridge - the Wireshark dissection engine behind a flat C interface.
 *
 * All state is process-wide: one engine, at most one open capture. Every call
 * except gGetLastError and gHackedCleanup returns a status:
 *   0  success (out-parameters written),
 *   1  failure (gGetLastError() holds the message; out-parameters untouched
 *      unless a call says otherwise),
 *   2  end of the capture (gGetNextPacket only),
 *   3  the engine ran out of memory while dissecting (reading calls only),
 *   4  the time given ran out (gWaitForPacket only).
 * Call from one thread at a time. Loading the library starts nothing.
 *
 * Ownership: the records the host passes in (WsbPacketSummary, WsbTreeNode,
 * WsbSavePacketRequest; the classic names PacketSummary, TreeNode and
 * SavePacketRequest name the same types) belong to the host; the library only writes or reads
 * them during the call. Texts, arrays and bytes the library hands out belong
 * to the library: never free them, and copy them to keep them past the point
 * each call names. Texts are NUL-terminated; sizes handed out with them count
 * the NUL. Paths are byte strings, passed to the file system as they are.
 *
 * Calling order: gInitEpan once; gRegisterProtocolFieldFilter for each field
 * of interest; gGetProtocolFieldFilterInfo for the ids (its first call
 * compiles the registry: packets dissected before it match no field); then
 * gOpenCapture and gGetNextPacket until it returns 2, with random access,
 * trees, field queries, saving and following in between; gCloseCapture;
 * gCleanupEpan at the end (the engine cannot be started again in the same
 * process).
 *
 * A packet is named by its locator: the frame number, file offset, captured
 * length, packet length and encapsulation of its PacketSummary, passed as the
 * five arguments that gGetPacketAtOffset takes. Every call that dissects a
 * packet (reading, random access, tree building, saving, following, adding
 * to a stream) replaces the packet dissected last: the matched fields and the
 * node handles of TreeNode records taken from the one before go stale.
 *
 * Most calls first check the library's state and fail (1) with
 * "\"OPERATION\" operation failed. Wireshark engine is not initialized yet."
 * before gInitEpan, "... Wireshark engine was already uninitialized." after
 * gCleanupEpan and, where a call needs an open capture, "... A capture file
 * needs to be opened in order to perform this operation.". Null pointers
 * where a call needs an argument or an output fail (1) as well.
 */
#ifndef WSBRIDGE_H
#define WSBRIDGE_H

#include <stdint.h>

/* The library's version: the one place it is written. The build, pkg-config,
 * the Python package and the command line take it from here; gGetVersion
 * hands out WSB_VERSION_STRING of the library actually loaded. */
#define WSB_VERSION_MAJOR 0
#define WSB_VERSION_MINOR 1
#define WSB_VERSION_PATCH 0
#define WSB_VERSION_TEXT_(number) #number
#define WSB_VERSION_TEXT(number) WSB_VERSION_TEXT_(number)
#define WSB_VERSION_STRING                                                   \
    WSB_VERSION_TEXT(WSB_VERSION_MAJOR) "." WSB_VERSION_TEXT(WSB_VERSION_MINOR) "." \
    WSB_VERSION_TEXT(WSB_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define WSBRIDGE_API __attribute__((visibility("default")))
#else
#define WSBRIDGE_API
#endif

/* Status codes every call returns (see above). */
enum {
    WSB_OK = 0,            /* success */
    WSB_FAILED = 1,        /* failure: gGetLastError() says why */
    WSB_END = 2,           /* end of the capture (gGetNextPacket) */
    WSB_OUT_OF_MEMORY = 3, /* the engine ran out of memory while dissecting */
    WSB_TIMED_OUT = 4      /* nothing arrived in the time given (gWaitForPacket) */
};

/* What kind of failure the most recent one was (gGetLastErrorCode). Every
 * call that fails sets the code together with gGetLastError's text; the
 * status codes above stay as they are. A host can branch on these codes and
 * show the text. */
enum {
    WSB_E_NONE = 0,           /* no failure yet */
    WSB_E_NOT_STARTED = 1,    /* the engine has not been started */
    WSB_E_SHUT_DOWN = 2,      /* the engine was shut down; it cannot start again */
    WSB_E_NO_CAPTURE = 3,     /* the call needs an open capture */
    WSB_E_BAD_ARGUMENT = 4,   /* null pointer, value out of range, malformed text, embedded limits */
    WSB_E_STALE = 5,          /* a locator/tree node/offset that is stale, foreign or names no packet */
    WSB_E_FILE = 6,           /* a file cannot be opened, read, written or is damaged */
    WSB_E_FILTER = 7,         /* a display filter was refused */
    WSB_E_PREFERENCE = 8,     /* a preference was refused */
    WSB_E_ENGINE = 9,         /* the engine failed otherwise */
    WSB_E_OUT_OF_MEMORY = 10, /* the engine ran out of memory (status WSB_OUT_OF_MEMORY) */
    WSB_E_STATE = 11,         /* call out of order: no current packet, no save file, no followed stream ... */
    WSB_E_UNKNOWN_FIELD = 12, /* a field or group name the engine / the registry does not know */
    WSB_E_LIMIT = 13,         /* a size limit was reached (too many registrations, filter too deep/large) */
    WSB_E_UNSUPPORTED = 14,   /* the request cannot be met in this build/format */
    WSB_E_PERMISSION = 15     /* the capture program may not capture on the interface */
};

/* Render formats of the stream-line calls (other values render as ascii).
 * WSB_RENDER_RAW is taken by gGetNextFollowChunk only: each chunk's bytes as
 * they are (the classic stream-line calls render it as ascii). */
enum {
    WSB_RENDER_ASCII = 0, WSB_RENDER_EBCDIC = 1, WSB_RENDER_HEXDUMP = 2, WSB_RENDER_CARRAY = 3,
    WSB_RENDER_RAW = 4
};

/* Direction filters of the stream-line calls (other values: both, without
 * the hex dump's indentation of the server). */
enum {
    WSB_DIRECTION_CLIENT = 0, WSB_DIRECTION_SERVER = 1, WSB_DIRECTION_BOTH = 2
};

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

/* Address type codes (PacketSummary.*_address_type). The engine's fixed
 * address types map onto the codes of the same name. Types that its
 * dissectors register while it starts map by what they are:
 *   802.11 receiver/transmitter ("AT_ETHER_WLAN") and BSSID
 *   ("AT_ETHER_BSSID") addresses   -> WSB_AT_ETHER (they are MAC addresses)
 *   SNA -> WSB_AT_SNA, AppleTalk DDP -> WSB_AT_ATALK, OSI -> WSB_AT_OSI,
 *   ARCNET -> WSB_AT_ARCNET, SS7 point codes (MTP3, M3UA, SCCP...)
 *   -> WSB_AT_SS7PC, URI -> WSB_AT_URI, TIPC -> WSB_AT_TIPC
 *   any other (USB, USB link layer, ZigBee, IEEE 802.15.4 short, J1939,
 *   BACnet MS/TP, DeviceNet, GeoNetworking, UAVCAN, vSocket, and whatever
 *   a later engine adds)      -> WSB_AT_OTHER
 * Whatever the code, the summary's address texts are the engine's own
 * rendering of the address (see PacketSummary). */
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

/* The message of the most recent failure (at most 2048 characters; empty
 * before the first failure). Never cleared by a success: read it right after
 * the call that failed. Runs in every state and never returns null. The
 * pointer stays valid for the life of the library, but the next failure
 * overwrites the text: copy it to keep it. */
WSBRIDGE_API const char *gGetLastError(void);

/* The WSB_E_* code of the most recent failure, set together with
 * gGetLastError's text (WSB_E_OUT_OF_MEMORY with status 3); WSB_E_NONE before
 * the first failure. Like the text, never cleared by a success. Runs in every
 * state. */
WSBRIDGE_API int32_t gGetLastErrorCode(void);

/* Starts the engine once per process: switches off the reassembly
 * preferences, sets up the Protocol and Info columns, registers the default
 * fields "ip.version" (group "IP"), "tcp.srcport" ("TCP") and "udp.srcport"
 * ("UDP"). Reads no preference file. Loads the dissector plugins of the
 * engine's global plugin folder (EtherCAT, OPC UA, PROFINET, ... as tshark
 * does, so their fields such as "ecat.cmd" exist), never plugins or Lua
 * scripts from the user's personal Wireshark folders (~/.local/lib/wireshark,
 * ~/.config/wireshark): a library does not run code from its user's home.
 * (The 4.0 engine still looks for Lua scripts under its other personal
 * folders, ~/.config/logray and ~/.local/lib/logray, and offers no switch.)
 * A personal file the process may not read (an unreadable home folder) does
 * not stop start-up; the engine's message about it stays in gGetLastError().
 * Call it before anything else. 0, or 1: "Wireshark engine was already
 * initialized." on a second call (also after gCleanupEpan), else the reason
 * the engine could not start (it cannot be started in this process then). */
WSBRIDGE_API int32_t gInitEpan(void);

/* Shuts the engine down for good: ends a followed stream, completes a save
 * file that is still open, closes the capture and releases the field
 * registry, the matched fields and the dissection state. Every guarded call
 * fails afterwards and gInitEpan cannot start the engine again. 0; 1 before
 * gInitEpan or after an earlier gCleanupEpan (nothing done), or when the open
 * save file could not be completed (its close message; the engine is shut
 * down all the same). */
WSBRIDGE_API int32_t gCleanupEpan(void);

/* Discards the engine's per-capture dissection state (an open capture stays
 * open and reading goes on; conversations and analyses start afresh). No
 * packet counts as dissected afterwards: matched fields and tree node
 * handles go stale. Frame numbers and times go on: a packet read in sequence
 * afterwards is re-read by offset as the frame it was (as described at
 * gGetPacketAtOffset); a packet read before is dissected afresh, as a packet
 * the engine has not seen. Does nothing before gInitEpan or after
 * gCleanupEpan. No status. */
WSBRIDGE_API void gHackedCleanup(void);

/* The library's version (WSB_VERSION_STRING) in *library_version and the version of
 * the engine it runs on ("4.0.17") in *engine_version. Both texts are owned
 * by the library and valid for the life of the process. Runs in every state.
 * 0, or 1 when either pointer is null (nothing written then). */
WSBRIDGE_API int32_t gGetVersion(const char **library_version, const char **engine_version);

/* The layout of an interface record as this build lays it out, for hosts in
 * other languages that mirror the records and check their copy before use:
 * with member null or "", *offset = 0 and *size = the size of the record;
 * else the offset and size of that member. Record names are the typedef
 * names ("PacketSummary", "TreeNode", "SavePacketRequest", "WsbBatchValue",
 * "WsbPacketBatch", "WsbConversation", "WsbEndpoint", "WsbHierarchyRow",
 * "WsbIntervalRow", "WsbLiveOptions", "WsbInterface"; the union of
 * WsbBatchValue is its member "value"), member names those of this header ("info_text"); texts are compared exactly. Runs in
 * every state. 0, or 1: null record name or outputs, a record or member this
 * interface does not have (outputs untouched then). */
WSBRIDGE_API int32_t gGetRecordLayout(const char *record, const char *member, int32_t *offset, int32_t *size);

/* Sets one of the engine's preferences, written as tshark's -o option takes
 * it: "module.name:value" ("tcp.desegment_tcp_streams:TRUE",
 * "ip.use_geoip:FALSE"); the text is copied. Only while no capture is open
 * (before gOpenCapture or after gCloseCapture): the setting holds for the
 * captures opened afterwards, for the rest of the engine's life. The
 * reassembly preferences that gInitEpan switches off are only defaults:
 * turning "tcp.desegment_tcp_streams" (and the others: smtp.desegment_lines,
 * smtp.desegment_data, http.desegment_headers, http.desegment_body,
 * http.dechunk_body, sip.desegment_headers, sip.desegment_body,
 * netbios.defragment, bittorrent.desegment) back on makes sequential reading
 * dissect as plain tshark's single pass does (the same Protocol and Info).
 * With reassembly on, data that spans packets is dissected at the packet
 * that completes it, in a data source of its own:
 *  - gGetFieldInfo, gGetTransportProtocolPayloadOffset and
 *    gGetIPv4ProtocolPayloadOffset count in the packet's own bytes, so the
 *    offset of a field of reassembled data means nothing (its start counts
 *    from the reassembled data; gGetFieldInfoEx says so plainly);
 *  - re-reading by offset (gGetPacketAtOffset, gBuildPacketProtocolTree,
 *    saving, following) dissects the packet as the frame it was when it was
 *    read in sequence before, with the reassembled data the engine kept;
 *    a packet not read in sequence first is dissected alone, and data that
 *    other packets complete is then missing from its tree.
 * 0, or 1: engine not running, null argument, a capture is open,
 * "\"Set Preference\" operation failed. \"NAME:VALUE\" specifies unknown
 * preference.", or a value the preference does not take ("Invalid
 * preference ..."); a refused setting changes nothing. */
WSBRIDGE_API int32_t gSetPreference(const char *assignment);

/* ---- Field registry ----------------------------------------------------- */

/* Files field_name (a display-filter field name such as "tcp.srcport") under
 * group_name (any text; a group is created by its first field). A name may be
 * filed under several groups; filing it again under the same group changes
 * nothing (0). Both texts are copied. A name that is neither a field nor a
 * protocol name the engine knows (an expression such as "tcp.port == 80"
 * included) is refused and leaves the registry as it was; a registration
 * cannot be taken back. The registry takes up to 65,536 different names.
 * 0, or 1: engine not running, null argument, "\"Register protocol field
 * filter\" operation failed. \"NAME\" is neither a field nor a protocol
 * name the engine knows.", or a new name when the registry is full ("...
 * The registry holds 65536 different names, the most it takes: \"NAME\" was
 * not added."). */
WSBRIDGE_API int32_t gRegisterProtocolFieldFilter(const char *field_name,
                                                  const char *group_name);

/* Compiles the registry on first use (and again after later registrations),
 * then writes the engine's field id (*field_id) and the field type code
 * (*field_type, WSB_FT_*) of a registered name. Dissections from then on
 * record the registered fields for gLastPacketHasPassedFilter. 0, or 1:
 * engine not running, null argument, "Error compiling filter: ..." (a
 * registered name is unknown), "Requested protocol field \"NAME\" was not
 * registered.\n". */
WSBRIDGE_API int32_t gGetProtocolFieldFilterInfo(const char *field_name,
                                                 int32_t *field_id,
                                                 int32_t *field_type);


/* ---- Capture reading ---------------------------------------------------- */

/* One packet as sequential reading summarises it. The host owns the record.
 * Fields marked (seq) are written only by gGetNextPacket; random access by
 * offset leaves them as the host passed them. Texts are NUL-terminated and
 * cut to fit their arrays, never inside a UTF-8 character (Protocol and Info
 * as tshark shows those columns);
 * ports and address types are those of the innermost transport and network
 * headers the engine reports, 0 (WSB_PT_NONE, WSB_AT_NONE) when none. */
typedef struct WsbPacketSummary {
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
    char protocol_text[32];         /* (seq) Protocol column (whole: gGetPacketTexts) */
    char info_text[256];            /* (seq) Info column (whole: gGetPacketTexts) */
    char link_source_text[32];      /* link-layer source, empty when none */
    char link_destination_text[32];
    char source_text[64];           /* network source (or link-layer) */
    char destination_text[64];
} WsbPacketSummary;
/* Address texts: each is the text that tshark -n shows for that address in
 * its Source and Destination columns (link-layer texts: its unresolved
 * hardware Source and Destination columns), for every address type:
 * "192.168.1.5", "2001:db8::1", "00:0b:86:11:22:33" (also for 802.11),
 * "210" (an SS7 point code), ... No name resolution; cut to at most 62 (30
 * for link-layer) bytes, never inside a UTF-8 character.
 * Where the engine sets no network or link-layer source (destination) for a
 * packet, source_text (destination_text) is what the dissector wrote into
 * tshark -n's Source (Destination) column instead, without a trailing role
 * in parentheses, and empty when it wrote nothing:
 *   - 802.11 control frames (RTS, CTS, ACK, Block Ack...) name their
 *     receiver and transmitter there, "00:0b:86:11:22:33 (RA)": the text is
 *     "00:0b:86:11:22:33" and the type WSB_AT_ETHER;
 *   - other notes keep the type WSB_AT_NONE: "N/A" (Cisco HDLC, PPP and
 *     other serial links, as tshark shows it), "DTE"/"DCE" (X.25, LAPB),
 *     "AID 0x0001" (802.11ah short-header frames), ... A host that wants only
 *     addresses ignores texts whose type is WSB_AT_NONE.
 * A type other than WSB_AT_NONE always comes with a non-empty text. The
 * link-layer texts hold addresses only (empty when absent). */

/* Opens the capture file at path (any format wiretap reads, also gzip) for
 * reading from its first packet. A capture that is already open is closed
 * once the new one has opened, and a followed stream ends with it, as
 * gCloseCapture ends it (a failed open keeps both). 0, or 1 with the reason
 * (unknown format, missing file, ...). An anonymous pipe (standard input on
 * a pipe, named /dev/stdin or /proc/self/fd/0) is read in sequence as its
 * packets arrive; re-reading its packets by offset (gGetPacketAtOffset,
 * trees, saving, following by locator) fails then (1, WSB_E_UNSUPPORTED).
 * Named FIFOs and other special files are refused.
 * Memory: the first packet dissected after an open (or after gHackedCleanup)
 * starts a new dissection session, for which the 4.0 engine reloads its
 * name-resolution tables (about 11 MB); the library gives the previous
 * session's tables back first, so a host that stays up stays bounded: 1000
 * captures read in one process grow it by about 11 to 19 MB after the first
 * 30. */
WSBRIDGE_API int32_t gOpenCapture(const char *path);

/* Closes the open capture and ends a followed stream; no packet counts as
 * dissected afterwards. A save file stays open, and only a call made while a
 * capture is open can close it: close it before. 0, or 1 when no capture is
 * open. */
WSBRIDGE_API int32_t gCloseCapture(void);

/* Reads and dissects the next packet of the open capture and fills every
 * field of *summary; the packet becomes the one dissected last. 0 packet,
 * 1 error (no capture, null summary, a damaged file: the message tells where),
 * 2 end of the capture (also on every later call; no packet counts as
 * dissected then), 3 the engine ran out of memory while dissecting. */
WSBRIDGE_API int32_t gGetNextPacket(WsbPacketSummary *summary);

/* Sets the display filter of sequential reading (the display-filter syntax
 * of tshark's -Y, "tcp.port == 80 && http"); filter is copied. From the next
 * gGetNextPacket on, only the packets that match it are returned: the others
 * are still read and dissected, in order, so frame numbers, relative times,
 * conversations and analyses are those of the whole file, as in tshark's
 * single pass with -Y. Byte counts and the time since the previous packet
 * (frame.time_delta_displayed) count only the packets returned. A null or
 * empty filter (or only blanks) clears it. May be set or cleared at any time
 * after gInitEpan, also between packets; random access, trees, saving and
 * following ignore it. The engine's compiler nests one level per operator
 * of a chain ("a || b || c", "1 + 2 + 3"), so a filter nesting more than
 * 2,000 operators in one group of parentheses (or in groups nested in one
 * another) is refused: group long chains in parentheses, or list values
 * with "in {...}". 0, or 1: engine not running, a filter nested too deeply
 * ("\"Set Display Filter\" operation failed. The filter nests N operators,
 * more than the 2000 the engine can compile ..."), or a filter that does
 * not compile, with the engine's message ("\"nope\" is neither a field nor a
 * protocol name."); the filter set before then stays. */
WSBRIDGE_API int32_t gSetDisplayFilter(const char *filter);

/* Chooses whether gGetNextPacket fills the column texts of the summaries:
 * on (non-zero, the default) or off (0). Off, the packets are dissected
 * without the engine's columns, as tshark -q dissects them, which saves the
 * dissectors about a tenth of their work: protocol_text and info_text come
 * back empty, and so do the source and destination texts of packets without
 * network addresses that take them from a column (802.11 control frames,
 * serial links; their types are then WSB_AT_NONE). Every other field is as
 * with the texts on, and following, saving and field values give the same
 * results, so a host that needs numbers, addresses and ports only (a
 * one-pass follow, choosing packets to save, reading field values) loses
 * nothing. Random access (gGetPacketAtOffset, trees) always fills the texts
 * it fills. May be changed at any time after gInitEpan,
 * also between packets; it lasts across captures. 0, or 1 (engine not
 * running). */
WSBRIDGE_API int32_t gSetSummaryTexts(int32_t enabled);

/* Conversation keys for gSetReadingShare. */
enum {
    WSB_SHARE_BY_ADDRESSES = 0,  /* a hash of the unordered pair of network
                                    addresses */
    WSB_SHARE_BY_ENDPOINTS = 1,  /* a hash of the unordered pair of
                                    address-and-port endpoints with the
                                    transport protocol */
    WSB_SHARE_BALANCED = 2       /* each conversation, when first seen, to the
                                    share with the fewest packets so far */
};

/* Splits sequential reading over `count` processes, each reading the same
 * capture: this process takes share `index` (0 to count - 1). Every record is
 * still read and counted, so frame numbers, times relative to the first
 * packet, the previous packet's time and (without a display filter) the byte
 * counts stay those of the whole file; but gGetNextPacket dissects and
 * returns only the packets that fall in this share. Each process decides
 * alike from the records it reads, in the same order, without talking to the
 * others. The conversations are read from the link, network and transport
 * headers of the record's bytes (Ethernet with 802.1Q/802.1ad tags, Linux
 * cooked v1 and v2, raw IPv4 and IPv6, BSD loopback; IPv4 and IPv6 addresses,
 * TCP, UDP, SCTP, DCCP and UDP-Lite ports); the fragments of one datagram
 * stay together. WSB_SHARE_BY_ADDRESSES keeps every conversation of two
 * hosts together (FTP data connections, RTP set up by SIP between the same
 * hosts) by a hash of their addresses, WSB_SHARE_BY_ENDPOINTS parts them by
 * ports too; both read the outermost network layer.
 * WSB_SHARE_BALANCED (at most 4096 shares) reads through IP-in-IP,
 * IPv6-in-IPv4 (6to4), IPv4-in-IPv6, GRE, VXLAN and Geneve tunnels to the
 * innermost addresses, where the engine tracks the conversation (the same
 * conversation carried plainly, or in another tunnel, stays with it). It
 * gives each pair of hosts, when
 * first seen, to the share that has got the fewest packets so far; a pair
 * that carries more than an even share of the packets read so far
 * gives each new connection (pair of ports) to the share with the fewest
 * packets, unless it has carried a control protocol the engine follows into
 * further connections (FTP, TFTP, SIP, RTSP, H.323, MGCP, Skinny, PPTP,
 * DCE/RPC's and Sun RPC's port mappers, Oracle TNS, on their usual ports).
 * Packets without a key (ARP, other links) all go to share 0. A packet of
 * another share is refused by every call that re-reads a packet
 * (gGetPacketAtOffset, trees, saving, following): this process has not seen
 * its conversation; with WSB_SHARE_BALANCED, so is a packet not yet read in
 * sequence (its share is not known before). With a display filter, the time
 * since the previous shown packet and the byte counts count only this
 * share's packets. Set only while no capture is open; lasts across
 * captures; (0, 1, any key) reads everything again. 0, or 1 (no engine, a
 * capture open, a share that does not exist, an unknown key). */
WSBRIDGE_API int32_t gSetReadingShare(int32_t index, int32_t count, int32_t key);

/* Re-reads the packet named by the locator (frame number, file offset,
 * captured length, packet length and encapsulation, all taken from its
 * summary) and dissects it with a labelled tree; it becomes the packet
 * dissected last. Fills the fields of *summary not marked (seq) when summary
 * is not null; gGetPacketTexts then hands out its Protocol and Info texts
 * (with or without a summary). The running state of sequential reading is not
 * changed: later packets read in sequence dissect as without the re-read,
 * except where a dissector of the engine records state on every dissection
 * of a packet, not only the first (in 4.0, FTP: a request re-read in the
 * middle of the first reading becomes the command named by FTP data
 * connections opened after it).
 * captured_length may be smaller than the record (only that many bytes are
 * dissected) but not larger, nor negative. The locator must describe the
 * record at the offset: another encapsulation than the record's is refused,
 * and so is, for a frame number that sequential reading gave out, another
 * offset than that frame's. Negative offsets and offsets from 2147483647 on
 * are refused. A packet read in sequence before is dissected as
 * the frame it was, with what the engine learnt of it then (its tree equals
 * the one a second pass over the capture shows). 0, 1 (no capture, refused locator, no packet at the offset) or 3
 * (out of memory). */
WSBRIDGE_API int32_t gGetPacketAtOffset(WsbPacketSummary *summary, uint32_t frame_number, int64_t file_offset,
                                        int32_t captured_length, uint32_t packet_length,
                                        int32_t encapsulation);

/* The whole Protocol and Info texts of the packet gGetNextPacket or
 * gGetPacketAtOffset returned last (the PacketSummary holds at most 31 / 255
 * bytes of them, cut on a whole UTF-8 character; the Info column holds up to
 * 4095). Texts are UTF-8, NUL-terminated, owned by the library, valid until
 * the next call that reads or re-reads a packet or closes the capture; sizes
 * in bytes without the NUL. Either out pair may be NULL. Empty texts when
 * gGetNextPacket read the packet with the summary texts switched off
 * (gSetSummaryTexts(0)). 0, or 1: no capture open, or no current packet
 * ("\"Get Packet Texts\" operation failed. There is no current packet: ...":
 * nothing read yet, the end of the capture reached, or another call
 * dissected a packet since: a tree, a save, a follow). */
WSBRIDGE_API int32_t gGetPacketTexts(const char **protocol, int32_t *protocol_size,
                                     const char **info, int32_t *info_size);

/* *decimals receives the number of decimals the time stamp of the packet
 * read last by gGetNextPacket carries in the capture: 0 (seconds), 1, 2, 3
 * (milliseconds), 6 (microseconds, as libpcap) or 9 (nanoseconds). Before
 * the first packet, and for formats without a fixed precision, the capture
 * file's own precision, and 6 when the file does not state one. A host
 * prints times with that many decimals, as tshark does, from
 * PacketSummary.time_seconds and time_nanoseconds (exact; relative_time
 * counts 100 ns units). 0, or 1 (no capture, null decimals). */
WSBRIDGE_API int32_t gGetPacketTimePrecision(int32_t *decimals);

/* The time stamp of the capture's first packet (frame 1), from which every
 * relative_time counts, whether or not that packet was shown (a display
 * filter, a reading share). Known once sequential reading has read it.
 * 0, or 1 (no capture, a null pointer, no packet read in sequence yet). */
WSBRIDGE_API int32_t gGetFirstPacketTime(int64_t *seconds, int32_t *nanoseconds);

/* The library's dissection generation in *generation: a number that changes
 * whenever the packet dissected last changes (every call that dissects a
 * packet, reading, random access, trees, saving, following) and when a
 * capture opens or closes. Whatever a host took from a dissection (matched
 * fields, tree node handles, packet texts, values) belongs to the generation
 * it was taken in and is stale once the number differs: a host compares
 * numbers instead of counting dissections. 0, or 1 (engine not running, a
 * null pointer). */
WSBRIDGE_API int32_t gGetDissectionGeneration(uint64_t *generation);

/* ---- Live capture -------------------------------------------------------
 * Packets from a network interface as they arrive. The engine's capture
 * program, dumpcap (Debian's wireshark-common), captures them into a spool
 * file, as it does for tshark, and tells the library over a pipe how many
 * packets it has written, which file it writes and what went wrong; the
 * library reads the spool as the packets are written. The spool lies in a
 * folder of its own (wsbridge-live-XXXXXX in the spool folder) that closing
 * removes. The program is the one the environment variable WSB_DUMPCAP
 * names, else "dumpcap" found on PATH, else /usr/bin/dumpcap. Capturing
 * needs the rights to (root, or a member of the "wireshark" group when
 * dumpcap has its capabilities: "sudo dpkg-reconfigure wireshark-common",
 * or "sudo setcap cap_net_raw,cap_net_admin+eip /usr/bin/dumpcap").
 *
 * While a live capture is open, every call that works on an open capture
 * works on it: gGetNextPacket and gGetNextPacketBatch return the packets as
 * they arrive (waiting for the next one), random access, trees, saving and
 * following work on the packets read in sequence so far. gGetNextPacket
 * returns 2 once dumpcap has stopped (on a stop condition, gStopLiveCapture
 * or a signal) and every packet it wrote has been read; 1 with the message
 * (WSB_E_ENGINE) after the packets written when dumpcap failed, died or was
 * killed. A host that exits or is killed leaves no dumpcap running: a small
 * keeper process, forked by gOpenLiveCapture, stops dumpcap when the host's
 * end of a pipe closes.
 *
 * Bounded memory and disk, for captures that run for days: with
 * session_packets N, the engine's per-capture state (conversations,
 * reassembly, analyses) and what the library keeps per frame are given back
 * every N packets, as tshark's -M does; frame numbers and times go on. With
 * ring_file_kilobytes, dumpcap writes a ring of ring_files files of that size
 * (its -b filesize: and files:), removing the oldest; each new file starts a
 * new session too. Frames read before the current session (or file) began
 * cannot be read again: random access, trees, saving and following fail for
 * them (1, WSB_E_STALE); saving and following read the current file's packets
 * read so far. Reading shares (gSetReadingShare) do not apply to a live
 * capture. */

/* What gOpenLiveCapture captures. Zero members take the default. Texts are
 * copied. 48 bytes. */
typedef struct WsbLiveOptions {
    const char *interface_name;  /* a name or number as gListInterfaces gives (required) */
    const char *capture_filter;  /* libpcap's filter syntax ("udp port 53"); null or "": none */
    const char *spool_folder;    /* where the spool folder is made; null or "": $TMPDIR, else /tmp */
    int32_t snap_length;         /* bytes kept of each packet; 0: dumpcap's default (262144) */
    int32_t stop_after_packets;  /* dumpcap stops after this many packets; 0: never */
    int32_t stop_after_seconds;  /* dumpcap stops after this many seconds; 0: never */
    int32_t session_packets;     /* a new dissection session every this many packets; 0: one */
    int32_t ring_file_kilobytes; /* a new spool file when one reaches this size (kB); 0: one file */
    int32_t ring_files;          /* with ring_file_kilobytes: files kept (0: 2) */
} WsbLiveOptions;

/* One interface dumpcap can capture on, as `dumpcap -D` lists it. 400 bytes. */
typedef struct WsbInterface {
    int32_t number;              /* its number in the list, from 1 (also a name for -i) */
    int32_t loopback;            /* 1 for a loopback interface */
    char name[128];              /* "eth0", "lo" */
    char description[128];       /* the friendly name, else the vendor's description; "" when none */
    char addresses[136];         /* its IPv4 and IPv6 addresses, comma-separated, cut to fit */
} WsbInterface;

/* Lists the interfaces dumpcap can capture on (`dumpcap -D`; extcap
 * interfaces, which tshark -D adds, are not listed): *interfaces (valid until
 * the next gListInterfaces or gCleanupEpan) and *count. Runs dumpcap and waits
 * for it. Needs the engine running. 0, or 1: null outputs (WSB_E_BAD_ARGUMENT),
 * dumpcap missing (WSB_E_UNSUPPORTED) or failing (WSB_E_PERMISSION,
 * WSB_E_ENGINE, with dumpcap's message). */
WSBRIDGE_API int32_t gListInterfaces(const WsbInterface **interfaces, int32_t *count);

/* Starts a live capture: closes the capture open until then (also when this
 * call fails), starts dumpcap on the interface with the options and waits
 * until it writes its spool file. The capture is then the open capture; the
 * statistics tables count from nothing. 0, or 1: engine not running, null
 * options or interface, a negative member, ring_files without
 * ring_file_kilobytes or below 2, a reading share set (WSB_E_BAD_ARGUMENT,
 * WSB_E_STATE); no such interface (WSB_E_BAD_ARGUMENT); no permission to
 * capture (WSB_E_PERMISSION, naming the mend); a capture filter that does
 * not compile (WSB_E_FILTER, with dumpcap's reason); dumpcap missing
 * (WSB_E_UNSUPPORTED); a spool folder that cannot be made (WSB_E_FILE);
 * dumpcap failing otherwise (WSB_E_ENGINE, with its message). */
WSBRIDGE_API int32_t gOpenLiveCapture(const WsbLiveOptions *options);

/* Waits until gGetNextPacket can read the next record without waiting, at
 * most timeout_ms milliseconds (negative: for as long as it takes; 0: only
 * looks), so that a host with an event loop can poll. 0 a record is ready
 * (with a display filter, gGetNextPacket may still pass over it and wait for
 * a matching one), 4 nothing yet (WSB_TIMED_OUT; the error text and code are
 * not changed), 2 the capture has ended and every packet has been read, 1
 * dumpcap failed (the message, as gGetNextPacket reports it) or no capture
 * is open. For a capture file: 0 while records are left, 2 at its end. */
WSBRIDGE_API int32_t gWaitForPacket(int32_t timeout_ms);

/* Asks dumpcap to stop capturing (SIGINT, as tshark asks it): reading then
 * returns the packets it wrote and ends with 2. Safe to call from another
 * thread while a read waits, and from a signal handler (it only sends a
 * signal); does nothing when no live capture runs. Always 0. */
WSBRIDGE_API int32_t gStopLiveCapture(void);

/* dumpcap's counts so far: packets it has written to the spool
 * (*written) and packets the interface or dumpcap dropped (*dropped, known
 * once dumpcap has stopped; 0 before). 0, or 1: no live capture open, null
 * outputs. */
WSBRIDGE_API int32_t gGetLiveCaptureCounts(uint64_t *written, uint64_t *dropped);

/* ---- Protocol tree ------------------------------------------------------ */

/* One item of a packet's protocol tree, as gGetTreeNodeByIndex copies it out.
 * The host owns its copy. Records come depth first, parents before children;
 * hidden items and their subtrees are left out. parent_index holds the
 * parent's index (its position + 1), so the parent record is at position
 * parent_index - 1. Texts are NUL-terminated; the node handle is for the
 * by-node value getters only. */
typedef struct WsbTreeNode {
    int32_t parent_index;   /* index of the parent record; -1 at the top level */
    int32_t index;          /* position in the tree + 1 (the first record is 1) */
    int32_t start;          /* first byte of the item in its data source (for
                               items on the packet, in the bytes that
                               gBuildPacketProtocolTree hands out) */
    int32_t length;         /* bytes the item covers */
    int32_t field_type;     /* WSB_FT_* of the item's value */
    char field_abbrev[256]; /* filter name ("ip.src"), empty when none */
    char field_name[240];   /* display name ("Source Address"), empty when none */
    char label[240];        /* the item's text in the tree; generated items
                               in square brackets; cut to 239 characters */
    void *node;             /* opaque handle of the engine's item: valid only
                               while no other packet has been dissected */
} WsbTreeNode;

/* Re-reads the packet named by the locator (as gGetPacketAtOffset), dissects
 * it with a labelled tree and flattens the tree into records that
 * gGetTreeNodeByIndex copies out; the packet becomes the one dissected
 * last. *data_length is set to 0 first, whatever happens next. The tree
 * built before is freed once the guards pass (also if this call then fails).
 * On success *data_length = captured_length and *data points to the
 * packet's bytes, owned by the library and valid until the next packet is
 * re-read by offset (tree, packet at offset, saving, following).
 * Both pointers must be given. Offsets from 2147483647 on are refused.
 * 0 success, 1 failure, 3 the engine ran out of memory (the bytes are handed
 * out, no tree exists). */
WSBRIDGE_API int32_t gBuildPacketProtocolTree(int32_t *data_length, const uint8_t **data,
                                              uint32_t frame_number, int64_t file_offset,
                                              int32_t captured_length, uint32_t packet_length,
                                              int32_t encapsulation);

/* Writes the number of records of the tree built last into *count (needs
 * the open capture). 1 when no tree exists ("Error reading tree node: The
 * protocols tree is not created."). */
WSBRIDGE_API int32_t gGetProtocolTreeNodesCount(int32_t *count);

/* Copies the record at position (0 to count - 1) into *node. 1 when no tree
 * exists (checked first) or the position is out of range ("Error reading
 * tree node: Index out of range."); *node is then untouched. The records
 * outlive their dissection, their node handles do not. */
WSBRIDGE_API int32_t gGetTreeNodeByIndex(WsbTreeNode *node, int32_t position);

/* Frees the tree's records (the next gBuildPacketProtocolTree frees them as
 * well). Runs in every state; always 0. */
WSBRIDGE_API int32_t gFreePacketProtocolTree(void);

/* ---- Saving ------------------------------------------------------------- */

/* One packet to copy into the save file. The host owns the record; the values
 * come from the packet's PacketSummary. 48 bytes in natural alignment: 4
 * bytes of padding follow captured_length and 7 follow skip_flag. */
typedef struct WsbSavePacketRequest {
    uint32_t frame_number;     /* frame number given to the re-dissection */
    uint32_t packet_length;    /* length on the wire, written as is */
    uint32_t captured_length;  /* bytes read from the capture and written; at
                                  most what the record at file_offset holds */
    int64_t file_offset;       /* offset of the packet's record in the capture */
    int64_t time_seconds;      /* time stamp written into the saved record */
    int32_t time_nanoseconds;  /* (a microsecond libpcap file keeps microseconds) */
    int32_t encapsulation;     /* wiretap link-layer code of the packet */
    uint8_t skip_flag;         /* non-zero: ask the TCP sequence tracker and
                                  leave the packet out when it only repeats
                                  bytes already written for its direction of
                                  the tracked conversation */
} WsbSavePacketRequest;

/* Creates a libpcap file at path (an existing file is replaced) for the
 * packets of the open capture (its link-layer type and snapshot length): the
 * microsecond variant, or the nanosecond variant when the capture's time
 * stamps are finer than microseconds (earlier versions always wrote
 * microseconds and so cut nanosecond stamps). The snapshot length is the
 * capture's own; a capture that states none (pcapng) gets the largest the
 * engine reads for the link type (262144 for most), as editcap writes it. A
 * packet longer than the length the file states (the libpcap header's, a
 * pcapng interface's) raises it, so that readers that cut packets there
 * read every byte. Closed without packets, the file is a valid empty
 * capture.
 * Then call gSavePacketToCaptureFile per packet and gCloseCaptureFileForSave,
 * with the same capture open throughout. At most one save file exists at a
 * time: 1 while one is still open (that one stays usable). Forgets the TCP
 * conversation and sequence numbers tracked for an earlier file. A capture
 * whose packets have several link-layer types cannot be saved. path must name
 * a regular file or none: a FIFO, a device or a socket is refused without
 * waiting for a reader ("... is a \"special file\" or socket or other
 * non-regular file."). path may not name the capture being read, however it
 * is spelled: the capture is the file opened by gOpenCapture (its device and
 * inode), also after the host changed its working directory. A refused path
 * is left as it was. 0 or 1. */
WSBRIDGE_API int32_t gCreateCaptureFileForSave(const char *path);

/* Save file formats for gCreateCaptureFileForSaveInFormat. */
enum {
    WSB_SAVE_FORMAT_PCAP = 0,       /* libpcap, microsecond stamps */
    WSB_SAVE_FORMAT_PCAP_NSEC = 1,  /* libpcap, nanosecond stamps */
    WSB_SAVE_FORMAT_PCAPNG = 2,     /* pcapng */
    WSB_SAVE_FORMAT_AS_CAPTURE = 3, /* the capture's own format when it is one
                                       of the above (libpcap in the variant its
                                       stamps need), else pcapng */
    WSB_SAVE_FORMAT_BY_NAME = 4     /* as the path's extension names it: pcapng
                                       for ".pcapng", libpcap in the variant the
                                       capture's stamps need for ".pcap" (either
                                       case), else as WSB_SAVE_FORMAT_AS_CAPTURE */
};

/* As gCreateCaptureFileForSave, in the format named (WSB_SAVE_FORMAT_*).
 * pcapng keeps what wiretap read of the capture: the section header (the file
 * comment, hardware, OS and application), every interface description (link
 * type, name, description, time resolution; interfaces a pcapng capture
 * describes later are added as saved packets need them), each packet's link
 * type, interface and options (comments, flags), name-resolution and the
 * decryption secrets read so far, and nanosecond stamps. A libpcap format
 * keeps one link-layer type (a capture of several is refused) and no comments.
 * A packet whose interface sequential reading has not reached yet cannot be
 * saved into pcapng (1). Any other format value is refused. 0 or 1. */
WSBRIDGE_API int32_t gCreateCaptureFileForSaveInFormat(const char *path, int32_t format);

/* The WSB_SAVE_FORMAT_* of the open save file (never AS_CAPTURE or BY_NAME:
 * the format that was chosen). 0, or 1 when no save file is open. */
WSBRIDGE_API int32_t gGetSaveFileFormat(int32_t *format);

/* Re-reads the packet at request->file_offset (it becomes the current
 * packet) and appends it to the save file with the request's time stamp,
 * lengths and encapsulation, the bytes from the capture and what the record
 * carries besides (its interface and options, kept by pcapng). The save file
 * must have been created for the capture now open (1 otherwise). The packet is
 * dissected only as far as the request needs (for the tracker when
 * skip_flag is set, else not at all); the first later call that reads the
 * current dissection (matched fields, field information, values, payload
 * offsets) dissects it fully then.
 * *skipped is set to 0 first. With request->skip_flag set, the packet is
 * judged by the TCP sequence tracker: the first TCP packet saved with the
 * flag after gCreateCaptureFileForSave names the tracked conversation (its
 * two addresses and ports, either direction). For each direction the tracker
 * remembers the sequence space (payload bytes, SYN and FIN) of the packets
 * written with the flag; a packet of the conversation whose sequence space
 * was all written already (a retransmission or a duplicate) is left out
 * (*skipped = 1, status 0). Everything else is written: first, in-order and
 * out-of-order segments, segments after a gap or filling one, segments that
 * overlap written ones but carry new bytes, segments without payload, and
 * every packet of other conversations or without TCP. The tracker keeps up
 * to 32 separate ranges per direction; beyond that it forgets the lowest, so
 * a late repeat of those bytes is written again rather than anything lost.
 * Offsets from 2147483647 on are refused. 0 or 1 (also when the engine ran
 * out of memory); a failure leaves the save file open and usable. Each packet
 * reaches the file before the call returns; when writing it fails (a full
 * file system), what was written of it is cut off again, so the file ends
 * with the last packet saved whole and later saves continue from there. Should
 * cutting back itself fail, the file is damaged: the message says so, and
 * every later save and gCloseCaptureFileForSave fail (1) with that message. */
WSBRIDGE_API int32_t gSavePacketToCaptureFile(uint8_t *skipped, const WsbSavePacketRequest *request);

/* Completes and closes the save file; until then the file is incomplete, so
 * call it before gCloseCapture and gCleanupEpan. Needs the capture still
 * open. After a failure the file counts as closed all the same. 0, or 1 (no
 * save file open: "Error closing file. The file is already closed.", write
 * failures, a file damaged by a failed write that could not be cut back). */
WSBRIDGE_API int32_t gCloseCaptureFileForSave(void);

/* Options of gSaveFrames. */
enum {
    WSB_SAVE_DROP_TCP_REPEATS = 1  /* the TCP sequence tracker leaves out repeats, as
                                      gSavePacketToCaptureFile's skip_flag does */
};

/* Saves chosen packets of the open capture into a new capture file at path
 * in one call, in the format named (WSB_SAVE_FORMAT_*, as
 * gCreateCaptureFileForSaveInFormat takes it; it keeps what that call keeps:
 * comments, interfaces, link types, nanosecond stamps).
 * frames: null for every packet of the capture, in capture order (count
 * must then be 0); else count frame numbers (from 1), written in the order
 * given, a frame listed twice written twice; count 0 is an empty selection.
 * filter: null or empty for none; else only the packets that match this
 * display filter are written. The filter is evaluated as tshark -r FILE -Y
 * FILTER -w OUT evaluates it (one pass, no -2): every packet from the first
 * (up to the last frame listed) is dissected in order, with the preferences
 * in force, and a packet matches with what the engine knew when it reached
 * it; frame.time_delta_displayed and the byte counts count the matching
 * packets. It equals the packets sequential reading returns with that
 * display filter set (gSetDisplayFilter) from the capture's opening.
 * options: 0 or WSB_SAVE_DROP_TCP_REPEATS (the first TCP conversation saved
 * is tracked; packets that only repeat bytes already written are left out).
 * The capture is read from its first record through a handle of its own,
 * whatever the position of sequential reading, its display filter and its
 * reading share (packets of other shares are saved too); sequential reading
 * goes on as it was. With a filter or WSB_SAVE_DROP_TCP_REPEATS the packets
 * are dissected in a session of the call's own, after which the packets read
 * in sequence so far are dissected again (as gFollowConversation describes);
 * without either nothing is dissected. An empty selection (also when no
 * packet matches) writes a valid capture without packets. On success the
 * counts go to *written (packets written), *skipped (left out as repeats)
 * and *not_matching (chosen packets that did not match the filter); each may
 * be null. No packet counts as dissected afterwards. 0, or 1 with nothing
 * left at path: no capture, null path, an unknown format or option, a
 * negative count, frames null with a count, a frame number 0 or one the
 * capture lacks ("... The capture has no frame N; it has M frames.",
 * WSB_E_BAD_ARGUMENT), a filter that does not compile (WSB_E_FILTER), a save
 * file still open (WSB_E_STATE), a capture read from a pipe
 * (WSB_E_UNSUPPORTED), a path that cannot be written or names the capture,
 * a libpcap format for several link types, a read or write failure. */
WSBRIDGE_API int32_t gSaveFrames(const char *path, int32_t format, const uint32_t *frames, int32_t count,
                                 const char *filter, int32_t options, int32_t *written, int32_t *skipped,
                                 int32_t *not_matching);

/* ---- Following conversations -------------------------------------------- */

/* One TCP or UDP conversation can be followed at a time: start it with one
 * packet of the conversation, add every packet to be considered (the starting
 * packet too), end the collection with the check call, then call the
 * stream-line call until *end is 1. Every follow start, a successful
 * gOpenCapture, gCloseCapture and gCleanupEpan end the stream followed
 * before. A packet is named by the five locator values of its PacketSummary,
 * passed as gGetPacketAtOffset takes them.
 *
 * render_format: 0 ascii (bytes outside 0x20..0x7E other than CR and LF shown
 * as '.'), 1 EBCDIC converted to ascii, 2 hex dump lines, 3 C arrays; other
 * values render as ascii. direction_filter: 0 client only, 1 server only,
 * 2 both (hex dump lines of the server indented), other values both without
 * indentation. The client of a TCP conversation is the endpoint that sent
 * the SYN where the follower saw the conversation open (as tshark names the
 * ends, also when the server speaks first), else the endpoint that sent the
 * first payload; the client of a UDP conversation sent the first datagram.
 *
 * Texts handed out are owned by the library: a stream text stays valid until
 * the next stream-line call (TCP or UDP) or the end of the followed stream,
 * the three descriptions until the followed stream ends. Sizes count the
 * terminating NUL. */

/* Starts following the TCP conversation of the named packet: collection goes
 * to a temporary file (mode 0600, in TMPDIR or else /tmp) that every end of
 * the stream deletes. 0 or 1 (not a TCP packet, no conversation, temporary
 * file failures, re-read failures). */
WSBRIDGE_API int32_t gFollowTCPStreamForPacket(uint32_t frame_number, int64_t file_offset,
                                               int32_t captured_length, uint32_t packet_length,
                                               int32_t encapsulation);

/* Re-reads the named packet (as gGetPacketAtOffset) and dissects it as far
 * as the follower needs (no labels, no columns; a later field, value or
 * offset call completes the dissection); its payload is collected when it
 * belongs to the followed conversation. The packet gGetNextPacket returned
 * last, added before any other call dissects a packet, is not read again:
 * its payload is taken from that dissection (a host that follows while it
 * reads does one pass, as tshark's follow does). Only packets
 * added by this call are collected: trees, saves, random access and
 * sequential reading in between leave the collection as it is. Packets are
 * added in capture order, each once (the starting packet too, in its place):
 * a frame number that does not come after the one added last is refused
 * (1, the stream kept), since the engine takes the first segment it sees for
 * the client's and drops what seems to come before. 1 when no TCP collection
 * is in progress, the packet is out of order or the re-read fails, else 0. */
WSBRIDGE_API int32_t gAddPacketToTCPStream(uint32_t frame_number, int64_t file_offset,
                                           int32_t captured_length, uint32_t packet_length,
                                           int32_t encapsulation);

/* Ends the TCP collection. *valid receives 1 when payload was collected; the
 * three descriptions ("HOST:PORT --> HOST:PORT (N bytes)" for the server's
 * and the client's direction, "Entire conversation (N bytes)") are then
 * handed out in the order server, client, conversation, each with its size.
 * ignored is never read. Returns 0 with *valid 0 and "Empty TCP stream." when
 * nothing was collected (the stream is ended); 1 with *valid 0 when no
 * collection is in progress (also on a second call; the stream is kept) or
 * the temporary file failed (the stream is ended). Texts are written only
 * when *valid is 1. */
WSBRIDGE_API int32_t gIsValidTcpStrem(uint8_t *valid, int32_t ignored, const char **server_text,
                                      int32_t *server_size, const char **client_text, int32_t *client_size,
                                      const char **conversation_text, int32_t *conversation_size);

/* Hands out the next chunk of the checked TCP stream that passes
 * direction_filter, rendered: *text, *size and *is_server (1 when the server
 * sent it). *end is set to 0 first; at the end of the stream *text is null,
 * *size 0 and *end 1, and the next call starts again at the first chunk with
 * the hex dump offsets and C array numbers from 0. Chunks longer than 1024
 * bytes are rendered in pieces of 1024 joined by CR LF (each piece its own C
 * array). 0 or 1 (no checked stream, temporary file failures). */
WSBRIDGE_API int32_t gGetNextTCPStreamLine(int32_t render_format, int32_t direction_filter, const char **text,
                                           uint32_t *size, uint8_t *is_server, uint8_t *end);

/* Starts following the UDP conversation of the named packet; until
 * gIsValidUDPStrem every dissection (by any call) collects the payload of
 * the conversation's datagrams in memory. 0 or 1 (not a UDP packet, no
 * conversation, re-read failures; the earlier stream is kept only when the
 * standard checks fail). */
WSBRIDGE_API int32_t gFollowUDPStreamForPacket(uint32_t frame_number, int64_t file_offset,
                                               int32_t captured_length, uint32_t packet_length,
                                               int32_t encapsulation);

/* Re-reads and dissects the named packet (as gGetPacketAtOffset), whether or
 * not a UDP follow is collecting. 0, or 1 when the re-read fails. */
WSBRIDGE_API int32_t gAddPacketToUDPStream(uint32_t frame_number, int64_t file_offset,
                                           int32_t captured_length, uint32_t packet_length,
                                           int32_t encapsulation);

/* Ends the UDP collection and hands out the descriptions as gIsValidTcpStrem
 * does (no ignored argument). Returns 0 with *valid 0 and "Empty UDP stream."
 * when nothing was collected (the stream is ended); 1 with *valid 0 when no
 * UDP follow exists. A repeated call builds the texts again (the earlier
 * ones are freed). Every call rewinds: the next gGetNextUDPStreamLine starts
 * at the first datagram, also after lines read before the check. */
WSBRIDGE_API int32_t gIsValidUDPStrem(uint8_t *valid, const char **server_text, int32_t *server_size,
                                      const char **client_text, int32_t *client_size,
                                      const char **conversation_text, int32_t *conversation_size);

/* Hands out the next collected datagram that passes direction_filter, whole
 * and rendered: *text, *size, *is_server. At the end of the datagrams *end is
 * set to 1 and nothing else is written; the next call starts again at the
 * first datagram. *end is never set to 0: clear it before each call. Allowed
 * before gIsValidUDPStrem (it shows what was collected so far); the check
 * then starts the reading over. 0 or 1 (no UDP follow). */
WSBRIDGE_API int32_t gGetNextUDPStreamLine(int32_t render_format, int32_t direction_filter, const char **text,
                                           uint32_t *size, uint8_t *is_server, uint8_t *end);

/* ---- Following a conversation in one call ------------------------------- */

/* Kinds of conversation for gFollowConversation. */
enum {
    WSB_FOLLOW_TCP = 0, WSB_FOLLOW_UDP = 1
};

/* Follows the TCP or UDP (kind) conversation of the named packet (its five
 * locator values) over the whole capture, whatever the display filter, the
 * reading share and how far sequential reading has come, and ends with the
 * collection checked: gGetFollowTexts and gGetNextFollowChunk then hand it
 * out. The capture is read from its first record through a handle of its own
 * and only the records of the packet's endpoints are dissected (those
 * without ports between the same two hosts, IP fragments, and records whose
 * headers the library does not read too); the engine's follower takes the
 * conversation's segments in capture order, as tshark -z follow does. When
 * sequential reading has dissected every one of them (a host that follows
 * after reading), they are re-read by offset. Otherwise they are dissected
 * in a dissection session of the call's own, and the packets sequential
 * reading has read so far are then dissected again, in order, into a new
 * session (a cost that grows with the reading position): later sequential
 * reading returns the same packets, summaries, texts and values as without
 * the call, and re-reads answer as before, so a host may follow inside its
 * reading loop and read on. No packet counts as dissected afterwards. Ends
 * any stream followed before (classic ones too); a classic follow, a
 * successful gOpenCapture, gCloseCapture and gCleanupEpan end this one.
 * A conversation without payload is followed all the same (0): its texts
 * say so and it has no chunks. 0, or 1: no capture, an unknown kind
 * (WSB_E_BAD_ARGUMENT), a packet that is not of the kind ("Error following
 * stream. Please make sure you have a TCP packet selected.",
 * WSB_E_BAD_ARGUMENT), a locator that names no packet of the capture
 * (WSB_E_STALE), a capture read from a pipe (WSB_E_UNSUPPORTED), read,
 * temporary file and engine failures; no stream is followed then. */
WSBRIDGE_API int32_t gFollowConversation(int32_t kind, uint32_t frame_number, int64_t file_offset,
                                         int32_t captured_length, uint32_t packet_length, int32_t encapsulation);

/* The three descriptions of the conversation gFollowConversation followed, as
 * the classic check calls hand them out: "HOST:PORT --> HOST:PORT (N bytes)"
 * for the server's and the client's direction and "Entire conversation (N
 * bytes)", sizes counting the NUL. A conversation without payload gives empty
 * server and client texts (size 1) and the conversation text "Empty TCP
 * stream." ("Empty UDP stream."). Texts owned by the library, valid until the
 * followed stream ends. 0, or 1: engine not running, a null pointer, no
 * conversation followed (WSB_E_STATE). */
WSBRIDGE_API int32_t gGetFollowTexts(const char **server_text, int32_t *server_size, const char **client_text,
                                     int32_t *client_size, const char **conversation_text,
                                     int32_t *conversation_size);

/* The next chunk of the conversation gFollowConversation followed that passes
 * direction_filter (WSB_DIRECTION_*), rendered (WSB_RENDER_*): *data, *size
 * and *is_server (1 when the server sent it). *end is set to 0 first; at the
 * end *data is null, *size 0 and *end 1, and the next call starts again at
 * the first chunk (hex dump offsets and C array numbers from 0). A chunk is
 * one segment's new bytes (TCP, as the engine's follower orders them) or one
 * datagram (UDP). The text renderings are those of gGetNextTCPStreamLine and
 * gGetNextUDPStreamLine (a TCP chunk longer than 1024 bytes in pieces of 1024
 * joined by CR LF; size counts the NUL); WSB_RENDER_RAW hands out the chunk's
 * bytes whole, as they are, and *size counts the bytes without a NUL (tshark
 * -z follow,tcp,raw prints each such chunk in hex). The data is owned by the
 * library and valid until the next call or the end of the followed stream.
 * 0, or 1: engine not running, a null pointer, a render format or direction
 * outside the values above (WSB_E_BAD_ARGUMENT), no conversation followed
 * (WSB_E_STATE), temporary file failures. */
WSBRIDGE_API int32_t gGetNextFollowChunk(int32_t render_format, int32_t direction_filter, const char **data,
                                         uint32_t *size, uint8_t *is_server, uint8_t *end);

/* ---- Matched fields and values ------------------------------------------ */
/* These calls read the packet dissected last (by any call that dissects).
 * Field ids are those of gGetProtocolFieldFilterInfo; a registered name stands
 * for every engine field of that name ("ip.version" also finds the IPv4
 * header's field in an IPv4 packet). Each dissection forgets the matches of
 * the packet before: call gLastPacketHasPassedFilter again after every packet
 * before gGetFieldInfo, gGetFieldInfoEx or a by-id value getter. With no
 * dissected packet (nothing read yet, capture closed, engine not started or
 * shut down) every call here returns 1. Null out-parameters: 1. */

/* Tells which fields of group_name occurred in the packet dissected last and
 * makes them the matched fields (each with its first occurrence). On success
 * *count is their number and *ids points to that many field ids (null when
 * none), in the group's registration order; the array is owned by the library
 * and valid until the next call of this function or gCleanupEpan. Returns 0
 * whether or not any field occurred; 1 when the group was never registered
 * ("Requested protocol \"NAME\" was not registered.\n"), or when the packet
 * carried TCP or UDP but its source port cannot be found (then the matches
 * are kept and the outputs are not written). */
WSBRIDGE_API int32_t gLastPacketHasPassedFilter(const char *group_name, int32_t *count, const int32_t **ids);

/* For a matched field: *offset = its start counted from the first byte of the
 * TCP/UDP payload (negative in front of it; the engine's start when the
 * packet carried neither), *length and *type (WSB_FT_*) of its first
 * occurrence. The payload is that of the first TCP header when the packet
 * carried TCP, else of the first UDP header. 1 when the id is not matched
 * ("Protocol field ID \"ID\" is not one that passed the filter.\n"). */
WSBRIDGE_API int32_t gGetFieldInfo(int32_t field_id, int32_t *offset, int32_t *length, int32_t *type);

/* As gGetFieldInfo, with *start the engine's start of the field in its data
 * source (for fields of the frame, the offset in the frame). */
WSBRIDGE_API int32_t gGetFieldInfoEx(int32_t field_id, int32_t *start, int32_t *length, int32_t *type);

/* Offset of the TCP/UDP payload in the frame (header start + header length),
 * counted from the same header as gGetFieldInfo. 1 when the packet carried
 * neither ("Last processed packet is not a TCP/UDP one"). */
WSBRIDGE_API int32_t gGetTransportProtocolPayloadOffset(int32_t *offset);

/* Offset of the payload of the first IPv4 header (header start + its own
 * header length). 1 when the packet carried no IPv4 ("Last processed packet
 * is not an IPv4 one"). */
WSBRIDGE_API int32_t gGetIPv4ProtocolPayloadOffset(int32_t *offset);

/* The value getters read a matched field (by id, from the last
 * gLastPacketHasPassedFilter) or a tree item (by the node handle of a
 * TreeNode record). A by-node getter accepts only handles of the tree built
 * from the current dissection: null, foreign or stale handles get 1 ("Invalid
 * node passed when trying to retrieve protocol ... field value") and are never
 * read (the engine may reuse an address: an old handle equal to one of the
 * current tree's reads that item). A field of a type the getter does not take
 * gets 1 with a message naming the accepted types. Outputs are written only
 * on success. */

/* Unsigned 64-bit value of a matched field: boolean, uint8, uint16, uint32,
 * uint64 (zero-extended) and int64 (its 64 bits: -1 gives all bits set); not
 * uint24. 0 or 1. */
WSBRIDGE_API int32_t gGetUInt64ProtocolFieldValue(uint64_t *value, int32_t field_id);

/* The same for the tree item behind a TreeNode handle. 0 or 1. */
WSBRIDGE_API int32_t gGetUInt64ProtocolFieldValueByTreeNode(const void *node, uint64_t *value);

/* Signed 32-bit value of a matched field: int8, int16, int32; not int24.
 * 0 or 1. */
WSBRIDGE_API int32_t gGetInt32ProtocolFieldValue(int32_t *value, int32_t field_id);

/* The same for the tree item behind a TreeNode handle. 0 or 1. */
WSBRIDGE_API int32_t gGetInt32ProtocolFieldValueByTreeNode(const void *node, int32_t *value);

/* Text of a matched field: strings (as displayed), protocols (their bytes, as
 * a display filter writes them: "45:00:..."), IPv4 (dotted quad) and IPv6
 * addresses; not zero-terminated strings (stringz). *value points to a
 * NUL-terminated text owned by the library and *size counts its bytes with
 * the NUL ("192.168.0.1": 12). The text stays valid until the next successful
 * string getter call (which replaces it) or gCleanupEpan; copy it to keep it.
 * A failed call leaves the previous text in place. 1 also when the engine has
 * no text for the value (a protocol item that covers no bytes). */
WSBRIDGE_API int32_t gGetStringProtocolFieldValue(const char **value, int32_t *size, int32_t field_id);

/* The same for the tree item behind a TreeNode handle. 0 or 1. */
WSBRIDGE_API int32_t gGetStringProtocolFieldValueByTreeNode(const void *node, const char **value,
                                                            int32_t *size);

/* The value of a matched field of any type, as `tshark -T fields` prints it:
 * integers in the field's display base ("0x0018" for tcp.flags, "0x0800" for
 * eth.type, "6" for ip.proto), booleans "1" or "0", times as the engine shows
 * them ("Apr  6, 2017 22:06:23.915793000 UTC" for frame.time, "0.015584000"
 * for frame.time_relative), MAC, IPv4, IPv6 and other addresses, byte
 * strings as hex digits, floats, strings, "1" for items without a value
 * (FT_NONE). A protocol item gives its label ("Internet Protocol Version 4,
 * Src: ...") when the packet was dissected with labels (re-read by offset:
 * gGetPacketAtOffset, gBuildPacketProtocolTree), and its filter name ("ip")
 * when read by gGetNextPacket, which dissects without labels. *text points to
 * a NUL-terminated text owned by the library and *size counts its bytes with
 * the NUL; it stays valid until the next successful gGetFieldValueText or
 * gGetFieldValueTextByTreeNode (the string getters keep a text of their own)
 * or gCleanupEpan. 0, or 1: the id is not matched ("Protocol field ID \"ID\"
 * is not one that passed the filter.\n"), or the engine has no text for the
 * value; the outputs are untouched then. */
WSBRIDGE_API int32_t gGetFieldValueText(const char **text, int32_t *size, int32_t field_id);

/* The same for the tree item behind a TreeNode handle (the tree is labelled,
 * so protocol items give their labels). Null, foreign or stale handles: 1
 * ("Invalid node passed when trying to retrieve protocol field value
 * text"). 0 or 1. */
WSBRIDGE_API int32_t gGetFieldValueTextByTreeNode(const void *node, const char **text, int32_t *size);

/* ---- Reading in batches ------------------------------------------------- */

/* Kinds of a batch value (WsbBatchValue.kind). */
enum {
    WSB_VALUE_ABSENT = 0,   /* the field does not occur in the packet (or the engine has
                               no text for its value, where gGetFieldValueText fails) */
    WSB_VALUE_INT = 1,      /* value.i: a signed integer of any width */
    WSB_VALUE_UINT = 2,     /* value.u: an unsigned integer of any width, frame numbers */
    WSB_VALUE_DOUBLE = 3,   /* value.d: a floating-point value */
    WSB_VALUE_TEXT = 4,     /* text_size bytes at texts + value.text_offset, NUL-terminated:
                               the value as tshark -T fields prints it */
    WSB_VALUE_BOOL = 5,     /* value.u: 0 or 1 */
    WSB_VALUE_TIME = 6,     /* value.i: an absolute time, nanoseconds since 1970 UTC */
    WSB_VALUE_DURATION = 7  /* value.i: a relative time, nanoseconds */
};

/* How many occurrences of each field a batch holds (WsbPacketBatch.occurrences). */
enum {
    WSB_BATCH_FIRST = 0,  /* the first occurrence in the tree: one slot per packet and field */
    WSB_BATCH_ALL = 1     /* every occurrence, in tree order */
};

/* One value of one field of one packet in a batch. 16 bytes. */
typedef struct WsbBatchValue {
    int32_t kind;       /* WSB_VALUE_* */
    int32_t text_size;  /* WSB_VALUE_TEXT: bytes of the text without the NUL; else 0 */
    union {
        int64_t i;
        uint64_t u;
        double d;
        int64_t text_offset;
    } value;
} WsbBatchValue;

/* What the host asks of gGetNextPacketBatch and where the call writes. Every
 * array is the host's, allocated by the host for the capacity it states; the
 * library writes into them during the call only, and keeps no pointer. */
typedef struct WsbPacketBatch {
    int32_t capacity;           /* packets the arrays hold, >= 1 */
    int32_t field_count;        /* entries of field_ids (0: summaries only) */
    const int32_t *field_ids;   /* ids of registered fields (gGetProtocolFieldFilterInfo) */
    int32_t occurrences;        /* WSB_BATCH_FIRST or WSB_BATCH_ALL */
    int32_t whole_texts;        /* non-zero: the whole Protocol and Info texts of packet i
                                   into texts at text_offsets[2*i] and [2*i+1] */
    WsbPacketSummary *summaries;  /* capacity records, or NULL */
    WsbBatchValue *values;      /* value_capacity slots (FIRST: at least capacity * field_count);
                                   FIRST: packet i's field f is values[i * field_count + f] */
    int32_t value_capacity;
    int32_t *value_starts;      /* ALL: capacity * field_count + 1 entries: packet i's field f
                                   has the values from value_starts[i * field_count + f] to
                                   value_starts[i * field_count + f + 1] (excluded); else NULL */
    char *texts;                /* text space, or NULL when no text is asked for */
    int64_t text_capacity;      /* bytes of texts */
    int64_t *text_offsets;      /* whole_texts: 2 * capacity entries, else NULL */
    /* written by the call: */
    int32_t packets;            /* packets written */
    int32_t values_used;        /* value slots written (FIRST: packets * field_count) */
    int64_t texts_used;         /* bytes of texts written */
} WsbPacketBatch;

/* Reads up to batch->capacity packets in sequence, as that many gGetNextPacket
 * calls would (display filter, summary-text switch and reading share apply),
 * and writes their summaries (when summaries is not NULL), the values of the
 * fields field_ids names and, with whole_texts, their whole Protocol and
 * Info texts (empty with the summary texts switched off). Values: integers,
 * booleans and times as numbers (WSB_VALUE_*), every other type as the text
 * gGetFieldValueText gives. The fields must be registered and the registry
 * compiled (gGetProtocolFieldFilterInfo) before the packets are read.
 * In a live capture a call waits for its first packet only: it then takes
 * the packets that have arrived, at most capacity.
 * 0 with packets >= 1; 2 with packets 0 at the end of the capture (and on
 * every later call). A packet whose values or texts do not fit in the space
 * left is not written: it stays pending, dissected, and is the first packet
 * of the next call (also when other calls dissected packets in between: it
 * is then re-read at its offset; a gGetNextPacket call in between reads past
 * it and it is dropped). A pending packet meets the display filter in force
 * when it is returned: after gSetDisplayFilter set another filter it is
 * re-read at its offset and returned only when it matches that filter, else
 * dropped as a packet read then would be (it still counts as the packet shown
 * before the next one: frame.time_delta_displayed). When not even the first packet fits, 1 with the
 * code WSB_E_LIMIT, and the packet stays pending for a call with more room.
 * A read that fails after some packets were written returns 0 with those;
 * the next call reports the failure (1, or 3 when the engine ran out of
 * memory). The last packet written is the current packet afterwards (field
 * calls, tree, save, follow); when a packet is pending, the pending one is.
 * When the batch reached the end of the capture (or a failure), the read
 * that found it ended the last packet's dissection: that packet is then
 * dissected again, at its offset, by the first call that reads it.
 * Other failures (1): no capture (WSB_E_NO_CAPTURE), a null batch, capacity
 * below 1, a negative field count or text capacity, missing arrays, an
 * occurrences mode other than the two, FIRST with value_capacity below
 * capacity * field_count (WSB_E_BAD_ARGUMENT), an id that is no registered
 * field (WSB_E_UNKNOWN_FIELD). */
WSBRIDGE_API int32_t gGetNextPacketBatch(WsbPacketBatch *batch);

/* The value of field_id's first occurrence in the packet dissected last, typed
 * as a batch types it (WSB_VALUE_*: integers, booleans and times as numbers,
 * every other type as the text gGetFieldValueText gives): the field need not
 * be matched by gLastPacketHasPassedFilter first, only registered (the id of
 * gGetProtocolFieldFilterInfo). WSB_VALUE_ABSENT when the field does not
 * occur in the packet (or the engine has no text for its value). For
 * WSB_VALUE_TEXT, *text points to the whole text (NUL-terminated, owned by
 * the library, valid until the next gGetFieldValue or gCleanupEpan),
 * value->text_size is its length without the NUL and value->value.text_offset
 * 0; for other kinds *text is null. 0, or 1: a null pointer, no dissected
 * packet (as the other value calls), an id that is no registered field
 * (WSB_E_UNKNOWN_FIELD); the outputs are untouched then. */
WSBRIDGE_API int32_t gGetFieldValue(int32_t field_id, WsbBatchValue *value, const char **text);

/* ---- Statistics ---------------------------------------------------------- */
/* Tables that the engine's own taps and conversation tables fill while
 * sequential reading dissects the packets, as tshark's -z options fill them:
 * conversations and endpoints of any protocol the engine keeps such tables
 * for (eth, ip, ipv6, tcp, udp, sctp, usb, wlan, ...), the protocol hierarchy
 * and traffic per interval. Ask for them before opening a capture, read the
 * packets (gGetNextPacket or gGetNextPacketBatch; a display filter does not
 * change what the tables count, as with tshark -Y), then read each table as
 * records or as the text `tshark -n -q -z REQUEST` prints, at any point
 * (the counts so far) or after the end. Only packets dissected by sequential
 * reading count, each once: random access, trees, saving and following
 * count nothing. With a reading share (gSetReadingShare) a process counts
 * its own share's packets; the records of every share, added together in one
 * process (gAddConversations ... below), give the tables and texts one
 * process reading the whole capture gives. Nothing is counted, and reading
 * costs nothing more, when no table was asked for.
 *
 * Records and texts handed out belong to the library: they stay valid until
 * the next call that hands out records or the text of the same table, the
 * next packet read in sequence, records added to the table, gOpenCapture,
 * gClearStatistics or gCleanupEpan. Tables are numbered from 0 in the order
 * they were asked for. */

/* Kinds of table (gGetStatisticsKind). */
enum {
    WSB_STATS_CONVERSATIONS = 1,  /* "conv,PROTOCOL[,FILTER]" */
    WSB_STATS_ENDPOINTS = 2,      /* "endpoints,PROTOCOL[,FILTER]" */
    WSB_STATS_HIERARCHY = 3,      /* "io,phs[,FILTER]" */
    WSB_STATS_INTERVALS = 4       /* "io,stat,INTERVAL[,SERIES]..." */
};

/* One conversation: the two endpoints in the order the engine first saw
 * them (A sent the first packet), the packets and bytes (lengths on the
 * wire) each way, and its times. 216 bytes. */
typedef struct WsbConversation {
    char address_a[64];       /* as tshark -n prints it ("10.0.0.1"), cut to 63 bytes */
    char address_b[64];
    int32_t address_type;     /* WSB_AT_* */
    uint32_t port_a;          /* 0 for tables without ports */
    uint32_t port_b;
    uint32_t first_frame;     /* the frame that began the conversation */
    uint64_t frames_a_to_b;
    uint64_t bytes_a_to_b;
    uint64_t frames_b_to_a;
    uint64_t bytes_b_to_a;
    int64_t start_seconds;    /* first packet: time since the capture's first packet */
    int64_t stop_seconds;     /* last packet, likewise */
    int64_t absolute_seconds; /* first packet's time stamp, seconds since 1970 UTC */
    int32_t start_nanoseconds;  /* the nanosecond parts of the three (negative with */
    int32_t stop_nanoseconds;   /* negative seconds: times before the first packet) */
    int32_t absolute_nanoseconds;
    int32_t conversation_id;  /* the engine's index (tcp.stream) where the table keys
                                 on it, else -1: tells apart conversations that reuse
                                 addresses and ports; numbered by the process that counted */
} WsbConversation;

/* One endpoint: packets and bytes it sent (tx) and received (rx). 112 bytes. */
typedef struct WsbEndpoint {
    char address[64];
    int32_t address_type;     /* WSB_AT_* */
    uint32_t port;            /* 0 for tables without ports */
    uint64_t tx_frames;
    uint64_t tx_bytes;
    uint64_t rx_frames;
    uint64_t rx_bytes;
    uint32_t first_frame;     /* the frame that first named it */
    int32_t reserved;
} WsbEndpoint;

/* One protocol of the hierarchy, rows in the order tshark prints them (a
 * protocol, then the protocols found inside it; siblings in the order they
 * first occurred). 96 bytes. */
typedef struct WsbHierarchyRow {
    char protocol[64];        /* the engine's filter name ("eth", "ip") */
    int32_t depth;            /* 0 for the outermost */
    int32_t parent;           /* index of the parent row, -1 at depth 0 */
    uint64_t frames;
    uint64_t bytes;
    uint32_t first_frame;     /* the first frame in which it occurred there */
    int32_t reserved;
} WsbHierarchyRow;

/* One series (column) of an interval table in one interval (row). Rows with
 * no packet of the series are left out (they count zero). The field
 * function's values are kept so that rows of several processes combine:
 * sums and counts add, minimum and maximum combine. 112 bytes. */
typedef struct WsbIntervalRow {
    int32_t series;           /* the series' position in the request, from 0 */
    int32_t first_frame_values;  /* values of the function's field in first_frame */
    int64_t interval;         /* the row: from interval * INTERVAL seconds after the
                                 capture's first packet (always 0 for "io,stat,0") */
    uint64_t frames;          /* packets of the series in the interval */
    uint64_t bytes;           /* their lengths on the wire */
    uint64_t values;          /* occurrences of the function's field in them */
    int64_t sum;              /* integer fields: the sum of the values (two's complement,
                                 wrapping); relative times in ns */
    int64_t minimum;          /* integer fields and relative times (ns): the least and */
    int64_t maximum;          /* greatest value (unsigned fields compare as unsigned) */
    double float_sum;         /* float and double fields: the same */
    double float_minimum;
    double float_maximum;
    int64_t first_minimum;    /* the least value in first_frame (integers, times) */
    double first_float_minimum;  /* likewise for float and double fields */
    uint32_t first_frame;     /* the first packet of the series in the interval */
    int32_t reserved;
} WsbIntervalRow;

/* Asks for a table, written as tshark's -z option takes it:
 *   "conv,PROTOCOL[,FILTER]", "endpoints,PROTOCOL[,FILTER]": PROTOCOL the filter
 *     name of a protocol the engine keeps conversation tables for ("eth", "ip",
 *     "ipv6", "tcp", "udp", ...);
 *   "io,phs[,FILTER]": the protocol hierarchy (as in tshark, its first row
 *     is "frame" when a field of the frame is named anywhere in the reading:
 *     a registered field, the display filter, another table's filter; the
 *     engine builds that protocol's item only then);
 *   "io,stat,INTERVAL[,SERIES]...": per INTERVAL seconds (at least 0.000001;
 *     0: the whole capture), one column per SERIES (none: one column of all
 *     packets). A SERIES is a display filter (empty: every packet), or a
 *     function and a filter: "FRAMES()FILTER", "BYTES()FILTER",
 *     "COUNT(FIELD)FILTER", "SUM(FIELD)FILTER", "MIN(FIELD)FILTER",
 *     "MAX(FIELD)FILTER", "AVG(FIELD)FILTER" (SUM, MIN, MAX and AVG of integer,
 *     float, double and relative-time fields; COUNT of any field).
 * A filter is compiled when asked for. Only while no capture is open: the
 * table counts the packets of every capture opened afterwards, from nothing
 * at each gOpenCapture (it lasts until gClearStatistics). *table receives its
 * number. 0, or 1: engine not running, null argument, a capture open
 * (WSB_E_STATE), a malformed request (WSB_E_BAD_ARGUMENT), a protocol
 * without conversation tables, LOAD() or another tshark statistic
 * (WSB_E_UNSUPPORTED), an unknown field or one its function does not take
 * (WSB_E_UNKNOWN_FIELD, WSB_E_BAD_ARGUMENT), a filter the engine refuses
 * (WSB_E_FILTER); nothing is asked for then. At most 64 tables. */
WSBRIDGE_API int32_t gRequestStatistics(const char *request, int32_t *table);

/* Forgets every table asked for. Only while no capture is open. 0, or 1
 * (engine not running, a capture open). */
WSBRIDGE_API int32_t gClearStatistics(void);

/* *kind receives the WSB_STATS_* kind of a table. 0, or 1 (engine not
 * running, no such table, null kind). */
WSBRIDGE_API int32_t gGetStatisticsKind(int32_t table, int32_t *kind);

/* The records of a table of the getter's kind, in the order tshark prints
 * them (conversations and endpoints: the most packets first, equal counts
 * in the order they began), with what gAdd* added: *records (null when
 * *count is 0) and *count. 0, or 1: engine not running, null outputs, no
 * such table, a table of another kind. gGetIntervals also hands out the
 * time from the capture's first to its latest record read (every record,
 * also of other shares), which sets the table's rows, in *elapsed_seconds
 * and *elapsed_nanoseconds. */
WSBRIDGE_API int32_t gGetConversations(int32_t table, const WsbConversation **records, int32_t *count);
WSBRIDGE_API int32_t gGetEndpoints(int32_t table, const WsbEndpoint **records, int32_t *count);
WSBRIDGE_API int32_t gGetHierarchy(int32_t table, const WsbHierarchyRow **records, int32_t *count);
WSBRIDGE_API int32_t gGetIntervals(int32_t table, const WsbIntervalRow **records, int32_t *count,
                                   int64_t *elapsed_seconds, int32_t *elapsed_nanoseconds);

/* The table as `tshark -n -q -z REQUEST` prints it (with the -t r default,
 * from its first line to its closing line), with what gAdd* added: *text
 * (NUL-terminated) and *size (bytes with the NUL). The exceptions, where
 * tshark 4.0 prints what it did not count or sizes a column by its counting
 * rather than its values:
 *  - the width of an AVG column (and of a SUM column of a signed field) comes
 *    from the values printed; tshark's from the largest value its running
 *    count passed (an average can be higher before the interval ends);
 *  - an io,stat column of a float or double field prints 0.000000 in the rows
 *    after its last packet (tshark prints whatever a register held);
 *  - a packet counts in the interval of its own time (one from before the
 *    capture's first packet in the first); tshark counts a packet whose
 *    time goes back before the interval it reached in that interval, and
 *    one before the capture's first packet at the time of the packet
 *    counted before it;
 *  - the function's field is always found (tshark finds it only when a
 *    filter of some series names it, as "SUM(frame.len)frame.len" does);
 * 0, or 1 as the record getters. */
WSBRIDGE_API int32_t gGetStatisticsText(int32_t table, const char **text, int32_t *size);

/* Add records that a getter of the same kind handed out in another process
 * (a reading share of the same capture, the table asked for with the same
 * request) to a table of this process, which then holds what both counted:
 * rows of the same conversation (addresses, ports, conversation id in either
 * order), endpoint, hierarchy position or interval and series combine, the
 * others join in order. The records are copied. Any time after the table
 * was asked for (a process that merges need not open a capture);
 * gOpenCapture starts every table from nothing again. gAddIntervals takes
 * the other process's elapsed time too (the larger one counts). 0, or 1:
 * engine not running, no such table or another kind, null records with a
 * count above 0, a negative count, a record that does not fit the table (a
 * depth or parent out of order, a series the table does not have). */
WSBRIDGE_API int32_t gAddConversations(int32_t table, const WsbConversation *records, int32_t count);
WSBRIDGE_API int32_t gAddEndpoints(int32_t table, const WsbEndpoint *records, int32_t count);
WSBRIDGE_API int32_t gAddHierarchy(int32_t table, const WsbHierarchyRow *records, int32_t count);
WSBRIDGE_API int32_t gAddIntervals(int32_t table, const WsbIntervalRow *records, int32_t count,
                                   int64_t elapsed_seconds, int32_t elapsed_nanoseconds);

/* ---- Classic names, kept for compatibility ------------------------------
 * The records' names before they took the Wsb prefix (the same types), and
 * the classic export names, kept as they are for binary compatibility with
 * existing hosts, misspellings included: gIsValidTcpStrem and
 * gIsValidUDPStrem end a TCP and a UDP collection; the macros below give
 * them their proper spelling in new code. */
typedef WsbPacketSummary PacketSummary;
typedef WsbTreeNode TreeNode;
typedef WsbSavePacketRequest SavePacketRequest;
#define gIsValidTcpStream gIsValidTcpStrem
#define gIsValidUDPStream gIsValidUDPStrem

#ifdef __cplusplus
}
#endif

#endif /* WSBRIDGE_H */
