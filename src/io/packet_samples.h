// The read loop that the Ogg Opus, Ogg Vorbis and WebM readers share: the
// samples left from the last decoded packet go out first, then one packet at
// a time is decoded into the same buffer until the request is met.
#ifndef ZV_IO_PACKET_SAMPLES_H
#define ZV_IO_PACKET_SAMPLES_H

#include <stdint.h>
#include <string.h>

#include "foundation/status.h"

namespace zv_io {

// `buffer` holds `count` undelivered samples from `offset` on; `delivered`
// counts what went out since the start, `total` what the stream holds, so a
// read past the end is IO_ERROR before anything is copied. `refill()` decodes
// the next packet into the buffer and sets `count` (left 0 for a packet without
// samples), or gives the status that ends the read.
template <typename Refill>
zv_status_t deliver_packet_samples(const int16_t *buffer, int32_t &offset, int32_t &count, int32_t &delivered,
                                   int32_t total, int32_t num_samples, int16_t *pcm, Refill &&refill) {
    int32_t n = num_samples;
    if (total - delivered < n) {
        return ZV_STATUS_IO_ERROR;
    }
    for (;;) {
        if (n <= 0) {
            return ZV_STATUS_SUCCESS;
        }
        if (count >= n) {
            memcpy(pcm, buffer + offset, static_cast<size_t>(n) * sizeof(int16_t));
            offset += n;
            count -= n;
            delivered += n;
            return ZV_STATUS_SUCCESS;
        }
        if (count > 0) {
            memcpy(pcm, buffer + offset, static_cast<size_t>(count) * sizeof(int16_t));
        }
        delivered += count;
        n -= count;
        pcm += count;
        offset = 0;
        count = 0;
        ZV_TRY(refill());
    }
}

}  // namespace zv_io

#endif
