/* Run under wine against the DLL and its import library alone, as a host
 * would use it: the log (an export of the DLL beside the public interface)
 * sets the console's output code page to UTF-8 before every message it
 * prints, and the engine, created from a model file of a non-ASCII UTF-8
 * name, writes the index and matches of the sample recording for comparison
 * with the Linux build. Standard output carries the log's text alone, for
 * check.sh to compare byte for byte; findings go to standard error.
 *
 * Runs in its own directory, which check.sh has filled with the model (under
 * kModelName) and sample.pcm; needs a console (check.sh gives it a
 * pseudo-terminal). */
#include <stdio.h>

#include "foundation/log.h"
#include "foundation/win32.h"
#include "sample_run.h"
#include "zv_lumarin.h"

__declspec(dllimport) unsigned int __stdcall GetConsoleOutputCP(void);

#define ZV_CP_OEM_US 437u

static const char kModelName[] = "mod\xc3\xa8le-\xe6\xa8\xa1\xe5\x9e\x8b.bin"; /* "modèle-模型.bin" */

static int failures = 0;

#define CHECK(cond)                                                           \
    do {                                                                      \
        if (!(cond)) {                                                        \
            fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            ++failures;                                                       \
        }                                                                     \
    } while (0)

int main(void) {
    /* The host's console starts on another code page; each printed message
     * must bring it to UTF-8 again, and a message the switch holds back must
     * leave it alone. */
    if (!SetConsoleOutputCP(ZV_CP_OEM_US) || GetConsoleOutputCP() != ZV_CP_OEM_US) {
        fprintf(stderr, "no console to check the code page on (run it on a pseudo-terminal)\n");
        return 1;
    }
    zv_log("plain text\n");
    CHECK(GetConsoleOutputCP() == ZV_WIN32_CP_UTF8);
    SetConsoleOutputCP(ZV_CP_OEM_US);
    zv_log("%s %d\n", "UTF-8 \xca\x83 \xc5\x8b \xe6\xa8\xa1\xe5\x9e\x8b", 2); /* "ʃ ŋ 模型" */
    CHECK(GetConsoleOutputCP() == ZV_WIN32_CP_UTF8);
    SetConsoleOutputCP(ZV_CP_OEM_US);
    zv_log_disable();
    zv_log("held back\n");
    CHECK(GetConsoleOutputCP() == ZV_CP_OEM_US);
    zv_log_enable();
    zv_log("no newline, ");
    zv_log("continued\n");
    fflush(stdout);

    CHECK(zv_sample_run(kModelName, "sample.pcm", "windows.index", "windows.matches") == 0);
    return failures == 0 ? 0 : 1;
}
