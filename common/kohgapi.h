/* kohgapi.h - the node's tag, mailbox, log and service library, as every
 * deliverable calls it (libkohgapi.so). Every call may come from any thread
 * of any process of the node; results are 0 on success or a KO_E_* code.
 *
 * Tags live in one shared-memory store per node (RT_NODE_DIR/tags.store).
 * A tag is found by name, or by its entry: a stable 32-bit handle (its
 * "Entry" property; 0 is never valid). The by-entry calls are the fast path:
 * no name lookup, no allocation and no system call when uncontended.
 */
#ifndef KOHGAPI_H
#define KOHGAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- sizes, type codes, status codes ------------------------------------ */
#define KO_SERVICE_NAME_SIZE 28       /* service name: at most 27 characters */
#define KO_SERVICE_SHORT_NAME_SIZE 8  /* short name: at most 7 */
#define KO_TAG_NAME_SIZE 52           /* tag name: at most 51 */
#define KO_MAILBOX_DATA_MAX 256       /* bytes of data in one mailbox message */

/* Type codes. 1-11 are values of up to 8 bytes; 12 and 13 byte segments of
 * the size given at creation; 14 a FIFO of fixed-size records. */
#define KO_TYPE_U8 1
#define KO_TYPE_I8 2
#define KO_TYPE_BYTE 3
#define KO_TYPE_I16 4
#define KO_TYPE_U16 5
#define KO_TYPE_U32 6
#define KO_TYPE_I32 7
#define KO_TYPE_I64 8
#define KO_TYPE_U64 9
#define KO_TYPE_F32 10
#define KO_TYPE_F64 11
#define KO_TYPE_SEGMENT 12
#define KO_TYPE_SEGMENT13 13
#define KO_TYPE_FIFO 14

#define KO_OK 0x00000000u
/* FIFO results the CAN driver and library rely on. */
#define KO_E_FIFO_EMPTY 0x80006001u
#define KO_E_FIFO_FULL 0x80006002u
/* Misuse and missing things. */
#define KO_E_NOT_FOUND 0x80005001u   /* no tag of that name */
#define KO_E_ENTRY 0x80005002u       /* entry 0 or not a tag */
#define KO_E_SIZE 0x80005003u        /* size does not suit the tag */
#define KO_E_RANGE 0x80005004u       /* value does not fit the tag's type */
#define KO_E_KIND 0x80005005u        /* wrong kind of tag for the call (FIFO call on a value...) */
#define KO_E_NAME 0x80005006u        /* name empty or too long */
#define KO_E_EXISTS 0x80005007u      /* exists with another type */
#define KO_E_FULL 0x80005008u        /* store full (tags or data) */
#define KO_E_STORE 0x80005009u       /* store unusable: see KoStoreError */
#define KO_E_ARGUMENT 0x8000500Au    /* null pointer or bad argument */
#define KO_E_PROPERTY 0x8000500Bu    /* no such property */
#define KO_E_TYPE 0x8000500Cu        /* unknown type code */
#define KO_E_MAILBOX 0x80005010u     /* no such mailbox, or its service is gone */
#define KO_E_MAILBOX_FULL 0x80005011u
#define KO_E_REGISTER 0x80005012u    /* bad registration record */
#define KO_E_SERVED 0x80005013u      /* the service is served by another live process */
#define KO_E_NO_SERVICE 0x80005014u  /* KO_SERVICE is not set, or is not a service name */

/* Name of a status code ("KO_E_FIFO_FULL"). */
const char *KoStatusText(uint32_t status);
/* Why the store could not be opened or created (empty when it could). */
const char *KoStoreError(void);
/* Makes this process use only a store that exists: it never creates one
 * (tools call this first). Without a store, calls fail with KO_E_STORE and
 * KoStoreError says that no node is there. */
void KoStoreAttachOnly(void);

/* ---- tags ---------------------------------------------------------------- */
/* Creates a tag. source: a text kept as the "Source" property (may be NULL
 * or empty); description: the tag's description. Creating a tag that
 * exists with the same type succeeds and keeps its value; with another type
 * it fails with KO_E_EXISTS. Value tags start at 0. */
