/* can_frame.h - the CAN frame records that the CAN gateway driver and the
 * application library exchange through the frame FIFO tags, and the two
 * conversions for standard-format gateway images. Both records are packed and
 * little-endian; other parties read them by byte offset.
 */
#ifndef CAN_FRAME_H
#define CAN_FRAME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* id bits */
#define CAN_ID_MASK 0x1FFFFFFFu     /* bits 0-28: identifier */
#define CAN_ID_STD_MASK 0x000007FFu /* bits 0-10: standard identifier */
#define CAN_ID_RTR 0x40000000u      /* bit 30: remote transmission request */
#define CAN_ID_EXTENDED 0x80000000u /* bit 31: 29-bit identifier */

#pragma pack(push, 1)
/* 14 bytes: the element of both FIFO tags, and the record of an
 * extended-format gateway's images. Bytes beyond length are carried as they are. */
typedef struct CAN_COMM_DATA_EL6751_EXT {
    uint16_t length; /* DLC, 0 to 8 */
    uint32_t id;
    uint8_t data[8];
} CAN_COMM_DATA_EL6751_EXT;

/* 10 bytes: only inside a standard-format gateway's images.
 * header bits 0-3 DLC, bit 4 RTR, bits 5-15 identifier. */
typedef struct CAN_COMM_DATA_EL6751_STD {
    uint16_t header;
    uint8_t data[8];
} CAN_COMM_DATA_EL6751_STD;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(CAN_COMM_DATA_EL6751_EXT) == 14, "EXT frame record is 14 bytes");
static_assert(__builtin_offsetof(CAN_COMM_DATA_EL6751_EXT, id) == 2, "id at offset 2");
static_assert(__builtin_offsetof(CAN_COMM_DATA_EL6751_EXT, data) == 6, "data at offset 6");
static_assert(sizeof(CAN_COMM_DATA_EL6751_STD) == 10, "STD frame record is 10 bytes");
static_assert(__builtin_offsetof(CAN_COMM_DATA_EL6751_STD, data) == 2, "data at offset 2");
#else
_Static_assert(sizeof(CAN_COMM_DATA_EL6751_EXT) == 14, "EXT frame record is 14 bytes");
_Static_assert(sizeof(CAN_COMM_DATA_EL6751_STD) == 10, "STD frame record is 10 bytes");
#endif

/* A gateway's image format: the record type of its images. */
#define CAN_FORMAT_OTHER 0    /* an image size of neither format: no traffic */
#define CAN_FORMAT_STANDARD 1 /* CAN_COMM_DATA_EL6751_STD records */
#define CAN_FORMAT_EXTENDED 2 /* CAN_COMM_DATA_EL6751_EXT records */

/* The handshake words of a gateway's images (byte offsets), before the ten
 * records: the host's output image and the terminal's input image. */
#define CAN_IMAGE_TX_COUNTER 0 /* out: a new batch placed (tx_ack + 1) */
#define CAN_IMAGE_RX_ACK 2     /* out: the last received batch taken */
#define CAN_IMAGE_TX_COUNT 4   /* out: records in the batch */
#define CAN_IMAGE_TX_ACK 0     /* in: the terminal's echo of tx_counter */
#define CAN_IMAGE_RX_COUNTER 2 /* in: changes with each received batch */
#define CAN_IMAGE_RX_COUNT 4   /* in: records in the received batch */

/* Standard image record to FIFO record: a standard frame, bits 11-29 and 31 of id clear. */
void CanFrameFromStd(const CAN_COMM_DATA_EL6751_STD *in, CAN_COMM_DATA_EL6751_EXT *out);
/* FIFO record to standard image record: the low 11 identifier bits, RTR and
 * the low 4 bits of length; bits 11-28 and the extended flag are dropped. */
void CanFrameToStd(const CAN_COMM_DATA_EL6751_EXT *in, CAN_COMM_DATA_EL6751_STD *out);

/* Record m of a gateway image's record area (the bytes after the three
 * handshake words): standard records are 10 bytes and carry the standard
 * form, extended ones 14 bytes and carry the FIFO record as it is. */
void CanImageRecordGet(const uint8_t *records, int standard, unsigned m, CAN_COMM_DATA_EL6751_EXT *out);
void CanImageRecordPut(uint8_t *records, int standard, unsigned m, const CAN_COMM_DATA_EL6751_EXT *in);

#ifdef __cplusplus
}
#endif

#endif /* CAN_FRAME_H */
