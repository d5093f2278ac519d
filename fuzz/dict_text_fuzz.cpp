// A word list, a phone set and a pronunciation text (the input's three
// NUL-separated parts) through zv_lexicon_init and zv_dict_init; a
// dictionary that loads goes through its blob and back.
#include "fuzz_input.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> parts = zv_fuzz::split(data, size, 3);
    const auto file = [&](const char *name, const std::string &text) {
        return zv_fuzz::scratch_file(name, reinterpret_cast<const uint8_t *>(text.data()), text.size());
    };
    const std::string words = file("words.txt", parts[0]);
    const std::string phones = file("phones.txt", parts[1]);
    const std::string prons = file("prons.txt", parts[2]);
    zv_lexicon_t *lexicon = nullptr;
    if (zv_lexicon_init(words.c_str(), &lexicon) != ZV_STATUS_SUCCESS) return 0;
    zv_dict_t *dict = nullptr;
    if (zv_dict_init(phones.c_str(), prons.c_str(), lexicon, &dict) != ZV_STATUS_SUCCESS) {
        ZV_FUZZ_CHECK(dict == nullptr);
        zv_lexicon_delete(lexicon);
        return 0;
    }
    zv_fuzz::check_dict_round_trip(dict, lexicon);
    zv_dict_delete(dict);
    zv_lexicon_delete(lexicon);
    return 0;
}
