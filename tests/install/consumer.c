/* A program outside the tree that uses an installed copy of the library: it
 * creates an engine from the model file given as its argument, indexes a
 * second of tone, searches a phrase and prints the library's version. */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <zv_lumarin.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        printf("usage: %s MODEL_PATH\n", argv[0]);
        return 1;
    }
    zv_lumarin_t *engine = NULL;
    zv_status_t status = zv_lumarin_init(argv[1], &engine);
    if (status != ZV_STATUS_SUCCESS) {
        printf("init: %s\n", zv_status_to_string(status));
        return 1;
    }
    enum { NUM_SAMPLES = 16000 };
    static int16_t pcm[NUM_SAMPLES];
    for (int i = 0; i < NUM_SAMPLES; ++i) {
        pcm[i] = (int16_t)(8000.0 * sin(2.0 * 3.14159265358979 * 440.0 * i / 16000.0));
    }
    int32_t *index = NULL;
    int32_t index_size = 0;
    status = zv_lumarin_index(engine, pcm, NUM_SAMPLES, &index, &index_size);
    if (status != ZV_STATUS_SUCCESS) {
        printf("index: %s\n", zv_status_to_string(status));
        zv_lumarin_delete(engine);
        return 1;
    }
    zv_lumarin_match_t *matches = NULL;
    int32_t num_matches = 0;
    status = zv_lumarin_search(engine, index, index_size, "hello world", &matches, &num_matches);
    free(index);
    free(matches);
    zv_lumarin_delete(engine);
    if (status != ZV_STATUS_SUCCESS) {
        printf("search: %s\n", zv_status_to_string(status));
        return 1;
    }
    printf("zv_lumarin %s: %d index bytes, %d matches\n", zv_lumarin_version(), (int)index_size, (int)num_matches);
    return 0;
}
