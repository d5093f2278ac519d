/*
 * libzv_lumarin: phrase search in recorded speech.
 *
 * A host creates an engine from a model file, indexes 16 kHz mono 16-bit PCM
 * (or an audio file) into a matrix of phoneme posteriors, and later searches
 * that index for typed phrases. The header is C89 (it needs <stdint.h>) and
 * C++.
 *
 * Statuses and outputs. Every function that can fail returns a zv_status_t
 * and delivers its results through pointer arguments. Each function below
 * lists the statuses it gives and what its outputs hold after a failure; a
 * NULL pointer argument is INVALID_ARGUMENT with nothing written. No
 * function prints, logs or writes a file.
 *
 * Memory. An index and a match array are malloc blocks that belong to the
 * caller: release them with free() (the library has no function for it).
 * Engines and downsamplers are released with their _delete function, which
 * ignores NULL. Texts returned (versions, status names) are static: never
 * free them.
 *
 * The index: int32 values in the host's byte order (little-endian on every
 * supported platform), no header, one row of W = P + 1 values per 512
 * samples (32 ms at 16 kHz): row r covers samples 512r .. 512r + 511, and
 * samples after the last whole row are dropped. P is the phoneme count of
 * the model's language (39 English, 52 German, 36 French, 32 Spanish).
 * Column 0 is the blank and column p phoneme p; each value is a Q31
 * probability (2147483647 = 1.0), and a row sums to about 1.0. Its size in
 * bytes is rows x W x 4. A host may store it as it likes; it is meaningful
 * only to an engine made from the same model file. The search checks its
 * size alone and trusts its values: an index from another model (whose size
 * happens to be whole rows of this one's W) or one altered since gives
 * meaningless matches, or none, not an error.
 *
 * Phrases: a NUL-terminated byte string of words separated by spaces (0x20
 * only: a tab or any other byte belongs to a word; leading, trailing and
 * repeated spaces are ignored). Each word is upper-cased (ASCII a-z only,
 * whatever the host's locale) and looked up in the model's lexicon, whose words
 * may hold any bytes. A word the lexicon doesn't hold is pronounced from its
 * spelling, which must use only the letters A-Z (either case) and the
 * apostrophe: "hello, world!", "room 101" and "caf\xC3\xA9" are refused with
 * INVALID_ARGUMENT unless the lexicon holds "HELLO,", "WORLD!", "101" and
 * the UTF-8 word; write "hello world", "room one oh one", "cafe".
 *
 * Limits: sample counts and sizes are int32_t. One call takes at most
 * INT32_MAX = 2147483647 samples, about 37.3 hours at 16 kHz; the index of
 * that many is at most 889,192,236 bytes (German, the widest rows). An audio
 * file may hold at most INT32_MAX samples per channel at its own rate (about
 * 12.4 hours at 48 kHz); a longer one is refused with INVALID_ARGUMENT.
 *
 * Cost: indexing holds, for each row of 512 samples, 160 bytes of features,
 * the index's W x 4 bytes and the outputs of up to two of the classifier's
 * levels at once (2 bytes a unit each: 1,024 bytes for two of 256 units);
 * zv_lumarin_index_file holds the whole recording at 16 kHz besides (1,024
 * bytes a row). With an English model of three 256-unit levels a file takes
 * about 2,368 bytes a row: 266 MB an hour of audio, 9.25 GiB at INT32_MAX
 * samples (1,344 bytes a row for PCM the caller holds). A search takes time
 * in proportion to the index's rows times the phrase's phonemes (a new
 * phrase also the pronunciation of its words); no limit is set on a phrase's
 * length, and a long one costs accordingly.
 *
 * Threads: the library starts no threads and takes no locks. An engine and a
 * downsampler hold mutable state (the phrase cache, filter memory): use each
 * from one thread at a time. Separate engines and downsamplers may be used
 * from separate threads at once; they share nothing but the log switch.
 */
#ifndef ZV_LUMARIN_H
#define ZV_LUMARIN_H

