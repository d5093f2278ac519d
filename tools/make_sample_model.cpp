// Writes the structural sample model of the demonstration: a small phoneme
// classifier and grapheme-to-phoneme network with fixed-seed random weights,
// and a lexicon and dictionary of the words of the sample recording. It shows
// the file's structure and the engine's road end to end; it is not trained,
// so its matches mean nothing about the speech. Its output layer leans
// towards the blank and the sounds of "hello world", so that the demo has
// something to print.
//
//   make_sample_model OUTPUT_PATH
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

// The model writer of the tests, compiled into this tool.
#include "../tests/support/model_writer.cpp"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_PATH\n", argv[0]);
        return 1;
    }
    // English phoneme ids: AH 3, AE 2, AO 4, CH 8, D 9, DH 10, ER 12, EY 13,
    // F 14, HH 16, IH 17, K 20, L 21, M 22, NG 24, OW 25, P 27, R 28, S 29,
    // W 36, Z 38.
    const std::vector<std::string> words = {"A",      "FOR",    "HELLO", "IS",   "PHRASE", "RECORDING",
                                            "SAMPLE", "SEARCH", "THE",   "THIS", "WORLD"};
    const std::vector<std::vector<std::vector<int32_t>>> pronunciations = {
        {{3}},
        {{14, 4, 28}},
        {{16, 3, 21, 25}},
        {{17, 38}},
        {{14, 28, 13, 38}},
        {{28, 3, 20, 4, 28, 9, 17, 24}},
        {{29, 2, 22, 27, 3, 21}},
        {{29, 12, 8}},
        {{10, 3}},
        {{10, 17, 29}},
        {{36, 12, 21, 9}},
    };
    zv_test::ModelWriter model;
    // Random input weights let the audio move the rows; the hidden units are
    // held up by their biases, and the output rows of the blank and of the
    // sounds of HELLO WORLD (HH AH L OW W ER D) are lifted above the rest.
    zv_test::BlockSpec classifier = zv_test::RandomBlock("lumarin", "1.1.0", 6865, 80, {32}, 40, 1, 32);
    for (zv_test::RnnSpec *rnn : {&classifier.forward[0], &classifier.backward[0]}) {
        for (int8_t &b : rnn->input.bias) b = 127;
    }
    const std::vector<int32_t> lifted = {0, 16, 3, 21, 25, 36, 12, 9};
    for (int32_t k = 0; k < 40; ++k) {
        const bool lift = std::find(lifted.begin(), lifted.end(), k) != lifted.end();
        for (int32_t j = 0; j < 32; ++j) {
            int8_t &w = classifier.output.weights[static_cast<size_t>(k) * 32 + j];
            w = lift ? static_cast<int8_t>(w / 4 + 64) : static_cast<int8_t>(-128);
        }
    }
    model.classifier = zv_test::EncodeBlock(classifier);
    model.marbo = zv_test::EncodeBlock(zv_test::RandomBlock("marbo", "1.0.0", 6865, 28, {16}, 40, 2, 24));
    model.lexicon = zv_test::EncodeLexicon(words);
    model.dict = zv_test::EncodeDict(39, static_cast<int32_t>(words.size()), pronunciations);
    const std::vector<uint8_t> bytes = model.bytes();
    FILE *file = fopen(argv[1], "wb");
    if (file == NULL || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0) {
        fprintf(stderr, "cannot write '%s'\n", argv[1]);
        return 1;
    }
    printf("wrote the structural sample model '%s' (%zu bytes)\n", argv[1], bytes.size());
    return 0;
}
