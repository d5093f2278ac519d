#include "model_writer.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <stdexcept>

namespace zv_test {

namespace {

// Packs unsigned fields least significant bit first into little-endian
// uint32 words, a field straddling two words where it must.
class BitWriter {
public:
    explicit BitWriter(uint64_t num_bits) : words_((num_bits + 31) / 32, 0) {}
    void put(uint32_t value, int width) {
        for (int b = 0; b < width; ++b) {
            if ((value >> b) & 1u) words_[position_ / 32] |= 1u << (position_ % 32);
            ++position_;
        }
    }
    void append_to(ByteWriter &out) const {
        for (uint32_t w : words_) out.u32(w);
    }
    size_t num_words() const { return words_.size(); }

private:
    std::vector<uint32_t> words_;
    uint64_t position_ = 0;
};

int CeilLog2(int64_t v) { return static_cast<int>(std::ceil(std::log2(static_cast<double>(v)))); }

// A tree whose children keep their order of creation.
struct Node {
    int32_t label;
    int32_t word;
    std::vector<int32_t> children;
};

int32_t FindOrAppend(std::vector<Node> &nodes, int32_t parent, int32_t label, int32_t word) {
    for (int32_t child : nodes[parent].children) {
        if (nodes[child].label == label && nodes[child].word == word) return child;
    }
    nodes.push_back(Node{label, word, {}});
    const int32_t child = static_cast<int32_t>(nodes.size() - 1);
    nodes[parent].children.push_back(child);
    return child;
}

// Preorder: the visit order, and the structure bits (0 entering, 1 leaving).
void Walk(const std::vector<Node> &nodes, int32_t node, std::vector<int32_t> &order, std::vector<int> &bits) {
    order.push_back(node);
    bits.push_back(0);
    for (int32_t child : nodes[node].children) Walk(nodes, child, order, bits);
    bits.push_back(1);
}

}  // namespace

BlockSpec ZeroBlock(const std::string &name, const std::string &version, int32_t language, int32_t input_width,
                    const std::vector<int32_t> &hidden_widths, const std::vector<int8_t> &output_bias) {
    BlockSpec block;
    block.name = name;
    block.version = version;
    block.language = language;
    int32_t in = input_width;
    for (int32_t h : hidden_widths) {
        block.forward.push_back(RnnSpec{zero_fc(in, 3 * h), zero_fc(h, 3 * h)});
        block.backward.push_back(RnnSpec{zero_fc(in, 3 * h), zero_fc(h, 3 * h)});
        in = h;
    }
    block.output = zero_fc(in, static_cast<int32_t>(output_bias.size()));
    block.output.bias = output_bias;
    return block;
}

BlockSpec RandomBlock(const std::string &name, const std::string &version, int32_t language, int32_t input_width,
                      const std::vector<int32_t> &hidden_widths, int32_t num_classes, uint32_t seed, int limit) {
    BlockSpec block = ZeroBlock(name, version, language, input_width, hidden_widths,
                                std::vector<int8_t>(static_cast<size_t>(num_classes), 0));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(-limit, limit);
    auto fill = [&](FcSpec &fc) {
        for (int8_t &b : fc.bias) b = static_cast<int8_t>(value(random));
        for (int8_t &w : fc.weights) w = static_cast<int8_t>(value(random));
    };
    for (auto *layers : {&block.forward, &block.backward}) {
        for (RnnSpec &rnn : *layers) {
            fill(rnn.input);
            fill(rnn.recurrent);
        }
    }
    fill(block.output);
    return block;
}

std::vector<uint8_t> EncodeFc(const FcSpec &fc) {
    ByteWriter out;
    put_fc(out, fc);
    return out.take();
}

std::vector<uint8_t> EncodeBlock(const BlockSpec &block) {
    ClassifierBlock layers;
    layers.extra = block.extra;
    layers.forward = block.forward;
    layers.backward = block.backward;
    layers.output = block.output;
    layers.language = block.language;
    return offline_block(block.name, block.version, layers);
}

std::vector<uint8_t> EncodeLexicon(const std::vector<std::string> &words) {
    std::vector<Node> nodes{Node{0, -1, {}}};
    for (const std::string &word : words) {
        int32_t node = 0;
        for (unsigned char c : word) node = FindOrAppend(nodes, node, c, -1);
        FindOrAppend(nodes, node, 0, -1);
    }
    std::vector<int32_t> order;
    std::vector<int> bits;
    Walk(nodes, 0, order, bits);
    const uint32_t n = static_cast<uint32_t>(nodes.size());
    BitWriter structure(2ull * n);
    for (int bit : bits) structure.put(static_cast<uint32_t>(bit), 1);
    const uint32_t w = static_cast<uint32_t>(structure.num_words());
    const uint32_t total = (4 * w + n + 11) & ~3u;
    ByteWriter out;
    out.u32(total).u32(n);
    structure.append_to(out);
    for (int32_t node : order) out.u8(static_cast<uint8_t>(nodes[node].label));
    while (out.size() < total) out.u8(0);
    return out.take();
}

std::vector<uint8_t> EncodeDict(int32_t num_phonemes, int32_t num_words,
                                const std::vector<std::vector<std::vector<int32_t>>> &pronunciations) {
    std::vector<Node> nodes{Node{0, -1, {}}};
    for (int32_t word = 0; word < static_cast<int32_t>(pronunciations.size()); ++word) {
        for (const auto &pron : pronunciations[word]) {
            int32_t node = 0;
            for (int32_t id : pron) node = FindOrAppend(nodes, node, id, -1);
            FindOrAppend(nodes, node, 0, word);
        }
    }
    std::vector<int32_t> order;
    std::vector<int> bits;
    Walk(nodes, 0, order, bits);
    const uint32_t d = static_cast<uint32_t>(nodes.size());
    const int e = CeilLog2(num_phonemes + 1);
    const int b = CeilLog2(static_cast<int64_t>(num_words) + 1);
    uint32_t num_ends = 0;
    for (const Node &node : nodes) num_ends += node.word >= 0 ? 1 : 0;
    BitWriter labels(static_cast<uint64_t>(d) * e);
    BitWriter word_indices(static_cast<uint64_t>(num_ends) * b);
    BitWriter structure(2ull * d);
    for (int32_t node : order) {
        labels.put(static_cast<uint32_t>(nodes[node].label), e);
        if (nodes[node].word >= 0) word_indices.put(static_cast<uint32_t>(nodes[node].word), b);
    }
    for (int bit : bits) structure.put(static_cast<uint32_t>(bit), 1);
    const uint32_t total =
        20 + 4 * static_cast<uint32_t>(labels.num_words() + word_indices.num_words() + structure.num_words());
    ByteWriter out;
    out.u32(total).u32(static_cast<uint32_t>(num_phonemes)).u32(d).u32(static_cast<uint32_t>(e)).u32(num_ends);
    labels.append_to(out);
    word_indices.append_to(out);
    structure.append_to(out);
    return out.take();
}

std::vector<uint8_t> ModelWriter::bytes(size_t size) const {
    std::vector<uint8_t> all;
    for (const auto *part : {&classifier, &marbo, &lexicon, &dict, &trailer}) {
        all.insert(all.end(), part->begin(), part->end());
    }
    if (size < all.size()) all.resize(size);
    return all;
}

std::vector<uint8_t> ModelWriter::patched_u32(size_t offset, uint32_t value) const {
    std::vector<uint8_t> all = bytes();
    for (int i = 0; i < 4; ++i) all.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
    return all;
}

std::string ModelWriter::write(const std::string &path, size_t size) const {
    const std::vector<uint8_t> all = bytes(size);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(all.data()), static_cast<std::streamsize>(all.size()));
    return path;
}

