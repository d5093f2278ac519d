// Run under wine, linked against the static library the way a program that
// uses the internal interface links it (with the compile definitions that
// the zv_lumarin_static target gives its users): UTF-8 paths of non-ASCII
// names through the file functions, and a coloured printout of the log in
// the bare text of the Windows build. Standard output carries the log's text
// alone, for check.sh to compare byte for byte; findings go to standard
// error. Runs in a directory of its own.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "foundation/file.h"
#include "foundation/win32.h"
#include "pronunciation/dict.h"
#include "pronunciation/lexicon.h"
#include "zv_lumarin.h"

namespace {

int failures = 0;
const char *context = "";  // what a failed check concerns

#define CHECK(cond)                                                                            \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            fprintf(stderr, "check failed: %s (line %d) %s\n", #cond, __LINE__, context);      \
            ++failures;                                                                        \
        }                                                                                      \
    } while (0)

// The same name as UTF-8 bytes and as the UTF-16 name the file must get.
struct Name {
    const char8_t *utf8;
    const wchar_t *wide;
};

// Latin-1 letters (which the narrow code page could still spell), Cyrillic
// and CJK (which it can't), and a character outside the BMP (a surrogate pair
// in UTF-16).
const Name kNames[] = {
    {u8"d\u00e9j\u00e0-vu.bin", L"d\u00e9j\u00e0-vu.bin"},
    {u8"\u0444\u0430\u0439\u043b.bin", L"\u0444\u0430\u0439\u043b.bin"},
    {u8"\u6a21\u578b.bin", L"\u6a21\u578b.bin"},
    {u8"\U0001f399.bin", L"\U0001f399.bin"},
};

bool wide_exists(const wchar_t *name) {
    FILE *file = _wfopen(name, L"rb");
    if (file == nullptr) {
        return false;
    }
    fclose(file);
    return true;
}

void check_file_functions(const Name &name) {
    const char *path = reinterpret_cast<const char *>(name.utf8);
    context = path;
    const std::string content = std::string("contents of ") + path;
    CHECK(zv_file_save(path, static_cast<int32_t>(content.size()), content.data()) == ZV_STATUS_SUCCESS);
    // The file carries the name spelt in UTF-16, not its bytes read in the
    // narrow code page.
    CHECK(wide_exists(name.wide));
    CHECK(zv_file_exists(path) == 1);
    int32_t size = 0;
    void *data = nullptr;
    CHECK(zv_file_load(path, &size, &data) == ZV_STATUS_SUCCESS);
    CHECK(data != nullptr && std::string(static_cast<const char *>(data), static_cast<size_t>(size)) == content);
    free(data);
    CHECK(zv_file_delete(path) == ZV_STATUS_SUCCESS);
    CHECK(!wide_exists(name.wide));
    CHECK(zv_file_exists(path) == 0);
    CHECK(zv_file_delete(path) == ZV_STATUS_IO_ERROR);
    CHECK(zv_remove(path) != 0);
}

bool save_text(const char *path, const char *text) {
    return zv_file_save(path, static_cast<int32_t>(strlen(text)), text) == ZV_STATUS_SUCCESS;
}

// The dictionary printout is green on Linux and Macs, bare text here.
void print_dictionary() {
    zv_lexicon_t *lexicon = nullptr;
    zv_dict_t *dict = nullptr;
    context = "(dictionary)";
    const bool written = save_text("words.txt", "HELLO\nWORLD\n") && save_text("phones.txt", "HH\nAH\nL\nOW\nW\nER\nD\n") &&
                         save_text("prons.txt", "HELLO\tHH AH L OW\nWORLD\tW ER L D\n");
    CHECK(written);
    CHECK(zv_lexicon_init("words.txt", &lexicon) == ZV_STATUS_SUCCESS);
    CHECK(zv_dict_init("phones.txt", "prons.txt", lexicon, &dict) == ZV_STATUS_SUCCESS);
    if (dict != nullptr) {
        zv_dict_print(dict);
    }
    fflush(stdout);
    zv_dict_delete(dict);
    zv_lexicon_delete(lexicon);
}

}  // namespace

int main() {
    // A public function, bound to the static library rather than to imports.
    CHECK(strcmp(zv_status_to_string(ZV_STATUS_IO_ERROR), "IO_ERROR") == 0);
    for (const Name &name : kNames) {
        check_file_functions(name);
    }
    print_dictionary();
    return failures == 0 ? 0 : 1;
}