#include <stdint.h>

/* Windows: a program that links the static library defines ZV_STATIC (the
 * CMake target zv_lumarin_static sets it for its users), so that its calls
 * bind directly instead of through the DLL's import table. */
#if defined(_WIN32)
#if defined(ZV_STATIC)
#define ZV_API
#elif defined(ZV_BUILDING_LIBRARY)
#define ZV_API __declspec(dllexport)
#else
#define ZV_API __declspec(dllimport)
#endif
#else
#define ZV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Status of every fallible operation:
 *   SUCCESS           the outputs hold the result.
 *   OUT_OF_MEMORY     an allocation failed.
 *   IO_ERROR          a file could not be opened, read or sought.
 *   INVALID_ARGUMENT  a bad argument, or an input file this library can't take.
 *   INVALID_STATE     a decoding library reported an error.
 *   STOP_ITERATION, KEY_ERROR, RUNTIME_ERROR: internal; no function declared
 *                     here returns them.
 */
typedef enum {
    ZV_STATUS_SUCCESS = 0,
    ZV_STATUS_OUT_OF_MEMORY = 1,
    ZV_STATUS_IO_ERROR = 2,
    ZV_STATUS_INVALID_ARGUMENT = 3,
    ZV_STATUS_STOP_ITERATION = 4,
    ZV_STATUS_KEY_ERROR = 5,
    ZV_STATUS_INVALID_STATE = 6,
    ZV_STATUS_RUNTIME_ERROR = 7
} zv_status_enum_t;

typedef int32_t zv_status_t;

/* The name of a status: "SUCCESS", "OUT_OF_MEMORY", ... (the constant
 * without ZV_STATUS_). NULL for any value outside 0..7, negative ones too. */
ZV_API const char *zv_status_to_string(zv_status_t status);

/* 16000: the rate, in Hz, of all PCM the engine takes. */
ZV_API int32_t zv_sample_rate(void);

/* The process-wide log switch, on from load. Nothing declared in this
 * header writes to the log, whatever the switch: it governs the diagnostics
 * of the library's internal toolkit. It is not synchronised between
 * threads. */
ZV_API void zv_log_enable(void);
ZV_API void zv_log_disable(void);

/* ---- Engine ---- */

typedef struct zv_lumarin zv_lumarin_t;

/*
 * One match, in seconds from the start of the indexed audio. For a phrase
 * found in rows a to i (its likeliest path enters the phrase at row a and
 * ends in row i), end_sec = ((i + 8) x 512) / 16000 and start_sec = end_sec
 * - ((i - a + 10) x 512) / 16000 in single precision, that is (i + 8) x
 * 0.032 and (a - 2) x 0.032: rows 20 to 23 give 0.576 to 0.992. The span
 * starts 2 rows (0.064 s) before the phrase's first row and ends 7 rows
 * (0.224 s) after its last, so start_sec may be as low as -0.064 and end_sec
 * may lie past the end of the audio. probability is in (0, 1]: 1.0 when the
 * phrase's probability per phoneme is 10^-0.25 (about 0.56) or more, falling
 * linearly in its log10 to 0 at 0.1, below which a row is no match.
 */
typedef struct {
    float start_sec;
    float end_sec;
    float probability;
} zv_lumarin_match_t;

/*
 * Creates an engine from a model file.
 *   model_path  the model file's path, as fopen takes it (UTF-8 on Windows).
 *   engine      receives the new engine.
 * SUCCESS           *engine is the engine; release it with zv_lumarin_delete.
 * INVALID_ARGUMENT  model_path or engine is NULL (nothing is written); or the
 *                   file is no model this version reads: network blocks not
 *                   named "lumarin" "1.1.0" and "marbo" "1.0.0", a language
 *                   without phonemes, a malformed or cut lexicon or
 *                   dictionary, or parts that don't fit together.
 * IO_ERROR          the file can't be opened, read or sought, or ends inside
 *                   one of its two network blocks; also when the buffer for
 *                   the lexicon and dictionary can't be allocated.
 * OUT_OF_MEMORY     any other allocation failed (an open that fails for
 *                   want of memory too).
 * After any other failure *engine is NULL; nothing is left open or allocated.
 */
