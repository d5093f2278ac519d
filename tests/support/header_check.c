/* A C program linked against the shared library alone: the public header must
 * stand on its own in C, and the exported interface must be usable as is. */
#include "zv_lumarin.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) {                                           \
            printf("check failed: %s (line %d)\n", #cond, __LINE__); \
            ++failures;                                          \
        }                                                        \
    } while (0)

int main(void) {
    zv_lumarin_t *engine = (zv_lumarin_t *)1;
    zv_downsampler_t *downsampler = NULL;
    int16_t input[480];
    int16_t output[480];
    int32_t produced;
    int i;

    CHECK(strcmp(zv_lumarin_version(), "1.1.0") == 0);
    CHECK(strcmp(zv_downsampler_version(), "1.0.0") == 0);
    CHECK(zv_sample_rate() == 16000);
    CHECK(strcmp(zv_status_to_string(ZV_STATUS_IO_ERROR), "IO_ERROR") == 0);
    CHECK(zv_status_to_string(8) == NULL);
    zv_log_disable();
    zv_log_enable();

    CHECK(zv_lumarin_init("/nonexistent/model.bin", &engine) == ZV_STATUS_IO_ERROR);
    CHECK(engine == NULL);
    CHECK(zv_lumarin_init(NULL, &engine) == ZV_STATUS_INVALID_ARGUMENT);
    zv_lumarin_delete(NULL);

    CHECK(zv_downsampler_init(48000, 16000, 50, &downsampler) == ZV_STATUS_SUCCESS);
    for (i = 0; i < 480; ++i) {
        input[i] = (int16_t)(i * 37);
    }
    produced = zv_downsampler_process(downsampler, input, 480, output);
    CHECK(produced > 0 && produced <= 160);
    zv_downsampler_delete(downsampler);

    if (failures == 0) {
        printf("public interface in C: all checks passed\n");
    }
    return failures == 0 ? 0 : 1;
}