uint32_t KoTagCreateEx(const char *name, uint32_t type, const char *source, const char *description);
/* Creates a segment of size bytes (type 12 or 13). work (work_size bytes) receives
 * a message on failure; entry (may be NULL) the new tag's entry. */
uint32_t KoTagCreateSegment(const char *name, uint32_t type, uint32_t size, const char *source,
                            const char *description, char *work, uint32_t work_size, uint32_t *entry);
/* Creates a FIFO of depth records of record_size bytes. As KoTagCreateSegment. */
uint32_t KoTagCreateFIFO(const char *name, uint32_t record_size, uint32_t depth, const char *source,
                         const char *description, char *work, uint32_t work_size, uint32_t *entry);

/* Properties, names compared without regard to case: "Entry" (4 bytes),
 * "Type" and "Size" (4 bytes each), "Description", "Source" and any text set
 * with KoTagSetProperty (such as "Address"), copied with their terminator. */
uint32_t KoTagGetProperty(const char *name, const char *property, void *buffer, uint32_t size);
uint32_t KoTagSetProperty(const char *name, const char *property, const char *text);

/* By name. A size equal to the tag's copies raw bytes. Another size (1, 2, 4
 * or 8) converts numerically: the buffer holds an integer of that width,
 * taken unsigned when that fits the tag, else signed (two's complement); a
 * read gives the value unsigned when it fits the width, else signed.
 * KO_E_RANGE when the value does not fit; the tag is then left unchanged.
 * A write to a missing tag creates it with the width written (1 byte: type 1,
 * 2: type 5, 4: type 7, 8: type 8). */
uint32_t KoTagRead(const char *name, void *buffer, uint32_t size);
uint32_t KoTagWrite(const char *name, const void *buffer, uint32_t size);

/* By entry, the same rules without name lookup or creation. On a segment they
 * read or write its first size bytes; on a FIFO a read of one record peeks the
 * oldest record (KO_E_FIFO_EMPTY when there is none). */
uint32_t KoTagReadByEntry(uint32_t entry, void *buffer, uint32_t size);
uint32_t KoTagWriteByEntry(uint32_t entry, const void *buffer, uint32_t size);

/* The by-entry calls inline their common case: a value tag read or written
 * with its own size is one atomic 64-bit word in the store, reached through
 * the slot table the library publishes once the store is attached. Anything
 * else (no store yet, a bad entry, another size, segments, FIFOs) goes to
 * the library, whose KoTagReadByEntryCall / KoTagWriteByEntryCall are the
 * same calls as KoTagReadByEntry / KoTagWriteByEntry. */
typedef struct KoTagSlotView {
    char name[KO_TAG_NAME_SIZE];
    uint16_t type;
    uint16_t in_place; /* 1: a value tag, held whole in value */
    uint32_t size;
    uint32_t reserved[3];
    uint64_t value; /* the value in its low bytes; atomic access only */
    uint64_t reserved_tail[2];
} KoTagSlotView;

typedef struct KoTagTableView {
    KoTagSlotView *slots;  /* entry 1 is slots[0]; null until the store is attached */
    const uint32_t *count; /* entries in use */
} KoTagTableView;
extern KoTagTableView KoTagTable;

uint32_t KoTagReadByEntryCall(uint32_t entry, void *buffer, uint32_t size);
uint32_t KoTagWriteByEntryCall(uint32_t entry, const void *buffer, uint32_t size);

#if defined(__GNUC__) && !defined(KO_LIBRARY_BUILD) && !defined(KO_NO_INLINE)
#ifdef __cplusplus
#define KO_FAST_INLINE inline __attribute__((gnu_inline, always_inline))
#else
#define KO_FAST_INLINE extern inline __attribute__((gnu_inline, always_inline))
#endif