ZV_API zv_status_t zv_lumarin_init(const char *model_path, zv_lumarin_t **engine);

/* Releases an engine and everything it holds; NULL is ignored. Indexes and
 * match arrays it handed out stay the caller's. */
ZV_API void zv_lumarin_delete(zv_lumarin_t *engine);

/* "1.1.0"; needs no engine. */
ZV_API const char *zv_lumarin_version(void);

/*
 * Indexes 16 kHz mono int16 PCM.
 *   engine       an engine from zv_lumarin_init.
 *   pcm          num_samples samples; only read.
 *   num_samples  1 .. INT32_MAX.
 *   index        receives the new index (see "The index" above).
 *   index_size   receives its size in bytes: (num_samples / 512) x W x 4.
 * SUCCESS           *index is a new malloc block (free it), *index_size its
 *                   size. Fewer than 512 samples give 0 rows: *index_size
 *                   is 0, the block must still be freed, and
 *                   zv_lumarin_search refuses such an index.
 * INVALID_ARGUMENT  a NULL pointer, or num_samples < 1: nothing is written.
 * OUT_OF_MEMORY     an allocation failed: *index is NULL, *index_size as it
 *                   was.
 * The same PCM always gives the same index: nothing carries over between
 * calls.
 */
ZV_API zv_status_t zv_lumarin_index(zv_lumarin_t *engine, const int16_t *pcm, int32_t num_samples,
                                    int32_t **index, int32_t *index_size);

/*
 * Indexes an audio file: WAV, FLAC, MP3, Ogg Opus, Ogg Vorbis or WebM (Opus
 * or Vorbis), recognised from its first 35 bytes, at 16000 Hz or above. The
 * index is that of the file's 16 kHz mono samples, exactly as
 * zv_lumarin_index gives it for them; those samples are:
 *   - Values. WAV and FLAC as libsndfile decodes them: integer PCM of 8 to
 *     32 bits is brought to 16 (8 bits shifted up; wider samples keep their
 *     top 16 bits, rounding down), floating point is scaled by 32768,
 *     rounded to nearest and clamped (NaN gives 0), and A-law, mu-law and
 *     ADPCM are decoded to 16 bits. MP3 and Opus as libmpg123 and libopus
 *     decode them to 16 bits. Vorbis: the floats scaled by 32767, rounded
 *     half away from zero and clamped.
 *   - Channels. A stereo pair of 16-bit samples becomes (L + R) / 2,
 *     truncated toward zero; Vorbis mixes the floats, (L + R) x 0.5, before
 *     scaling them. A WebM Vorbis track of more channels mixes its first two.
 *   - Rate. At R Hz other than 16000, with r = R / 16000 in single
 *     precision, S samples give (int)((float)S / r) - 2 samples at 16 kHz
 *     (or fewer, if the downsampler can give no more). They come from a
 *     downsampler of order 50 (see below) fed in pieces of
 *     k = zv_downsampler_convert_num_samples_to_input_sample_rate(ds, m)
 *     source samples, m the 16 kHz samples still wanted, k at least 1 and at
 *     most 1,024. Its values may depend on how the stream is split, so a
 *     caller reproduces this index only by feeding it the same way.
 *   engine      an engine from zv_lumarin_init.
 *   path        the audio file's path.
 *   index, index_size  as for zv_lumarin_index.
 * SUCCESS           as for zv_lumarin_index; a file of under 512 samples at
 *                   16 kHz gives 0 rows.
 * INVALID_ARGUMENT  a NULL pointer (nothing is written); a format not
 *                   recognised; a file its reader doesn't take (malformed,
 *                   more than two channels in most formats, a rate below
 *                   16000 Hz or above 31,152,001 Hz, where r passes 1947 in
 *                   single precision, more than INT32_MAX samples per
 *                   channel, no sample at 16 kHz); a file without audio: a
 *                   WAV file whose data chunk is empty, a FLAC file of no
 *                   frames, an Ogg Opus or WebM file of headers only, a WebM
 *                   file without an Opus or Vorbis track.
 * IO_ERROR          the file can't be opened or holds under 35 bytes, or its
 *                   audio can't be read to the end; an MP3 file without a
 *                   frame that decodes (an ID3 tag alone, for one).
 * INVALID_STATE     the decoding library reported an error; an Ogg Vorbis
 *                   file of headers only (its decoder was never set up).
 * OUT_OF_MEMORY     an allocation failed, a decoding library's own too.
 * After any other failure *index is NULL and *index_size as it was. The
 * whole recording is held in memory at 16 kHz while it is indexed (see
 * "Cost" above).
 */
