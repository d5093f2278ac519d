// Builds model files for tests from hand-chosen parts: the phoneme classifier
// block, the grapheme-to-phoneme block, the lexicon blob and the dictionary
// blob, then anything appended. Blocks (through the classifier block builder)
// and blobs are encoded apart from the library's own writers, so that a
// reader and a writer can't share one fault. Hooks give the offset of every part so that a test can cut the file
// or overwrite any field.
#ifndef ZV_TESTS_SUPPORT_MODEL_WRITER_H
#define ZV_TESTS_SUPPORT_MODEL_WRITER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_writer.h"
#include "classifier_block.h"

namespace zv_test {

// Layers as the classifier block builder describes them.
using FcSpec = FcBlock;    // in, out, bias (out), weights (out x in, row by row)
using RnnSpec = RnnBlock;  // input (in -> 3H), recurrent (H -> 3H)

struct BlockSpec {
    std::string name;
    std::string version;
    int32_t extra = 0;
    std::vector<RnnSpec> forward;
    std::vector<RnnSpec> backward;
    FcSpec output;
    int32_t language = 6865;
};

// All weights and biases 0 except the output biases: the hidden states stay
// 0 whatever the input, so every frame's probabilities are the softmax of
// the output biases (as Q10 logits bias * 8).
BlockSpec ZeroBlock(const std::string &name, const std::string &version, int32_t language, int32_t input_width,
                    const std::vector<int32_t> &hidden_widths, const std::vector<int8_t> &output_bias);
// Every weight and bias drawn from a fixed-seed generator in [-limit, limit].
BlockSpec RandomBlock(const std::string &name, const std::string &version, int32_t language, int32_t input_width,
                      const std::vector<int32_t> &hidden_widths, int32_t num_classes, uint32_t seed, int limit);

std::vector<uint8_t> EncodeFc(const FcSpec &fc);
std::vector<uint8_t> EncodeBlock(const BlockSpec &block);
// words: distinct, in strictly increasing byte order.
std::vector<uint8_t> EncodeLexicon(const std::vector<std::string> &words);
// pronunciations[w]: the pronunciations of word w (ids 1..num_phonemes), in
// the order the blob stores them; num_words is the lexicon's size.
std::vector<uint8_t> EncodeDict(int32_t num_phonemes, int32_t num_words,
                                const std::vector<std::vector<std::vector<int32_t>>> &pronunciations);

class ModelWriter {
public:
    // The parts, each as encoded bytes; tests may replace or edit any of them.
    std::vector<uint8_t> classifier;
    std::vector<uint8_t> marbo;
    std::vector<uint8_t> lexicon;
    std::vector<uint8_t> dict;
    std::vector<uint8_t> trailer;

    size_t classifier_offset() const { return 0; }
    size_t marbo_offset() const { return classifier.size(); }
    size_t lexicon_offset() const { return marbo_offset() + marbo.size(); }
    size_t dict_offset() const { return lexicon_offset() + lexicon.size(); }
    size_t trailer_offset() const { return dict_offset() + dict.size(); }

    // The whole file; with a size below the whole, only its first bytes.
    std::vector<uint8_t> bytes(size_t size = SIZE_MAX) const;
    // The file with a little-endian u32 overwritten at offset.
    std::vector<uint8_t> patched_u32(size_t offset, uint32_t value) const;
    // Writes the file (or its first `size` bytes) and gives its path.
    std::string write(const std::string &path, size_t size = SIZE_MAX) const;
};

// A block whose networks ignore their input and whose every frame comes out
// nearly certain of one class: the recurrent layers are driven by their
// biases alone, and the output layer lifts `favoured` far above the rest.
BlockSpec LoudBlock(const std::string &name, const std::string &version, int32_t language, int32_t input_width,
                    int32_t hidden_width, int32_t num_classes, int32_t favoured);

struct SmallModelOptions {
    int32_t language = 6865;              // classifier and dictionary
    std::vector<int8_t> output_bias;      // classifier output biases (P + 1), zeros when empty
    int32_t marbo_language = 6865;
    int32_t marbo_favoured = 1;           // the class every grapheme frame picks (0: blank)
    int32_t marbo_hidden = 32;            // units of its one level (4 is loud enough for short words)
    std::vector<std::string> words = {"CAT", "DOG", "NOPRON", "SILENT", "TWO"};
    // CAT: K AE T, DOG: D AO G, NOPRON: none, SILENT: empty, TWO: T UW then T OW.
    std::vector<std::vector<std::vector<int32_t>>> pronunciations = {
        {{20, 2, 31}}, {{9, 4, 15}}, {}, {{}}, {{31, 34}, {31, 25}}};
};

// The small model of the engine tests: a zero classifier (80 inputs, one
// level of 4 units) whose rows are the softmax of its output biases, a loud
// grapheme-to-phoneme network (28 inputs) and the given lexicon.
ModelWriter SmallModel(const SmallModelOptions &options = SmallModelOptions());

}  // namespace zv_test

#endif
