#include "foundation/args.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "support/child_process.h"
#include "support/host_locale.h"

using zv_test::capture_stdout;
using zv_test::run_in_child;

namespace {

#define RED "\x1b[31m"
#define RESET "\x1b[0m"

const zv_arg_parser_option_t kOptions[] = {
    {ZV_ARG_PARSER_TYPE_BOOL, 1, "b", 0},
    {ZV_ARG_PARSER_TYPE_FLOAT, 1, "f", 0},
    {ZV_ARG_PARSER_TYPE_INT, 0, "n", 1},
    {ZV_ARG_PARSER_TYPE_STRING, 1, "o", 1},
};
constexpr int32_t kNumOptions = 4;

const std::string kUsage = RED "[ERROR] usage : prog" RESET RED " -b (bool)" RESET RED " -f (float)" RESET
                           RED " -n [int]" RESET RED " -o (string)" RESET RED "\n\n" RESET
                           RED "[ERROR]  -n : int" RESET "\n" RED "[ERROR]  -o : string" RESET "\n";

// An argument vector that lives as long as the test.
struct Argv {
    explicit Argv(std::vector<std::string> args) : strings(std::move(args)) {
        for (std::string &s : strings) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int32_t argc() const { return static_cast<int32_t>(strings.size()); }
    char **argv() { return pointers.data(); }
    std::vector<std::string> strings;
    std::vector<char *> pointers;
};

zv_test::ChildResult init_in_child(std::vector<std::string> args,
                                   const zv_arg_parser_option_t *options = kOptions,
                                   int32_t num_options = kNumOptions) {
    Argv a(std::move(args));
    return run_in_child([&] {
        zv_arg_parser_t parser;
        zv_arg_parser_init(a.argc(), a.argv(), num_options, options, &parser);
    });
}

void expect_usage_exit(const zv_test::ChildResult &r, const std::string &expected, const std::string &what) {
    EXPECT_TRUE(r.exited) << what;
    EXPECT_EQ(r.exit_code, 1) << what;
    EXPECT_EQ(r.out, expected) << what;
}

}  // namespace

TEST(Args, InvalidCommandLinesPrintUsageAndExit) {
    const std::vector<std::vector<std::string>> cases = {
        {"prog"},                                   // the required -n is missing
        {"prog", "-n"},                             // not in pairs
        {"prog", "-n", "1", "-o"},
        {"prog", "n", "1"},                         // no dash
        {"prog", "--n", "1"},                       // two dashes: "-n" is no name
        {"prog", "-x", "1", "-n", "1"},             // unknown key
        {"prog", "-N", "1"},                        // names are case-sensitive
        {"prog", "-", "1", "-n", "1"},
        {"prog", "", "1", "-n", "1"},
        {"prog", "-n", "99999999999999999999999"},  // beyond long
        {"prog", "-n", "-99999999999999999999999"},
        {"prog", "-n", "1", "-f", "1e99"},          // beyond float
        {"prog", "-n", "1", "-f", "1e-60"},         // underflow is a range error too
        {"prog", "-n", "1", "-b", "yes"},
        {"prog", "-n", "1", "-b", "TRUE"},
        {"prog", "-o", "x"},
    };
    for (const auto &args : cases) {
        std::string what;
        for (const std::string &a : args) what += "'" + a + "' ";
        expect_usage_exit(init_in_child(args), kUsage, what);
    }
}

TEST(Args, UsageWithProgramName) {
    const zv_arg_parser_option_t options[] = {
        {ZV_ARG_PARSER_TYPE_INT, 0, "n", 0},
        {ZV_ARG_PARSER_TYPE_STRING, 1, "o", 0},
    };
    expect_usage_exit(init_in_child({"/usr/bin/tool x"}, options, 2),
                      RED "[ERROR] usage : /usr/bin/tool x" RESET RED " -n [int]" RESET RED " -o (string)" RESET
                          RED "\n\n" RESET,
                      "no listed options");
    // No options at all, and a stray argument.
    expect_usage_exit(init_in_child({"p", "-a", "b", "c"}, options, 0),
                      RED "[ERROR] usage : p" RESET RED "\n\n" RESET, "no options");
}

// A declared type outside the table prints a placeholder name, never a text
// read from beyond the type names, and its values can't be checked.
TEST(Args, UnknownOptionTypeGetsPlaceholder) {
    const zv_arg_parser_option_t options[] = {
        {7, 0, "u", 1},
        {-1, 1, "v", 0},
        {ZV_ARG_PARSER_TYPE_STRING, 1, "s", 0},
    };
    const std::string usage = RED "[ERROR] usage : prog" RESET RED " -u [unknown]" RESET RED " -v (unknown)" RESET
                              RED " -s (string)" RESET RED "\n\n" RESET RED "[ERROR]  -u : unknown" RESET "\n";
    expect_usage_exit(init_in_child({"prog"}, options, 3), usage, "missing");
    expect_usage_exit(init_in_child({"prog", "-u", "1"}, options, 3), usage, "unchecked value");
}

// No program name at all: the usage still prints, with an empty name.
TEST(Args, NoArgumentsAtAll) {
    const zv_arg_parser_option_t options[] = {{ZV_ARG_PARSER_TYPE_STRING, 1, "s", 0}};
    char *argv[] = {nullptr};
    const auto r = run_in_child([&] {
        zv_arg_parser_t parser;
        zv_arg_parser_init(0, argv, 1, options, &parser);
    });
    expect_usage_exit(r, RED "[ERROR] usage : " RESET RED " -s (string)" RESET RED "\n\n" RESET, "argc 0");
}

TEST(Args, LogSwitchedOffEndsSilently) {
    Argv a({"prog"});
    const auto r = run_in_child([&] {
        zv_log_disable();
        zv_arg_parser_t parser;
        zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser);
    });
    expect_usage_exit(r, "", "log off");
}

