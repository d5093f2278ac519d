// Demonstration of the engine: creates it from a model file, indexes an audio
// file (WAV, FLAC, MP3, Ogg Opus, Ogg Vorbis or WebM) and prints every match
// of a phrase as start and end time in seconds and probability.
//
//   lumarin_demo -model_path MODEL -audio_path AUDIO -phrase "some words"
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "foundation/args.h"
#include "zv_lumarin.h"

int main(int argc, char **argv) {
    static const zv_arg_parser_option_t options[] = {
        {ZV_ARG_PARSER_TYPE_STRING, 0, "model_path", 0},
        {ZV_ARG_PARSER_TYPE_STRING, 0, "audio_path", 0},
        {ZV_ARG_PARSER_TYPE_STRING, 0, "phrase", 0},
    };
    zv_arg_parser_t parser;
    zv_arg_parser_init(argc, argv, 3, options, &parser);
    const char *model_path = zv_arg_parser_get_string_value(&parser, "model_path");
    const char *audio_path = zv_arg_parser_get_string_value(&parser, "audio_path");
    const char *phrase = zv_arg_parser_get_string_value(&parser, "phrase");

    zv_lumarin_t *engine = NULL;
    zv_status_t status = zv_lumarin_init(model_path, &engine);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "cannot create the engine from '%s': %s\n", model_path, zv_status_to_string(status));
        return 1;
    }
    int32_t *index = NULL;
    int32_t index_size = 0;
    status = zv_lumarin_index_file(engine, audio_path, &index, &index_size);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "cannot index '%s': %s\n", audio_path, zv_status_to_string(status));
        zv_lumarin_delete(engine);
        return 1;
    }
    zv_lumarin_match_t *matches = NULL;
    int32_t num_matches = 0;
    status = zv_lumarin_search(engine, index, index_size, phrase, &matches, &num_matches);
    free(index);
    zv_lumarin_delete(engine);
    if (status != ZV_STATUS_SUCCESS) {
        fprintf(stderr, "cannot search '%s': %s\n", phrase, zv_status_to_string(status));
        return 1;
    }
    printf("%d match%s of '%s' in '%s'\n", num_matches, num_matches == 1 ? "" : "es", phrase, audio_path);
    for (int32_t i = 0; i < num_matches; ++i) {
        printf("start %.3f s  end %.3f s  probability %.3f\n", matches[i].start_sec, matches[i].end_sec,
               matches[i].probability);
    }
    free(matches);
    return 0;
}