/* The slot of a value tag of that size, or null (always inlined: the library has no such symbol). */
KO_FAST_INLINE KoTagSlotView *KoTagInPlaceSlot(uint32_t entry, uint32_t size)
{
    KoTagSlotView *slots = __atomic_load_n(&KoTagTable.slots, __ATOMIC_ACQUIRE);
    if (slots == 0 || entry == 0 || entry > __atomic_load_n(KoTagTable.count, __ATOMIC_ACQUIRE))
        return 0;
    KoTagSlotView *t = &slots[entry - 1];
    return (t->in_place == 1 && t->size == size) ? t : 0;
}

KO_FAST_INLINE uint32_t KoTagReadByEntry(uint32_t entry, void *buffer, uint32_t size)
{
    KoTagSlotView *t = KoTagInPlaceSlot(entry, size);
    if (t == 0 || buffer == 0)
        return KoTagReadByEntryCall(entry, buffer, size);
    uint64_t bits = __atomic_load_n(&t->value, __ATOMIC_ACQUIRE);
    switch (size) {
    case 1: __builtin_memcpy(buffer, &bits, 1); break;
    case 2: __builtin_memcpy(buffer, &bits, 2); break;
    case 4: __builtin_memcpy(buffer, &bits, 4); break;
    case 8: __builtin_memcpy(buffer, &bits, 8); break;
    default: return KoTagReadByEntryCall(entry, buffer, size);
    }
    return 0;
}

KO_FAST_INLINE uint32_t KoTagWriteByEntry(uint32_t entry, const void *buffer, uint32_t size)
{
    KoTagSlotView *t = KoTagInPlaceSlot(entry, size);
    if (t == 0 || buffer == 0)
        return KoTagWriteByEntryCall(entry, buffer, size);
    uint64_t bits = 0;
    switch (size) {
    case 1: __builtin_memcpy(&bits, buffer, 1); break;
    case 2: __builtin_memcpy(&bits, buffer, 2); break;
    case 4: __builtin_memcpy(&bits, buffer, 4); break;
    case 8: __builtin_memcpy(&bits, buffer, 8); break;
    default: return KoTagWriteByEntryCall(entry, buffer, size);
    }
    __atomic_store_n(&t->value, bits, __ATOMIC_RELEASE);
    return 0;
}
#undef KO_FAST_INLINE
#endif

/* Segments: length bytes at a byte offset; KO_E_SIZE past the end. */
uint32_t KoTagReadSegment(uint32_t entry, uint32_t offset, void *buffer, uint32_t length);
uint32_t KoTagWriteSegment(uint32_t entry, uint32_t offset, const void *buffer, uint32_t length);

/* FIFOs: exactly one record of the FIFO's record size. count (may be NULL)
 * receives the number of records after the call. A put to a full FIFO loses
 * the record being put and returns KO_E_FIFO_FULL; a get with no buffer
 * removes the oldest record. */
uint32_t KoTagPutFIFO(uint32_t entry, const void *record, uint32_t size, uint32_t *count);
uint32_t KoTagGetFIFO(uint32_t entry, void *record, uint32_t size, uint32_t *count);
uint32_t KoTagGetFIFOCount(uint32_t entry, uint32_t *count);
/* Waits until the FIFO holds a record, at most timeout_ms (0: do not wait;
 * negative: no limit). KO_OK with count (may be NULL) the records held, or
 * KO_E_FIFO_EMPTY when the time ran out or a signal ended the wait. With a
 * record already there it makes no system call; a put wakes the waiters. */
uint32_t KoTagWaitFIFO(uint32_t entry, int32_t timeout_ms, uint32_t *count);

/* Adds delta to an integer value tag in one atomic step, wrapping at the
 * tag's width, safe against adders in other processes; value (may be NULL)
 * receives the new value as unsigned bits. KO_E_KIND for other tags. */
uint32_t KoTagAddByEntry(uint32_t entry, int64_t delta, uint64_t *value);