TEST(Args, ValidLineAndGetters) {
    Argv a({"prog", "-n", "42", "-b", "True", "-f", "2.5", "-o", "text", "-n", "7"});
    zv_arg_parser_t parser;
    const std::string out = capture_stdout(
        [&] { zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(parser.argc, 11);
    EXPECT_EQ(parser.argv, a.argv());
    EXPECT_EQ(parser.num_options, kNumOptions);
    EXPECT_EQ(parser.options, kOptions);
    EXPECT_EQ(zv_arg_parser_has_key(&parser, "n"), 1);
    EXPECT_EQ(zv_arg_parser_has_key(&parser, "x"), 0);
    EXPECT_EQ(zv_arg_parser_has_key(&parser, "-n"), 0);
    EXPECT_EQ(zv_arg_parser_get_int_value(&parser, "n"), 42);  // the first of two
    EXPECT_EQ(zv_arg_parser_get_bool_value(&parser, "b"), 1);
    EXPECT_EQ(zv_arg_parser_get_float_value(&parser, "f"), 2.5f);
    EXPECT_EQ(zv_arg_parser_get_string_value(&parser, "o"), a.argv()[8]);  // not copied
    EXPECT_EQ(zv_arg_parser_get_int_value_with_default(&parser, "n", 5), 42);
    EXPECT_EQ(zv_arg_parser_get_bool_value_with_default(&parser, "b", 0), 1);
    EXPECT_EQ(zv_arg_parser_get_float_value_with_default(&parser, "f", 1.0f), 2.5f);
    EXPECT_STREQ(zv_arg_parser_get_string_value_with_default(&parser, "o", "d"), "text");
    // Absent keys give the defaults.
    EXPECT_EQ(zv_arg_parser_get_int_value_with_default(&parser, "zz", -9), -9);
    EXPECT_STREQ(zv_arg_parser_get_string_value_with_default(&parser, "zz", "d"), "d");
}

TEST(Args, ValueConversions) {
    struct Case {
        const char *value;
        int32_t as_int;
    } ints[] = {
        {"abc", 0},  // not a number: passes and reads as 0
        {"12abc", 12},
        {"-7", -7},
        {"5000000000", INT32_MAX},  // inside long, beyond int32: clamped
        {"-5000000000", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
    };
    for (const Case &c : ints) {
        Argv a({"prog", "-n", c.value});
        zv_arg_parser_t parser;
        zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser);
        EXPECT_EQ(zv_arg_parser_get_int_value(&parser, "n"), c.as_int) << c.value;
    }
    for (const auto &[word, value] : std::vector<std::pair<std::string, int32_t>>{
             {"true", 1}, {"True", 1}, {"false", 0}, {"False", 0}}) {
        Argv a({"prog", "-n", "1", "-b", word});
        zv_arg_parser_t parser;
        zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser);
        EXPECT_EQ(zv_arg_parser_get_bool_value(&parser, "b"), value) << word;
    }
    Argv a({"prog", "-n", "1", "-f", "x"});
    zv_arg_parser_t parser;
    zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser);
    EXPECT_EQ(zv_arg_parser_get_float_value(&parser, "f"), 0.0f);
}

