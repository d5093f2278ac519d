#include "io/ogg.h"

#include <stdlib.h>

#include "foundation/file.h"

namespace {

constexpr long kBlockBytes = 4096;

}  // namespace

extern "C" {

zv_status_t zv_ogg_init(const char *path, zv_ogg_t **ogg) {
    if (ogg == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    *ogg = nullptr;
    if (path == nullptr) {
        return ZV_STATUS_INVALID_ARGUMENT;
    }
    zv_ogg_t *o = static_cast<zv_ogg_t *>(calloc(1, sizeof(zv_ogg_t)));
    if (o == nullptr) {
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    o->sync = static_cast<ogg_sync_state *>(calloc(1, sizeof(ogg_sync_state)));
    o->page = static_cast<ogg_page *>(calloc(1, sizeof(ogg_page)));
    o->stream = static_cast<ogg_stream_state *>(calloc(1, sizeof(ogg_stream_state)));
    if (o->sync == nullptr || o->page == nullptr || o->stream == nullptr) {
        zv_ogg_delete(o);
        return ZV_STATUS_OUT_OF_MEMORY;
    }
    o->file = zv_fopen(path, "rb");
    if (o->file == nullptr) {
        const zv_status_t status = zv_fopen_failure();
        zv_ogg_delete(o);
        return status;
    }
    if (ogg_sync_init(o->sync) != 0) {
        zv_ogg_delete(o);
        return ZV_STATUS_INVALID_STATE;
    }
    *ogg = o;
    return ZV_STATUS_SUCCESS;
}

zv_status_t zv_ogg_read_ogg_page(zv_ogg_t *ogg) {
    // A result of -1 (bytes skipped to regain sync) is handled like 0.
    while (ogg_sync_pageout(ogg->sync, ogg->page) != 1) {
        char *buffer = ogg_sync_buffer(ogg->sync, kBlockBytes);
        if (buffer == nullptr) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        const size_t n = fread(buffer, 1, kBlockBytes, ogg->file);
        if (n == 0) {
            return ZV_STATUS_IO_ERROR;
        }
        if (ogg_sync_wrote(ogg->sync, static_cast<long>(n)) != 0) {
            return ZV_STATUS_INVALID_STATE;
        }
    }
    if (ogg_page_bos(ogg->page) > 0) {
        // A state set up before keeps buffers of its own: release them first.
        if (ogg->stream_ready) {
            ogg_stream_clear(ogg->stream);
            ogg->stream_ready = 0;
        }
        // Its one failure is a failed allocation of the state's buffers.
        if (ogg_stream_init(ogg->stream, ogg_page_serialno(ogg->page)) != 0) {
            return ZV_STATUS_OUT_OF_MEMORY;
        }
        ogg->stream_ready = 1;
    }
    // A page the state refuses leaves it as it was; a failure to grow its
    // buffers clears it, which the check then reports.
    const bool usable = ogg_stream_check(ogg->stream) == 0;
    if (ogg_stream_pagein(ogg->stream, ogg->page) != 0) {
        return usable && ogg_stream_check(ogg->stream) != 0 ? ZV_STATUS_OUT_OF_MEMORY : ZV_STATUS_INVALID_STATE;
    }
    return ZV_STATUS_SUCCESS;
}

int32_t zv_ogg_stream_packetout(zv_ogg_t *ogg, ogg_packet *packet) {
    return ogg_stream_packetout(ogg->stream, packet);
}

zv_status_t zv_ogg_reset(zv_ogg_t *ogg) {
    ogg_sync_reset(ogg->sync);
    if (ogg_stream_reset(ogg->stream) != 0) {
        return ZV_STATUS_INVALID_STATE;
    }
    rewind(ogg->file);
    return zv_ogg_read_ogg_page(ogg);
}

void zv_ogg_delete(zv_ogg_t *ogg) {
    if (ogg == nullptr) {
        return;
    }
    if (ogg->sync != nullptr) {
        ogg_sync_destroy(ogg->sync);  // frees the block as well
    }
    free(ogg->page);
    if (ogg->stream != nullptr) {
        ogg_stream_destroy(ogg->stream);  // safe on a state never initialised
    }
    if (ogg->file != nullptr) {
        fclose(ogg->file);
    }
    free(ogg);
}

}  // extern "C"