ZV_API zv_status_t zv_lumarin_index_file(zv_lumarin_t *engine, const char *path, int32_t **index,
                                         int32_t *index_size);

/*
 * Finds every place in an index where a phrase was spoken.
 *   engine       an engine made from the model file that made the index.
 *   index        the index; only read.
 *   index_size   its size in bytes, 1 or more: whole int32 values (up to 3
 *                trailing bytes are ignored) that form whole rows of W. So
 *                1 to 3 bytes are 0 rows, searched with SUCCESS and no
 *                match, while 0 bytes are refused.
 *   phrase       the phrase (see "Phrases" above).
 *   matches      receives the matches, in time order.
 *   num_matches  receives their count.
 * SUCCESS           *matches is a new malloc block of *num_matches records
 *                   (free it), or NULL with *num_matches 0 when there is none.
 *                   A phrase of e phonemes is found where it lasts at most
 *                   5 x e - 1 rows (about 0.16 s a phoneme); overlapping
 *                   hits are merged into the likeliest of them (the later
 *                   one on a tie).
 * INVALID_ARGUMENT  a NULL pointer; index_size below 1 (so the 0-byte index
 *                   of a clip under 512 samples) or not whole rows; an empty
 *                   phrase or one of spaces only; a word outside the lexicon
 *                   with a byte other than A-Z, a-z and the apostrophe; a
 *                   phrase the model can't pronounce (a lexicon word without
 *                   a pronunciation, nothing but empty ones, or sounds
 *                   outside the model's language).
 * OUT_OF_MEMORY     an allocation failed.
 * After a failure nothing is handed out, but the outputs depend on when it
 * came: a refused argument or phrase, or an allocation failure while the
 * phrase's pronunciation is built, leaves *matches and *num_matches as they
 * were; an allocation failure while scoring sets them to NULL and 0. Set
 * matches to NULL before the call, and free(matches) is right either way.
 * The engine keeps the pronunciation of the last phrase: searching the same
 * text (byte for byte) again skips that work.
 */
ZV_API zv_status_t zv_lumarin_search(zv_lumarin_t *engine, const int32_t *index, int32_t index_size,
                                     const char *phrase, zv_lumarin_match_t **matches,
                                     int32_t *num_matches);

