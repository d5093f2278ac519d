// Base64 text through the decoder; decoded bytes encode to a text that
// decodes to them again (the empty text, of length 0, is refused by design).
#include <stdlib.h>
#include <string.h>

#include "foundation/base64.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t *bytes = nullptr;
    uint64_t num_bytes = 0;
    if (zv_base64_decode(reinterpret_cast<const char *>(data), size, &bytes, &num_bytes) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(bytes == nullptr);
        return 0;
    }
    char *text = nullptr;
    uint64_t length = 0;
    ZV_FUZZ_CHECK(zv_base64_encode(bytes, num_bytes, &text, &length) == ZV_STATUS_SUCCESS);
    if (num_bytes > 0) {
        uint8_t *again = nullptr;
        uint64_t num_again = 0;
        ZV_FUZZ_CHECK(zv_base64_decode(text, length, &again, &num_again) == ZV_STATUS_SUCCESS);
        ZV_FUZZ_CHECK(num_again == num_bytes && memcmp(again, bytes, num_bytes) == 0);
        free(again);
    }
    free(text);
    free(bytes);
    return 0;
}
