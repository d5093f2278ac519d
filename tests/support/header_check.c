/* Compiled as C only: the public header must stand on its own in C. */
#include "zv_lumarin.h"

int zv_header_check_c(void) { return (int)sizeof(zv_lumarin_match_t); }
