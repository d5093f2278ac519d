// The last step of the model writers that fill a blob writer: the finished
// blob into a new file, then freed.
#ifndef ZV_LM_LM_BLOB_SAVE_H
#define ZV_LM_LM_BLOB_SAVE_H

#include <stdint.h>
#include <stdlib.h>

#include "lm/lm_blob.h"
#include "zv_lumarin.h"

// Writes the writer's blob to path (mode "wb") and frees it, whatever the
// outcome. IO_ERROR when the file can't be opened, written or closed.
static inline zv_status_t zv_lm_blob_writer_save(zv_lm_blob_writer_t *writer, const char *path) {
    uint64_t size = 0;
    void *blob = NULL;
    zv_lm_blob_writer_finish(writer, &size, &blob);
    const zv_status_t status = zv_lm_blob_write_file(path, blob, size);
    free(blob);
    return status;
}

#endif