/* For tools: tags are entries 1 .. KoTagCount(), never deleted. */
typedef struct KoTagInfo {
    char name[KO_TAG_NAME_SIZE];
    uint16_t type;
    uint32_t size;   /* value or segment bytes; FIFO record bytes */
    uint32_t depth;  /* FIFO depth, else 0 */
} KoTagInfo;
uint32_t KoTagCount(void);
uint32_t KoTagGetInfo(uint32_t entry, KoTagInfo *info);

/* ---- I/O point tables of the hosted service ------------------------------ */
/* How a point moves its data. */
#define KO_ACCESS_BIT 1     /* one bit of a 1- or 2-byte item */
#define KO_ACCESS_VALUE 2   /* a value of at most 8 bytes */
#define KO_ACCESS_SEGMENT 3 /* a block of bytes */
#pragma pack(push, 1)
/* One I/O point. Bytes 0-529 hold the point's tag name for diagnostics. */
typedef struct TagRef {
    char tag_name[530];
    int32_t port_index;   /* 530: index of the point's PortTag */
    uint32_t address;     /* 534: device address */
    uint8_t access_mode;  /* 538: KO_ACCESS_BIT, KO_ACCESS_VALUE or KO_ACCESS_SEGMENT */
    uint16_t bit_number;  /* 539 */
    uint16_t item_width;  /* 541: bit point: above 7 = 2-byte item */
    uint8_t enabled;      /* 543: exactly 1 = transferred */
} TagRef;

/* The tag bound to a point. Bytes 0-561 hold the tag name. */
typedef struct PortTag {
    char tag_name[562];
    uint16_t data_type;     /* 562: type code */
    uint16_t data_size;     /* 564: value or segment bytes */
    uint32_t entry;         /* 566 */
    uint8_t last_value[8];  /* 570: output points: last value handed to the device */
} PortTag;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(TagRef) == 544, "TagRef is 544 bytes");
static_assert(__builtin_offsetof(TagRef, port_index) == 530, "TagRef.port_index");
static_assert(__builtin_offsetof(TagRef, address) == 534, "TagRef.address");
static_assert(__builtin_offsetof(TagRef, access_mode) == 538, "TagRef.access_mode");
static_assert(__builtin_offsetof(TagRef, bit_number) == 539, "TagRef.bit_number");
static_assert(__builtin_offsetof(TagRef, item_width) == 541, "TagRef.item_width");
static_assert(__builtin_offsetof(TagRef, enabled) == 543, "TagRef.enabled");
static_assert(sizeof(PortTag) == 578, "PortTag is 578 bytes");
static_assert(__builtin_offsetof(PortTag, data_type) == 562, "PortTag.data_type");
static_assert(__builtin_offsetof(PortTag, data_size) == 564, "PortTag.data_size");
static_assert(__builtin_offsetof(PortTag, entry) == 566, "PortTag.entry");
static_assert(__builtin_offsetof(PortTag, last_value) == 570, "PortTag.last_value");
#endif

/* ---- the hosted service --------------------------------------------------
 * Filled when the library is loaded, from KO_SERVICE (set by the launcher)
 * and the service's entry in RT_NODE_DIR/node.toml. A service the config
 * does not name runs without I/O points, its short name the first 7
 * characters of its name. */
extern char KoServiceName[KO_SERVICE_NAME_SIZE];
extern char KoServiceShortName[KO_SERVICE_SHORT_NAME_SIZE];
extern char KoServiceStatusTag[KO_TAG_NAME_SIZE]; /* "SERVICE.%s.Status" */
extern char KoServiceErrorTag[KO_TAG_NAME_SIZE];  /* "SERVICE.%s.Error" */
extern char KoServiceRunTag[KO_TAG_NAME_SIZE];    /* "SERVICE.%s.Run" */
extern char KoServiceLiveTag[KO_TAG_NAME_SIZE];   /* "SERVICE.%s.Live" */
extern TagRef *TagRefs_IN;   /* NULL when the service has no input points */
extern TagRef *TagRefs_Out;
extern PortTag *KoInPortTags;
extern PortTag *KoOutPortTags;
extern int32_t KoInPortCount;
extern int32_t KoOutPortCount;

