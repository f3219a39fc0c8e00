/* SPDX-License-Identifier: MIT */
/* The frame reader for hosts in C and in languages with a C foreign-function interface
 * (Rust, Python's ctypes, Node's FFI): the same code as HarkwellCore/FrameReader.h. The
 * library is C++: link with a C++ linker, or add -lstdc++.
 *
 *   harkwell_reader *r = harkwell_reader_new();
 *   harkwell_reader_feed(r, bytes, n);
 *   struct harkwell_frame f;
 *   while (harkwell_reader_next(r, &f) == HARKWELL_FRAME) use(f.tag, f.payload, f.size);
 *   ...
 *   harkwell_reader_free(r);
 */
#ifndef HARKWELL_H
#define HARKWELL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum harkwell_tag { HARKWELL_CONTROL = 1, HARKWELL_MIC = 2, HARKWELL_SYSTEM = 3 };

enum harkwell_status {
  HARKWELL_FRAME = 0,             /* *frame holds the next frame */
  HARKWELL_NEED_MORE = 1,         /* no complete frame: feed more (or the stream ended cleanly) */
  HARKWELL_UNKNOWN_TAG = 2,       /* frame->offset: the byte that names no tag */
  HARKWELL_PAYLOAD_TOO_LARGE = 3, /* frame->offset: the frame with a corrupt length */
  HARKWELL_ENDED_MID_FRAME = 4,   /* after finish: frame->offset, frame->size bytes left over */
  HARKWELL_NO_MEMORY = 5
};

struct harkwell_frame {
  uint8_t tag;            /* enum harkwell_tag */
  const uint8_t* payload; /* valid until the next call on the reader */
  uint32_t size;
  uint64_t offset; /* of the frame's tag byte in the stream */
};

typedef struct harkwell_reader harkwell_reader;

/* NULL when out of memory. */
harkwell_reader* harkwell_reader_new(void);
/* Copies the bytes; HARKWELL_NEED_MORE, or HARKWELL_NO_MEMORY. */
int harkwell_reader_feed(harkwell_reader* reader, const uint8_t* bytes, size_t size);
/* The input has ended: bytes left over make HARKWELL_ENDED_MID_FRAME. */
void harkwell_reader_finish(harkwell_reader* reader);
/* An enum harkwell_status; fills *frame for HARKWELL_FRAME and the errors. */
int harkwell_reader_next(harkwell_reader* reader, struct harkwell_frame* frame);
/* Why the stream is broken, in words; "" while it is not. Valid until the next call. */
const char* harkwell_reader_error(const harkwell_reader* reader);
void harkwell_reader_free(harkwell_reader* reader);

#ifdef __cplusplus
}
#endif

#endif
