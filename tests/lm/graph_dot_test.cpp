#include "lm/graph_dot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "support/child_process.h"
#include "support/graph_file.h"
#include "support/host_locale.h"
#include "support/temp_dir.h"

namespace {

using zv_test::GraphPtr;
using zv_test::GraphSources;

const char *const kNames[] = {"AA", "BB", "CC"};

using zv_test::MgramPtr;

// The graph of the sources and its language model.
struct Loaded {
    GraphPtr graph;
    MgramPtr mgram;
    explicit Loaded(const GraphSources &sources) {
        zv_status_t status;
        graph = zv_test::load_graph(sources.file(), &status);
        EXPECT_EQ(status, ZV_STATUS_SUCCESS);
        const std::vector<uint8_t> blob = zv_test::lm_blob(sources.nodes);
        const void *cursor = blob.data();
        zv_mgram_t *m = nullptr;
        EXPECT_EQ(zv_mgram_deserialize_bounded(&cursor, blob.size(), &m), ZV_STATUS_SUCCESS);
        mgram.reset(m);
    }
};

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool have_dot() { return std::system("command -v dot > /dev/null 2>&1") == 0; }

// Graphviz parses the file (when it is installed).
void expect_dot_parses(const std::string &path) {
    if (!have_dot()) return;
    const std::string command = "dot -Tcanon -o /dev/null '" + path + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << read_text(path);
}

TEST(GraphDotTest, WholeGraphText) {
    Loaded example(zv_test::worked_example());
    zv_test::TempDir dir;
    const std::string path = dir.path("whole.dot");
    ASSERT_EQ(zv_graph_create_dot(example.graph.get(), path.c_str()), ZV_STATUS_SUCCESS);
    EXPECT_EQ(read_text(path),
              "digraph zv_graph {\n"
              "s0 [label=\"F\"]\n"
              "   s0->s3 [label=\"1//1.2\"]\n"
              "s1 [label=\"F\"]\n"
              "   s1->s0 [label=\"0/\"]\n"
              "s2 [label=\"F\"]\n"
              "   s2->s0 [label=\"0/\"]\n"
              "s3 [label=\"\"]\n"
              "   s3->s4 [label=\"2/\"]\n"
              "   s3->s5 [label=\"3//0.8\"]\n"
              "s4 [label=\"\"]\n"
              "   s4->s1 [label=\"0/\"]\n"
              "s5 [label=\"\"]\n"
              "   s5->s2 [label=\"0/\"]\n"
              "}\n");
    expect_dot_parses(path);

    // A word arc that keeps a weight names its word.
    GraphSources heavier = zv_test::worked_example();
    heavier.prons[1] = {{1, 2}};  // B a homophone of A, 6 dearer
    Loaded homophones(heavier);
    ASSERT_EQ(zv_graph_create_dot(homophones.graph.get(), path.c_str()), ZV_STATUS_SUCCESS);
    EXPECT_NE(read_text(path).find("   s4->s2 [label=\"0/B/0.8\"]\n"), std::string::npos) << read_text(path);
    expect_dot_parses(path);
}

TEST(GraphDotTest, NeighbourhoodTexts) {
    Loaded example(zv_test::worked_example());
    Loaded trigram(zv_test::trigram_example());
    zv_test::TempDir dir;
    const std::string path = dir.path("focal.dot");
    const char *const b[] = {"B"};
    // The example's tree below phone state 3, as both of its neighbourhoods
    // end.
    const std::string below_3 =
        "    s3->s4 [label=\"BB\"]\n"
        "    s4 [label=\"\"]\n"
        "    s4->s1 [label=\"\"]\n"
        "    s1 [label=\"A\"]\n"
        "    s3->s5 [label=\"CC/0.8\"]\n"
        "    s5 [label=\"\"]\n"
        "    s5->s2 [label=\"\"]\n"
        "    s2 [label=\"B\"]\n"
        "}\n";
    struct Case {
        const char *name;
        std::function<zv_status_t()> write;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"start_state_of_no_words",
         [&] {
             return zv_graph_create_focal_dot(example.graph.get(), path.c_str(), example.mgram.get(), kNames, nullptr,
                                              0);
         },
         "digraph zv_graph {\n"
         "    s0 [label=\"پدر\"]\n"
         "    s0->s3 [label=\"AA/1.2\"]\n"
         "    s3 [label=\"\"]\n" +
             below_3},
        {"phone_state_covers_its_subtree_only",
         [&] {
             return zv_graph_create_focal_dot_from_state(example.graph.get(), path.c_str(), nullptr, kNames, 3);
         },
         "digraph zv_graph {\n"
         "    s3 [label=\"3\"]\n" +
             below_3},
        {"backoff_arc_into_the_start_state",
         [&] {
             return zv_graph_create_focal_dot(trigram.graph.get(), path.c_str(), trigram.mgram.get(), kNames, b, 1);
         },
         "digraph zv_graph {\n"
         "    s4 [label=\"پدر\"]\n"
         "    s4->s0 [label=\"/0.5\"]\n"
         "    s0 [label=\"0\"]\n"
         "    s4->s10 [label=\"CC/0.6\"]\n"
         "    s10 [label=\"\"]\n"
         "    s10->s5 [label=\"\"]\n"
         "    s5 [label=\"C\"]\n"
         "}\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.write(), ZV_STATUS_SUCCESS);
        EXPECT_EQ(read_text(path), c.text);
        expect_dot_parses(path);
    }
}

// Weights keep their point under a host locale with a decimal comma, in
// every writer's text, and the language model's picture stays as it is.
TEST(GraphDotTest, TextsIgnoreADecimalCommaLocale) {
    zv_test::HostLocale german("de_DE", "UTF-8");
    if (!german.missing().empty()) GTEST_SKIP() << german.missing();
    Loaded example(zv_test::worked_example());
    Loaded trigram(zv_test::trigram_example());
    zv_test::TempDir dir;
    const char *const b[] = {"B"};
    const int32_t b_id = 1;
    auto write_all = [&](const std::string &tag) {
        std::vector<std::string> texts;
        const std::string path = dir.path(tag + ".dot");
        EXPECT_EQ(zv_graph_create_dot(example.graph.get(), path.c_str()), ZV_STATUS_SUCCESS);
        texts.push_back(read_text(path));
        EXPECT_EQ(zv_graph_create_focal_dot(trigram.graph.get(), path.c_str(), trigram.mgram.get(), kNames, b, 1),
                  ZV_STATUS_SUCCESS);
        texts.push_back(read_text(path));
        EXPECT_EQ(zv_graph_create_focal_dot_from_state(example.graph.get(), path.c_str(), nullptr, kNames, 0),
                  ZV_STATUS_SUCCESS);
        texts.push_back(read_text(path));
        texts.push_back(zv_test::capture_stdout([&] {
            EXPECT_EQ(zv_mgram_create_dot(trigram.mgram.get(), path.c_str(), trigram.graph->lexicon, 1, &b_id),
                      ZV_STATUS_SUCCESS);
        }));
        texts.push_back(read_text(path));
        return texts;
    };
    const std::vector<std::string> in_c = write_all("c");
    ASSERT_NE(in_c[0].find("1//1.2"), std::string::npos) << in_c[0];
    ASSERT_NE(in_c[1].find("/0.5"), std::string::npos) << in_c[1];
    ASSERT_NE(in_c[2].find("AA/1.2"), std::string::npos) << in_c[2];
    ASSERT_TRUE(german.use());
    const std::vector<std::string> in_german = write_all("de");
    german.restore();
    EXPECT_EQ(in_german, in_c);
}

TEST(GraphDotTest, RefusedBeforeAnyFileIsOpened) {
    Loaded trigram(zv_test::trigram_example());
    zv_test::TempDir dir;
    const std::string path = dir.path("never.dot");
    const zv_graph_t *g = trigram.graph.get();
    const char *const unknown[] = {"A", "Z"};
    const char *const not_a_path[] = {"C"};  // a word of the lexicon, but no unigram
    const char *const too_long[] = {"A", "B", "C", "A"};
    EXPECT_EQ(zv_graph_create_focal_dot(g, path.c_str(), trigram.mgram.get(), kNames, unknown, 2),
              ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_graph_create_focal_dot(g, path.c_str(), trigram.mgram.get(), kNames, not_a_path, 1),
              ZV_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(zv_graph_create_focal_dot(g, path.c_str(), trigram.mgram.get(), kNames, too_long, 4),
              ZV_STATUS_INVALID_ARGUMENT);
    for (int32_t state : {-1, zv_graph_num_states(g), INT32_MAX}) {
        EXPECT_EQ(zv_graph_create_focal_dot_from_state(g, path.c_str(), nullptr, kNames, state),
                  ZV_STATUS_INVALID_ARGUMENT);
    }
    EXPECT_FALSE(zv_file_exists(path.c_str()));
}

TEST(GraphDotTest, FailedOpenWriteOrCloseIsIoError) {
    Loaded trigram(zv_test::trigram_example());
    zv_test::TempDir dir;
    const zv_graph_t *g = trigram.graph.get();
    const char *const a[] = {"A"};
    std::vector<std::string> paths = {dir.path("no/such/dir.dot")};
    if (FILE *probe = std::fopen("/dev/full", "w")) {
        std::fclose(probe);
        paths.push_back("/dev/full");
    }
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(zv_graph_create_dot(g, path.c_str()), ZV_STATUS_IO_ERROR);
        EXPECT_EQ(zv_graph_create_focal_dot(g, path.c_str(), trigram.mgram.get(), kNames, a, 1), ZV_STATUS_IO_ERROR);
        EXPECT_EQ(zv_graph_create_focal_dot_from_state(g, path.c_str(), nullptr, kNames, 0), ZV_STATUS_IO_ERROR);
    }
}

// Graphviz reads the neighbourhood of every state of a trigram graph and
// the whole graph.
TEST(GraphDotTest, DotParsesEveryText) {
    if (!have_dot()) GTEST_SKIP() << "Graphviz's dot is not installed";
    Loaded trigram(zv_test::trigram_example());
    zv_test::TempDir dir;
    const zv_graph_t *g = trigram.graph.get();
    int32_t files = 0;
    for (int32_t s = 0; s < zv_graph_num_states(g); ++s) {
        const std::string path = dir.path("s" + std::to_string(s) + ".dot");
        ASSERT_EQ(zv_graph_create_focal_dot_from_state(g, path.c_str(), nullptr, kNames, s), ZV_STATUS_SUCCESS);
        expect_dot_parses(path);
        files += 1;
    }
    const std::string whole = dir.path("whole.dot");
    ASSERT_EQ(zv_graph_create_dot(g, whole.c_str()), ZV_STATUS_SUCCESS);
    expect_dot_parses(whole);
    EXPECT_EQ(files, 11);
}

// A neighbourhood down a pronunciation far longer than a text line: written
// without a frame per phoneme.
TEST(GraphDotTest, VeryLongPronunciationNeighbourhood) {
    constexpr int32_t kLength = 300000;
    Loaded chain(zv_test::long_pronunciation_example(kLength));
    zv_test::TempDir dir;
    const std::string path = dir.path("chain.dot");
    ASSERT_EQ(zv_graph_create_focal_dot_from_state(chain.graph.get(), path.c_str(), nullptr, kNames, 0),
              ZV_STATUS_SUCCESS);
    const std::string text = read_text(path);
    // Header, the state, A's arc and node lines, B's chain of kLength arcs
    // and the word arc, each with its node line, and the footer.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 1 + 2 * 2 + 2 * (kLength + 1) + 1);
    EXPECT_NE(text.find("[label=\"B\"]\n}\n"), std::string::npos);
}

}  // namespace