/* Control codes delivered to the registered handler. */
#define EM_SERVICE_STOP 101
#define EM_SERVICE_RUN 102
#define EM_SERVICE_PAUSE 103
#define EM_SERVICE_TRIGGER 104

/* Called on the library's delivery thread, one message at a time:
 * first = the sender's process id, code = the message code, third = the
 * length of the message's data. */
typedef uint32_t (*KoControlHandler)(uint32_t first, uint32_t code, uint32_t third);

#define KO_REGISTRATION_SIGNATURE 0xFFFF0100u
#pragma pack(push, 1)
typedef struct KoServiceRegistration {
    uint32_t signature;        /* KO_REGISTRATION_SIGNATURE */
    KoControlHandler handler;
    uint8_t reserved[268];     /* zero */
} KoServiceRegistration;
#pragma pack(pop)

/* Opens the service's mailbox (named by KoServiceShortName and KoServiceName),
 * starts the thread that delivers its messages to the handler, and builds
 * the service's I/O point tables. Before it, this library touches no tag.
 * KO_E_NO_SERVICE: KO_SERVICE is unset or not a valid name; KO_E_SERVED: a
 * live process already serves that name or short name; KO_E_STORE: no
 * usable store; KO_E_REGISTER: bad record or a second registration.
 * KoServiceError says what happened in words. */
uint32_t KoServiceRegister(const void *registration);
/* Why the last KoServiceRegister failed ("service X is already served by
 * process N"), empty after a success. */
const char *KoServiceError(void);
/* Stops delivery, takes the mailbox and the "KOSC" root catalog entry away.
 * config: the container's ServiceConfig (not used). */
uint32_t KoServiceEnd(void *config);

/* For tools: the services that are registered now, with live processes. */
typedef struct KoServiceInfo {
    char name[KO_SERVICE_NAME_SIZE];
    char short_name[KO_SERVICE_SHORT_NAME_SIZE];
    int32_t pid;
} KoServiceInfo;
/* Copies up to max entries; returns how many services there are. */
uint32_t KoServiceEnumerate(KoServiceInfo *services, uint32_t max);

/* Binds the process to a service as KO_SERVICE does when the library loads:
 * KoServiceName, the short name and the status tag names, from the node
 * config; no store is touched. KoServiceBind also builds the service's I/O
 * point tables (creating their tags), as a hosted service's registration
 * does. For programs and tests that choose their service after start. */
void KoServiceBindNames(const char *service_name);
void KoServiceBind(const char *service_name);

/* ---- mailboxes ----------------------------------------------------------- */
/* The one mode a sender opens a mailbox in: to send. */
#define KO_MAILBOX_SEND 2
/* Opens the mailbox of a running service by its short name or its name. */
uint32_t KoMailboxOpen(const char *mailbox_name, uint32_t mode, uintptr_t *mailbox);
uint32_t KoMailboxOpenByService(const char *service_name, uint32_t mode, uintptr_t *mailbox);
/* Queues one message (length up to KO_MAILBOX_DATA_MAX). KO_E_MAILBOX_FULL
 * when the service has not taken enough of the earlier ones; KO_E_MAILBOX
 * when its process has ended. target is informational. */
uint32_t KoMailboxSend(uintptr_t mailbox, const char *target, uint32_t code, const void *data, uint32_t length);
uint32_t KoMailboxClose(uintptr_t mailbox);

/* ---- log ----------------------------------------------------------------- */
/* Appends one line to RT_NODE_DIR/node.log: UTC time with microseconds,
 * process id, source, level ("DBG", "OPE", "WRN", "ERR") and text, with line
 * breaks in the text written as \n. One write per line, so lines of many
 * processes never interleave. KO_LOG_STDERR=1 echoes each line to stderr. */
uint32_t KoLogWrite(const char *source, const char *level, const char *text);

#ifdef __cplusplus
}
#endif

#endif /* KOHGAPI_H */
