#include "foundation/status.h"

#include <stdlib.h>

namespace {

constexpr const char *kStatusNames[] = {
    "SUCCESS",     "OUT_OF_MEMORY",  "IO_ERROR",      "INVALID_ARGUMENT",
    "STOP_ITERATION", "KEY_ERROR", "INVALID_STATE", "RUNTIME_ERROR",
};

constexpr uint64_t kMemoryMark = 666;

}  // namespace

extern "C" const char *zv_status_to_string(zv_status_t status) {
    // Compared unsigned, so every negative value falls outside the table too.
    const uint32_t index = static_cast<uint32_t>(status);
    if (index >= sizeof(kStatusNames) / sizeof(kStatusNames[0])) {
        return nullptr;
    }
    return kStatusNames[index];
}

extern "C" int32_t zv_sample_rate(void) { return 16000; }

extern "C" zv_status_t zv_memory_init(zv_memory_t *memory) {
    *memory = kMemoryMark;
    return ZV_STATUS_SUCCESS;
}

extern "C" void *zv_memory_allocate(zv_memory_t, uint64_t size, uint8_t zeroed) {
    if (size > SIZE_MAX) {
        return nullptr;
    }
    return zeroed ? calloc(static_cast<size_t>(size), 1) : malloc(static_cast<size_t>(size));
}

extern "C" void zv_memory_free(zv_memory_t, void *block) { free(block); }
