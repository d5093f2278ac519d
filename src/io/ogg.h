// Ogg packet reader: the packets of one logical stream of an Ogg file, taken
// page by page through libogg. It follows the stream that began last.
#ifndef ZV_IO_OGG_H
#define ZV_IO_OGG_H

#include <ogg/ogg.h>
#include <stdint.h>
#include <stdio.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_ogg {
    FILE *file;
    ogg_sync_state *sync;
    ogg_page *page;  // the page last taken from sync; its data lies in sync's buffer
    ogg_stream_state *stream;
    int32_t stream_ready;  // stream has been initialised by a beginning-of-stream page
} zv_ogg_t;

// Opens the file (UTF-8 path); no page is read yet.
zv_status_t zv_ogg_init(const char *path, zv_ogg_t **ogg);
// One more page into the stream state; IO_ERROR at the end of the file,
// INVALID_STATE for a page the stream state refuses, OUT_OF_MEMORY when libogg
// ran out of memory.
zv_status_t zv_ogg_read_ogg_page(zv_ogg_t *ogg);
// ogg_stream_packetout: 1 a packet (valid until the next call), 0 needs a
// page, -1 a gap in the data.
int32_t zv_ogg_stream_packetout(zv_ogg_t *ogg, ogg_packet *packet);
// Back to the start of the file, with the first page read again.
zv_status_t zv_ogg_reset(zv_ogg_t *ogg);
void zv_ogg_delete(zv_ogg_t *ogg);

#ifdef __cplusplus
}
#endif

#endif
