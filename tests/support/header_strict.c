/* The public header under the strictest settings a host may use: C89 with
 * -pedantic, and C++98. Every declaration is used, so that none the
 * language rejects goes unnoticed; only compiled, never run. */
#include "zv_lumarin.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    zv_lumarin_t *engine = NULL;
    zv_downsampler_t *downsampler = NULL;
    zv_lumarin_match_t *matches = NULL;
    int32_t *index = NULL;
    int32_t index_size = 0;
    int32_t num_matches = 0;
    int16_t pcm[1024];
    int16_t out[1024];
    int32_t k;
    int32_t written;
    int32_t i;
    zv_status_enum_t last = ZV_STATUS_RUNTIME_ERROR;
    zv_status_t status;

    if (argc < 3) {
        return 1;
    }
    zv_log_disable();
    zv_log_enable();
    printf("%s %s %ld %s\n", zv_lumarin_version(), zv_downsampler_version(), (long)zv_sample_rate(),
           zv_status_to_string((zv_status_t)last));
    for (i = 0; i < 1024; ++i) {
        pcm[i] = (int16_t)(i * 31);
    }

    status = zv_lumarin_init(argv[1], &engine);
    if (status != ZV_STATUS_SUCCESS) {
        return 1;
    }
    status = zv_lumarin_index(engine, pcm, 1024, &index, &index_size);
    free(index);
    index = NULL;
    status = zv_lumarin_index_file(engine, argv[2], &index, &index_size);
    if (status == ZV_STATUS_SUCCESS) {
        status = zv_lumarin_search(engine, index, index_size, "hello world", &matches, &num_matches);
        for (i = 0; status == ZV_STATUS_SUCCESS && i < num_matches; ++i) {
            printf("%f %f %f\n", matches[i].start_sec, matches[i].end_sec, matches[i].probability);
        }
        free(matches);
    }
    free(index);
    zv_lumarin_delete(engine);

    if (zv_downsampler_init(48000, 16000, 50, &downsampler) != ZV_STATUS_SUCCESS) {
        return 1;
    }
    k = zv_downsampler_convert_num_samples_to_input_sample_rate(downsampler, 1024);
    written = zv_downsampler_process(downsampler, pcm, k < 1 ? 1 : (k > 1024 ? 1024 : k), out);
    printf("%ld %ld\n", (long)written,
           (long)zv_downsampler_convert_num_samples_to_output_sample_rate(downsampler, 1024));
    zv_downsampler_reset(downsampler);
    zv_downsampler_delete(downsampler);
    return 0;
}