TEST(Args, DefaultsWithOnlyTheProgramName) {
    const zv_arg_parser_option_t options[] = {
        {ZV_ARG_PARSER_TYPE_BOOL, 1, "b", 0},
        {ZV_ARG_PARSER_TYPE_FLOAT, 1, "f", 0},
        {ZV_ARG_PARSER_TYPE_INT, 1, "n", 0},
        {ZV_ARG_PARSER_TYPE_STRING, 1, "o", 0},
    };
    Argv a({"prog"});
    zv_arg_parser_t parser;
    zv_arg_parser_init(a.argc(), a.argv(), 4, options, &parser);
    EXPECT_EQ(zv_arg_parser_get_bool_value_with_default(&parser, "b", 1), 1);
    EXPECT_EQ(zv_arg_parser_get_float_value_with_default(&parser, "f", 0.5f), 0.5f);
    EXPECT_EQ(zv_arg_parser_get_int_value_with_default(&parser, "n", 3), 3);
    EXPECT_STREQ(zv_arg_parser_get_string_value_with_default(&parser, "o", "dflt"), "dflt");
    const auto r = run_in_child([&] { zv_arg_parser_get_int_value(&parser, "n"); });
    expect_usage_exit(r,
                      RED "[ERROR] invalid key 'n'" RESET "\n" RED "[ERROR] usage : prog" RESET RED " -b (bool)" RESET
                          RED " -f (float)" RESET RED " -n (int)" RESET RED " -o (string)" RESET RED "\n\n" RESET,
                      "plain getter");
}

// The getters check the value by their own type, whatever the option's.
TEST(Args, GetterConversionFailuresExit) {
    Argv a({"prog", "-n", "1e99", "-o", "99999999999999999999999", "-b", "false"});
    zv_arg_parser_t parser;
    zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser);
    struct Case {
        std::function<void()> call;
        std::string message;
    };
    const Case cases[] = {
        {[&] { zv_arg_parser_get_bool_value(&parser, "o"); },
         RED "[ERROR] value is not a boolean '99999999999999999999999'" RESET "\n"},
        {[&] { zv_arg_parser_get_int_value(&parser, "o"); },
         RED "[ERROR] value is not an integer '99999999999999999999999'" RESET "\n"},
        {[&] { zv_arg_parser_get_float_value(&parser, "n"); },
         RED "[ERROR] value is not a float '1e99'" RESET "\n"},
        {[&] { zv_arg_parser_get_float_value_with_default(&parser, "n", 1.0f); },
         RED "[ERROR] value is not a float '1e99'" RESET "\n"},
        {[&] { zv_arg_parser_get_string_value(&parser, "missing"); },
         RED "[ERROR] invalid key 'missing'" RESET "\n"},
        {[&] { zv_arg_parser_get_bool_value(&parser, "f"); }, RED "[ERROR] invalid key 'f'" RESET "\n"},
    };
    for (const Case &c : cases) {
        expect_usage_exit(run_in_child(c.call), c.message + kUsage, c.message);
    }
    EXPECT_EQ(zv_arg_parser_get_int_value(&parser, "n"), 1);  // strtol stops at 'e'
}

// A tool that sets a locale with a decimal comma for its messages still
// reads its command line as the C locale does: the same values, the same
// refusals (range errors alone), whatever follows the number ignored.
TEST(Args, FloatsReadAsInTheCLocaleUnderADecimalCommaLocale) {
    zv_test::HostLocale german("de_DE", "UTF-8");
    if (!german.missing().empty()) GTEST_SKIP() << german.missing();
    struct Case {
        const char *value;
        bool accepted;
        float as_float;
    };
    const Case cases[] = {
        {"0.5", true, 0.5f},          {"2,5", true, 2.0f},      {" -1.25e-3", true, -1.25e-3f},
        {"0x1.8p1", true, 3.0f},      {"inf", true, INFINITY},  {"16beam", true, 16.0f},
        {"0x1p-149", true, 0x1p-149f}, {"1e99", false, 0.0f},   {"1e-50", false, 0.0f},
        {"1e-40", false, 0.0f},
    };
    for (const bool use_german : {false, true}) {
        if (use_german) {
            ASSERT_TRUE(german.use());
        }
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.value) + (use_german ? " under " + german.name() : " in the C locale"));
            Argv a({"prog", "-n", "1", "-f", c.value});
            if (!c.accepted) {
                EXPECT_EQ(init_in_child(a.strings).exit_code, 1);
                continue;
            }
            zv_arg_parser_t parser;
            zv_arg_parser_init(a.argc(), a.argv(), kNumOptions, kOptions, &parser);
            EXPECT_EQ(zv_arg_parser_get_float_value(&parser, "f"), c.as_float);
            EXPECT_EQ(zv_arg_parser_get_float_value_with_default(&parser, "f", 7.0f), c.as_float);
        }
    }
}
