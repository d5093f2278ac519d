// Demonstration of the engine: creates it from a model file, indexes a 16 kHz
// 16-bit mono WAV file and prints every match of a phrase as start and end
// time in seconds and probability.
//
//   lumarin_demo -model_path MODEL -audio_path AUDIO.wav -phrase "some words"
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "foundation/args.h"
#include "zv_lumarin.h"

namespace {

uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Reads the samples of a RIFF/WAVE file of 16 kHz mono 16-bit PCM.
bool read_wav(const char *path, std::vector<int16_t> *pcm) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        fprintf(stderr, "cannot open '%s'\n", path);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        fprintf(stderr, "'%s' is not a WAV file\n", path);
        return false;
    }
    bool format_ok = false;
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const uint32_t size = le32(bytes.data() + at + 4);
        const uint8_t *body = bytes.data() + at + 8;
        const size_t available = bytes.size() - (at + 8);
        if (memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            const uint16_t tag = le16(body);
            format_ok = (tag == 1 || tag == 0xfffe) && le16(body + 2) == 1 && le32(body + 4) == 16000 &&
                        le16(body + 14) == 16;
        } else if (memcmp(bytes.data() + at, "data", 4) == 0) {
            if (!format_ok) break;
            const size_t count = (size < available ? size : available) / 2;
            pcm->resize(count);
            for (size_t i = 0; i < count; ++i) (*pcm)[i] = static_cast<int16_t>(le16(body + 2 * i));
            return true;
        }
        at += 8 + static_cast<size_t>(size) + (size & 1);
    }
    fprintf(stderr, "'%s' is not 16 kHz 16-bit mono PCM\n", path);
    return false;
}

}  // namespace

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
    std::vector<int16_t> pcm;
    if (!read_wav(audio_path, &pcm) || pcm.empty()) {
        zv_lumarin_delete(engine);
        return 1;
    }
    int32_t *index = NULL;
    int32_t index_size = 0;
    status = zv_lumarin_index(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &index, &index_size);
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
