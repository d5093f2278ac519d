// Command-line parser for the library's tools: arguments come in pairs of a
// key ("-name") and a value, each key declared as an option with a type.
// Every error prints the usage through the log and ends the process with exit
// status 1; nothing returns an error. Numbers are read as strtof and strtol
// read them in the C locale, whatever locale the tool has set.
#ifndef ZV_FOUNDATION_ARGS_H
#define ZV_FOUNDATION_ARGS_H

#include <stdint.h>

#include "zv_lumarin.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZV_ARG_PARSER_TYPE_BOOL = 0,
    ZV_ARG_PARSER_TYPE_FLOAT = 1,
    ZV_ARG_PARSER_TYPE_INT = 2,
    ZV_ARG_PARSER_TYPE_STRING = 3,
};

typedef struct {
    int32_t type;      // ZV_ARG_PARSER_TYPE_*
    uint8_t optional;  // non-zero: may be absent
    const char *name;  // the key without its '-'
    uint64_t listed;   // non-zero: listed again at the end of the usage text
} zv_arg_parser_option_t;

// Filled by zv_arg_parser_init; the argument vector and the option array are
// kept by pointer and must outlive the parser.
typedef struct {
    int32_t argc;
    char **argv;
    int32_t num_options;
    const zv_arg_parser_option_t *options;
} zv_arg_parser_t;

// Returns only when the command line is valid.
void zv_arg_parser_init(int32_t argc, char **argv, int32_t num_options,
                        const zv_arg_parser_option_t *options, zv_arg_parser_t *parser);
// 1 if the key was given, else 0.
int32_t zv_arg_parser_has_key(const zv_arg_parser_t *parser, const char *key);

// The plain getters end the process when the key wasn't given or its value
// doesn't convert; those with a default return it when the key wasn't given.
int32_t zv_arg_parser_get_bool_value(const zv_arg_parser_t *parser, const char *key);
int32_t zv_arg_parser_get_bool_value_with_default(const zv_arg_parser_t *parser, const char *key,
                                                  int32_t default_value);
float zv_arg_parser_get_float_value(const zv_arg_parser_t *parser, const char *key);
float zv_arg_parser_get_float_value_with_default(const zv_arg_parser_t *parser, const char *key,
                                                 float default_value);
// strtol in base 10, clamped to the int32 range.
int32_t zv_arg_parser_get_int_value(const zv_arg_parser_t *parser, const char *key);
int32_t zv_arg_parser_get_int_value_with_default(const zv_arg_parser_t *parser, const char *key,
                                                 int32_t default_value);
// The value argument itself, not copied.
const char *zv_arg_parser_get_string_value(const zv_arg_parser_t *parser, const char *key);
const char *zv_arg_parser_get_string_value_with_default(const zv_arg_parser_t *parser,
                                                        const char *key,
                                                        const char *default_value);

#ifdef __cplusplus
}
#endif

#endif