BlockSpec LoudBlock(const std::string &name, const std::string &version, int32_t language, int32_t input_width,
                    int32_t hidden_width, int32_t num_classes, int32_t favoured) {
    BlockSpec block = ZeroBlock(name, version, language, input_width, {hidden_width},
                                std::vector<int8_t>(static_cast<size_t>(num_classes), 0));
    for (RnnSpec *rnn : {&block.forward[0], &block.backward[0]}) {
        std::fill(rnn->input.bias.begin(), rnn->input.bias.end(), static_cast<int8_t>(127));
    }
    for (int32_t k = 0; k < num_classes; ++k) {
        const int8_t w = k == favoured ? 127 : -128;
        std::fill_n(block.output.weights.begin() + static_cast<size_t>(k) * hidden_width, hidden_width, w);
    }
    return block;
}

ModelWriter SmallModel(const SmallModelOptions &options) {
    const int32_t classes = options.language == 6866 ? 53 : options.language == 6867 ? 37
                            : options.language == 6868 ? 33 : 40;
    const int32_t marbo_classes = options.marbo_language == 6866 ? 53 : options.marbo_language == 6867 ? 37
                                  : options.marbo_language == 6868 ? 33 : 40;
    std::vector<int8_t> bias = options.output_bias;
    if (bias.empty()) bias.assign(static_cast<size_t>(classes), 0);
    ModelWriter model;
    model.classifier = EncodeBlock(ZeroBlock("lumarin", "1.1.0", options.language, 80, {4}, bias));
    model.marbo = EncodeBlock(
        LoudBlock("marbo", "1.0.0", options.marbo_language, 28, options.marbo_hidden, marbo_classes,
                  options.marbo_favoured));
    model.lexicon = EncodeLexicon(options.words);
    model.dict = EncodeDict(classes - 1, static_cast<int32_t>(options.words.size()), options.pronunciations);
    return model;
}

}  // namespace zv_test
