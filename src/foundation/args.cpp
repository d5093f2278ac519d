#include "foundation/args.h"

#include <stdlib.h>
#include <string.h>

#include "foundation/log.h"
#include "foundation/strings.h"

namespace {

// The Windows console shows the bare texts; elsewhere they carry their colour.
#if defined(_WIN32)
#define ZV_ARGS_RED ""
#define ZV_ARGS_RESET ""
#else
#define ZV_ARGS_RED ZV_LOG_RED
#define ZV_ARGS_RESET ZV_LOG_RESET
#endif

constexpr const char *kTypeNames[] = {"bool", "float", "int", "string"};

// A type outside the table gets a placeholder, never a read past it.
const char *type_name(int32_t type) {
    return type >= 0 && type < 4 ? kTypeNames[type] : "unknown";
}

[[noreturn]] void usage_and_exit(const zv_arg_parser_t *parser) {
    const char *program = parser->argc >= 1 && parser->argv[0] ? parser->argv[0] : "";
    zv_log(ZV_ARGS_RED "[ERROR] usage : %s" ZV_ARGS_RESET, program);
    for (int32_t i = 0; i < parser->num_options; ++i) {
        const zv_arg_parser_option_t &option = parser->options[i];
        const bool optional = option.optional != 0;
        zv_log(ZV_ARGS_RED " -%s %s%s%s" ZV_ARGS_RESET, option.name, optional ? "(" : "[",
               type_name(option.type), optional ? ")" : "]");
    }
    zv_log(ZV_ARGS_RED "\n\n" ZV_ARGS_RESET);
    for (int32_t i = 0; i < parser->num_options; ++i) {
        const zv_arg_parser_option_t &option = parser->options[i];
        if (option.listed) {
            zv_log(ZV_ARGS_RED "[ERROR]  -%s : %s" ZV_ARGS_RESET "\n", option.name,
                   type_name(option.type));
        }
    }
    exit(1);
}

// Text of a key after its leading character; NULL for an empty argument.
const char *key_name(const char *key) { return key[0] ? key + 1 : nullptr; }

// The value of the first key matching the name, or NULL.
const char *find_value(const zv_arg_parser_t *parser, const char *key) {
    for (int32_t i = 1; i + 1 < parser->argc; i += 2) {
        const char *name = key_name(parser->argv[i]);
        if (name && strcmp(name, key) == 0) {
            return parser->argv[i + 1];
        }
    }
    return nullptr;
}

const char *value_or_exit(const zv_arg_parser_t *parser, const char *key) {
    const char *value = find_value(parser, key);
    if (!value) {
        zv_log(ZV_ARGS_RED "[ERROR] invalid key '%s'" ZV_ARGS_RESET "\n", key);
        usage_and_exit(parser);
    }
    return value;
}

// 1 or 0 for the four accepted words, -1 for anything else.
int32_t parse_bool(const char *value) {
    if (strcmp(value, "true") == 0 || strcmp(value, "True") == 0) return 1;
    if (strcmp(value, "false") == 0 || strcmp(value, "False") == 0) return 0;
    return -1;
}

// Only range errors fail: text that isn't a number reads as what the
// conversion takes from its start. Both read as strtof and strtol do in the
// C locale, so that a host's decimal comma can't turn 0.5 into 0.
bool parse_float(const char *value, float *out) { return zv_string_to_float(value, out) != 0; }

bool parse_long(const char *value, long *out) { return zv_string_to_long(value, out) != 0; }

bool value_fits(int32_t type, const char *value) {
    float f;
    long l;
    switch (type) {
    case ZV_ARG_PARSER_TYPE_BOOL: return parse_bool(value) >= 0;
    case ZV_ARG_PARSER_TYPE_FLOAT: return parse_float(value, &f);
    case ZV_ARG_PARSER_TYPE_INT: return parse_long(value, &l);
    case ZV_ARG_PARSER_TYPE_STRING: return true;
    default: return false;  // an unknown type can't be checked
    }
}

const zv_arg_parser_option_t *find_option(const zv_arg_parser_t *parser, const char *key) {
    if (key[0] != '-') {
        return nullptr;
    }
    for (int32_t i = 0; i < parser->num_options; ++i) {
        if (strcmp(key + 1, parser->options[i].name) == 0) {
            return &parser->options[i];
        }
    }
    return nullptr;
}

bool use_default(const zv_arg_parser_t *parser, const char *key) {
    return parser->argc <= 1 || !find_value(parser, key);
}

}  // namespace

