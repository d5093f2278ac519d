// A word-list text through zv_lexicon_init; a lexicon that loads goes
// through its blob and back unchanged.
#include "fuzz_input.h"
#include "pronunciation/lexicon.h"
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = zv_fuzz::scratch_file("words.txt", data, size);
    zv_lexicon_t *lexicon = nullptr;
    if (zv_lexicon_init(path.c_str(), &lexicon) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(lexicon == nullptr);
        return 0;
    }
    zv_fuzz::check_lexicon_round_trip(lexicon);
    zv_lexicon_delete(lexicon);
    return 0;
}