/*
 * ---- Downsampler ----
 *
 * Reduces the rate of a stream of mono int16 samples by the ratio
 * r = input rate / output rate (single precision, 1 or more): a windowed-sinc
 * low-pass filter of 2 x order taps, then linear interpolation. The stream
 * may come in blocks of any size: the filter memory and the position carry
 * over from call to call.
 *
 * Timing: input samples count from 0 after init or reset, outputs from 1.
 * Output K stands at input position K x r and is written by the call that
 * brings input sample ceil(K x r), the (ceil(K x r) + 1)-th: at 48 to
 * 16 kHz (r = 3) output 1 comes with the 4th sample, so 3 samples give none.
 * After S samples the outputs K with ceil(K x r) <= S - 1 are out, however
 * the stream was split; a call may write nothing.
 *
 * Splits: how many samples come out doesn't depend on how the stream is
 * split into calls, but their values can, where r isn't a whole number. The
 * interpolation point is taken in single precision from the start of each
 * pass (of at most 2048 samples), so between two splits it may move by up
 * to 2^-13 of a sample: an output moves by that share of the step between
 * its two filtered samples, plus one unit where it is truncated, a few units
 * at most (8 at full scale). At whole ratios (32, 48 or 96 kHz to 16 kHz)
 * every output is a filtered sample, whatever the split.
 * zv_lumarin_index_file's split is given with it.
 *
 * Sizing the output:
 *   - process never writes more samples than it is given (at equal rates it
 *     copies them all);
 *   - given at most zv_downsampler_convert_num_samples_to_input_sample_rate(n)
 *     samples, or 1 sample when that is 0, it writes at most n (n >= 1). To
 *     fill a buffer of n samples, written <= n (feeding fewer is fine):
 *         k = zv_downsampler_convert_num_samples_to_input_sample_rate(ds, n);
 *         written = zv_downsampler_process(ds, in, k < 1 ? 1 : k, out);
 *   - zv_downsampler_convert_num_samples_to_output_sample_rate is only an
 *     estimate, which process may exceed: never size a buffer with it.
 */

typedef struct zv_downsampler zv_downsampler_t;

/*
 * Makes a downsampler.
 *   input_sample_rate, output_sample_rate  in Hz; the input rate may not be
 *                                          below the output rate.
 *   order        half the filter's length; the audio file reader uses 50.
 *   downsampler  receives the new downsampler.
 * SUCCESS           *downsampler is new; release it with zv_downsampler_delete.
 * INVALID_ARGUMENT  downsampler is NULL (nothing is written); an output rate
 *                   below 1 or an input rate below it; order below 1; or
 *                   2 x order + ceil(r) above 2047, r in single precision
 *                   (order 50 takes ratios up to 1947: into 16000 Hz, input
 *                   rates up to 31,152,001 Hz, whose r rounds to 1947).
 * OUT_OF_MEMORY     an allocation failed.
 * After any other failure *downsampler is NULL.
 */
ZV_API zv_status_t zv_downsampler_init(int32_t input_sample_rate, int32_t output_sample_rate,
                                       int32_t order, zv_downsampler_t **downsampler);

/*
 * Takes the next num_samples samples of the stream from input (only read)
 * and writes the output samples they complete to output, which the caller
 * sizes (see "Sizing the output" above). Returns how many it wrote, 0 to
 * num_samples; 0, with nothing changed, for num_samples below 1 or a NULL
 * pointer. Never fails and allocates nothing.
 */
ZV_API int32_t zv_downsampler_process(zv_downsampler_t *downsampler, const int16_t *input,
                                      int32_t num_samples, int16_t *output);

/* Back to the start of a stream, as a new downsampler; NULL is ignored. */
ZV_API void zv_downsampler_reset(zv_downsampler_t *downsampler);

/* Releases a downsampler; NULL is ignored. */
ZV_API void zv_downsampler_delete(zv_downsampler_t *downsampler);

/* "1.0.0". */
ZV_API const char *zv_downsampler_version(void);

/* The most samples process may be given now for it to write at most
 * num_samples: ceil(num_samples x r) (in single precision, never above the
 * exact product) less the samples held over from earlier calls (none after
 * init and reset). It may be 0. Reads the state and changes nothing; 0 for a
 * NULL downsampler. */
ZV_API int32_t zv_downsampler_convert_num_samples_to_input_sample_rate(zv_downsampler_t *downsampler,
                                                                       int32_t num_samples);

/* An estimate of what process writes for num_samples samples:
 * (int)((num_samples + held over) / r) - 1, in single precision. Not a
 * bound: process may write more, as at equal rates, where it copies all
 * num_samples. Changes nothing; 0 for a NULL downsampler. */
ZV_API int32_t zv_downsampler_convert_num_samples_to_output_sample_rate(zv_downsampler_t *downsampler,
                                                                        int32_t num_samples);

#ifdef __cplusplus
}
#endif

#endif /* ZV_LUMARIN_H */