extern "C" void zv_arg_parser_init(int32_t argc, char **argv, int32_t num_options,
                                   const zv_arg_parser_option_t *options, zv_arg_parser_t *parser) {
    parser->argc = argc;
    parser->argv = argv;
    parser->num_options = num_options;
    parser->options = options;
    // The program name and then whole pairs; a count below 1 has no name.
    if (argc < 1 || argc % 2 == 0) {
        usage_and_exit(parser);
    }
    for (int32_t i = 1; i < argc; i += 2) {
        const zv_arg_parser_option_t *option = find_option(parser, argv[i]);
        if (!option || !value_fits(option->type, argv[i + 1])) {
            usage_and_exit(parser);
        }
    }
    for (int32_t i = 0; i < num_options; ++i) {
        if (!options[i].optional && !find_value(parser, options[i].name)) {
            usage_and_exit(parser);
        }
    }
}

extern "C" int32_t zv_arg_parser_has_key(const zv_arg_parser_t *parser, const char *key) {
    return find_value(parser, key) ? 1 : 0;
}

extern "C" int32_t zv_arg_parser_get_bool_value(const zv_arg_parser_t *parser, const char *key) {
    const char *value = value_or_exit(parser, key);
    const int32_t result = parse_bool(value);
    if (result < 0) {
        zv_log(ZV_ARGS_RED "[ERROR] value is not a boolean '%s'" ZV_ARGS_RESET "\n", value);
        usage_and_exit(parser);
    }
    return result;
}

extern "C" int32_t zv_arg_parser_get_bool_value_with_default(const zv_arg_parser_t *parser,
                                                             const char *key, int32_t default_value) {
    return use_default(parser, key) ? default_value : zv_arg_parser_get_bool_value(parser, key);
}

extern "C" float zv_arg_parser_get_float_value(const zv_arg_parser_t *parser, const char *key) {
    const char *value = value_or_exit(parser, key);
    float result;
    if (!parse_float(value, &result)) {
        zv_log(ZV_ARGS_RED "[ERROR] value is not a float '%s'" ZV_ARGS_RESET "\n", value);
        usage_and_exit(parser);
    }
    return result;
}

extern "C" float zv_arg_parser_get_float_value_with_default(const zv_arg_parser_t *parser,
                                                            const char *key, float default_value) {
    return use_default(parser, key) ? default_value : zv_arg_parser_get_float_value(parser, key);
}

extern "C" int32_t zv_arg_parser_get_int_value(const zv_arg_parser_t *parser, const char *key) {
    const char *value = value_or_exit(parser, key);
    long result;
    if (!parse_long(value, &result)) {
        zv_log(ZV_ARGS_RED "[ERROR] value is not an integer '%s'" ZV_ARGS_RESET "\n", value);
        usage_and_exit(parser);
    }
    if (result > INT32_MAX) return INT32_MAX;
    if (result < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(result);
}

extern "C" int32_t zv_arg_parser_get_int_value_with_default(const zv_arg_parser_t *parser,
                                                            const char *key, int32_t default_value) {
    return use_default(parser, key) ? default_value : zv_arg_parser_get_int_value(parser, key);
}

extern "C" const char *zv_arg_parser_get_string_value(const zv_arg_parser_t *parser,
                                                      const char *key) {
    return value_or_exit(parser, key);
}

extern "C" const char *zv_arg_parser_get_string_value_with_default(const zv_arg_parser_t *parser,
                                                                   const char *key,
                                                                   const char *default_value) {
    return use_default(parser, key) ? default_value : zv_arg_parser_get_string_value(parser, key);
}
