#include "io/webm_demuxer.h"

#include <webm/callback.h>
#include <webm/reader.h>
#include <webm/status.h>
#include <webm/webm_parser.h>

#include <math.h>
#include <sys/types.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "foundation/file.h"

struct zv_webm_packet {
    uint32_t track = 0;
    std::vector<uint8_t> bytes;  // the frames one after the other
    std::vector<size_t> ends;    // where each frame ends in bytes
};

namespace {

constexpr uint64_t kNowhere = std::numeric_limits<uint64_t>::max();
// Statuses of our own (positive, as the parser asks): a frame that claims
// more bytes than the file holds, or a failed read; and memory that ran out
// in one of the callbacks below, which let no exception into the parser.
constexpr int32_t kBadInput = 1;
constexpr int32_t kOutOfMemory = 2;

// Elements whose whole value the parser holds (strings and binaries): it
// makes room for all of them as soon as it begins one.
bool held_whole(webm::Id id) {
    switch (id) {
        case webm::Id::kDocType: case webm::Id::kSeekId: case webm::Id::kTitle: case webm::Id::kMuxingApp:
        case webm::Id::kWritingApp: case webm::Id::kBlockVirtual: case webm::Id::kBlockAdditional:
        case webm::Id::kName: case webm::Id::kLanguage: case webm::Id::kCodecId: case webm::Id::kCodecPrivate:
        case webm::Id::kCodecName: case webm::Id::kProjectionPrivate: case webm::Id::kContentEncKeyId:
        case webm::Id::kChapterStringUid: case webm::Id::kChapString: case webm::Id::kChapLanguage:
        case webm::Id::kChapCountry: case webm::Id::kTargetType: case webm::Id::kTagName:
        case webm::Id::kTagLanguage: case webm::Id::kTagString: case webm::Id::kTagBinary:
            return true;
        default:
            return false;
    }
}

struct Track {
    uint64_t number = 0;
    webm::TrackType type = webm::TrackType::kVideo;
    std::string codec;
    bool has_private = false;
    std::vector<uint8_t> codec_private;
    bool has_audio = false;
    double rate = 8000.0;
    uint64_t channels = 1;
};

}  // namespace

struct zv_webm_demuxer final : public webm::Callback, public webm::Reader {
    FILE *file = nullptr;
    uint64_t position = 0;
    uint64_t size = kNowhere;  // bytes in the file, when it can tell
    webm::WebmParser parser;
    std::vector<Track> tracks;
    bool headers_done = false;    // the first cluster was reached
    uint64_t paused_at = kNowhere;  // the element whose callback paused the parser
    std::unique_ptr<zv_webm_packet> building;
    std::unique_ptr<zv_webm_packet> ready;
    int32_t end_result = 1;  // 1 while blocks may follow, else what every further read gives

    // ---- Reader over the file ----
    webm::Status Read(std::size_t num_to_read, std::uint8_t *buffer, std::uint64_t *num_actually_read) override {
        const size_t got = fread(buffer, 1, num_to_read, file);
        position += got;
        *num_actually_read = got;
        if (got == num_to_read) return webm::Status(webm::Status::kOkCompleted);
        if (got > 0) return webm::Status(webm::Status::kOkPartial);
        return webm::Status(feof(file) ? webm::Status::kEndOfFile : kBadInput);
    }

    webm::Status Skip(std::uint64_t num_to_skip, std::uint64_t *num_actually_skipped) override {
        *num_actually_skipped = 0;
        const uint64_t left = size == kNowhere ? num_to_skip : (size > position ? size - position : 0);
        uint64_t k = num_to_skip < left ? num_to_skip : left;
        if (k > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            k = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
        }
        if (k == 0) return webm::Status(webm::Status::kEndOfFile);
        if (zv_file_seek(file, static_cast<int64_t>(k), SEEK_CUR) != 0) return webm::Status(kBadInput);
        position += k;
        *num_actually_skipped = k;
        return webm::Status(k == num_to_skip ? webm::Status::kOkCompleted : webm::Status::kOkPartial);
    }

    std::uint64_t Position() const override { return position; }

    // ---- Parser events ----
    webm::Status OnElementBegin(const webm::ElementMetadata &metadata, webm::Action *action) override {
        *action = webm::Action::kRead;
        // A value that claims more bytes than the file has left ends the
        // file here, as reading it would, before the parser makes room for
        // it: a few bytes can't ask for gigabytes.
        if (held_whole(metadata.id) && size != kNowhere && metadata.size != webm::kUnknownElementSize &&
            metadata.header_size != webm::kUnknownHeaderSize) {
            const uint64_t body = metadata.position + metadata.header_size;
            if (body > size || metadata.size > size - body) return webm::Status(webm::Status::kEndOfFile);
        }
        if (metadata.id == webm::Id::kCluster && !headers_done) {
            headers_done = true;  // stop here: the tracks are known
            paused_at = metadata.position;
            return webm::Status(webm::Status::kWouldBlock);
        }
        if (metadata.id == webm::Id::kCluster && metadata.position == paused_at) {
            paused_at = kNowhere;
        }
        return webm::Status(webm::Status::kOkCompleted);
    }

    webm::Status OnTrackEntry(const webm::ElementMetadata &, const webm::TrackEntry &entry) override {
        if (headers_done) return webm::Status(webm::Status::kOkCompleted);
        try {
            Track t;
            t.number = entry.track_number.value();
            t.type = entry.track_type.value();
            t.codec = entry.codec_id.value();
            t.has_private = entry.codec_private.is_present();
            t.codec_private = entry.codec_private.value();
            t.has_audio = entry.audio.is_present();
            t.rate = entry.audio.value().sampling_frequency.value();
            t.channels = entry.audio.value().channels.value();
            tracks.push_back(std::move(t));
        } catch (const std::bad_alloc &) {
            return webm::Status(kOutOfMemory);
        }
        return webm::Status(webm::Status::kOkCompleted);
    }

    webm::Status begin_block(const webm::Block &block, webm::Action *action) {
        *action = webm::Action::kSkip;
        for (size_t i = 0; i < tracks.size(); ++i) {
            if (tracks[i].number == block.track_number) {
                building.reset(new (std::nothrow) zv_webm_packet());
                if (!building) return webm::Status(kOutOfMemory);
                building->track = static_cast<uint32_t>(i);
                *action = webm::Action::kRead;
                break;
            }
        }
        return webm::Status(webm::Status::kOkCompleted);
    }

    webm::Status end_block(const webm::ElementMetadata &metadata) {
        if (metadata.position == paused_at) {  // resumed after the pause below
            paused_at = kNowhere;
            return webm::Status(webm::Status::kOkCompleted);
        }
        ready = std::move(building);
        paused_at = metadata.position;
        return webm::Status(webm::Status::kWouldBlock);
    }

    webm::Status OnSimpleBlockBegin(const webm::ElementMetadata &, const webm::SimpleBlock &block,
                                    webm::Action *action) override {
        return begin_block(block, action);
    }
    webm::Status OnSimpleBlockEnd(const webm::ElementMetadata &metadata, const webm::SimpleBlock &) override {
        return end_block(metadata);
    }
    webm::Status OnBlockBegin(const webm::ElementMetadata &, const webm::Block &block, webm::Action *action) override {
        return begin_block(block, action);
    }
    webm::Status OnBlockEnd(const webm::ElementMetadata &metadata, const webm::Block &) override {
        return end_block(metadata);
    }

    webm::Status OnFrame(const webm::FrameMetadata &, webm::Reader *reader, std::uint64_t *bytes_remaining) override {
        if (!building) return webm::Callback::Skip(reader, bytes_remaining);
        // A frame can't hold more bytes than the file has left.
        if (size != kNowhere && *bytes_remaining > (size > position ? size - position : 0)) {
            return webm::Status(kBadInput);
        }
        const size_t start = building->bytes.size();
        const size_t end = start + static_cast<size_t>(*bytes_remaining);
        try {
            building->bytes.resize(end);
            building->ends.push_back(end);  // a frame cut short fails the whole block
        } catch (const std::bad_alloc &) {
            return webm::Status(kOutOfMemory);
        }
        size_t at = start;
        while (*bytes_remaining > 0) {
            std::uint64_t got = 0;
            const webm::Status s = reader->Read(static_cast<size_t>(*bytes_remaining), building->bytes.data() + at, &got);
            at += static_cast<size_t>(got);
            *bytes_remaining -= got;
            if (!s.ok()) return s;
            if (got == 0) return webm::Status(kBadInput);
        }
        return webm::Status(webm::Status::kOkCompleted);
    }

    // Feeds the parser until it pauses at the next block end (1), or ends.
    int32_t advance() {
        if (end_result != 1) return end_result;
        for (;;) {
            const uint64_t before = position;
            webm::Status s(webm::Status::kOkCompleted);
            try {
                s = parser.Feed(this, this);
            } catch (const std::bad_alloc &) {  // the parser's own allocations
                s = webm::Status(kOutOfMemory);
            } catch (...) {  // no exception leaves the demuxer
                s = webm::Status(kBadInput);
            }
            if (s.code == webm::Status::kWouldBlock) {
                if (ready || !headers_done || paused_at != kNowhere) return 1;
                continue;
            }
            if (s.completed_ok()) {
                end_result = 0;
            } else if (s.code == webm::Status::kOkPartial && position != before) {
                continue;
            } else if (s.code == kOutOfMemory) {
                end_result = ZV_WEBM_OUT_OF_MEMORY;
            } else {
                // The end of the file at a block boundary is its end too (a
                // stream written without sizes); anywhere else it is a cut.
                end_result = (s.code == webm::Status::kEndOfFile && !building) ? 0 : -1;
            }
            building.reset();
            return end_result;
        }
    }
};

namespace {

const Track *find(zv_webm_demuxer_t *d, uint32_t track) {
    return d != nullptr && track < d->tracks.size() ? &d->tracks[track] : nullptr;
}

// Splits Xiph-laced codec-private data: a count byte (items - 1), the sizes
// of all items but the last in runs of 255, then the items.
bool xiph_item(const std::vector<uint8_t> &data, uint32_t item, size_t *offset, size_t *length) {
    if (data.empty()) return false;
    const uint32_t count = static_cast<uint32_t>(data[0]) + 1;
    if (item >= count) return false;
    size_t at = 1;
    uint64_t laced = 0;   // sizes of all items but the last
    uint64_t before = 0;  // sizes of the items before `item`
    uint64_t size = 0;    // the size of `item`, unless it is the last
    for (uint32_t i = 0; i + 1 < count; ++i) {
        uint64_t s = 0;
        uint8_t b = 0;
        do {
            if (at >= data.size()) return false;
            b = data[at++];
            s += b;
        } while (b == 255);
        laced += s;
        if (i < item) before += s;
        if (i == item) size = s;
    }
    if (laced > data.size() - at) return false;
    if (item == count - 1) size = data.size() - at - laced;
    *offset = static_cast<size_t>(at + before);
    *length = static_cast<size_t>(size);
    return true;
}

}  // namespace

extern "C" {

int32_t zv_webm_demuxer_init(FILE *file, zv_webm_demuxer_t **demuxer) {
    *demuxer = nullptr;
    if (file == nullptr) return -1;
    // The parser's constructor allocates with a throwing new of its own.
    zv_webm_demuxer_t *d = nullptr;
    try {
        d = new zv_webm_demuxer_t();
    } catch (const std::bad_alloc &) {
        return ZV_WEBM_OUT_OF_MEMORY;
    }
    d->file = file;
    const int64_t start = zv_file_tell(file);
    if (start >= 0 && zv_file_seek(file, 0, SEEK_END) == 0) {
        const int64_t end = zv_file_tell(file);
        if (end >= start) d->size = static_cast<uint64_t>(end - start);
    }
    if (start < 0 || zv_file_seek(file, start, SEEK_SET) != 0) {
        delete d;
        return -1;
    }
    // Up to the first cluster, or the end of a file without clusters.
    const int32_t r = d->advance();
    if ((r != 1 && r != 0) || d->tracks.empty()) {
        delete d;
        return r == ZV_WEBM_OUT_OF_MEMORY ? r : -1;
    }
    *demuxer = d;
    return 0;
}

void zv_webm_demuxer_destroy(zv_webm_demuxer_t *demuxer) { delete demuxer; }

int32_t zv_webm_demuxer_track_count(zv_webm_demuxer_t *demuxer, uint32_t *count) {
    if (demuxer == nullptr) return -1;
    *count = static_cast<uint32_t>(demuxer->tracks.size());
    return 0;
}

int32_t zv_webm_demuxer_track_type(zv_webm_demuxer_t *demuxer, uint32_t track) {
    const Track *t = find(demuxer, track);
    if (t == nullptr) return -1;
    switch (t->type) {
        case webm::TrackType::kVideo: return ZV_WEBM_TRACK_VIDEO;
        case webm::TrackType::kAudio: return ZV_WEBM_TRACK_AUDIO;
        default: return ZV_WEBM_TRACK_OTHER;
    }
}

int32_t zv_webm_demuxer_track_codec_id(zv_webm_demuxer_t *demuxer, uint32_t track) {
    const Track *t = find(demuxer, track);
    if (t == nullptr) return ZV_WEBM_CODEC_UNKNOWN;
    if (t->codec == "A_VORBIS") return ZV_WEBM_CODEC_VORBIS;
    if (t->codec == "A_OPUS") return ZV_WEBM_CODEC_OPUS;
    return ZV_WEBM_CODEC_UNKNOWN;
}

int32_t zv_webm_demuxer_track_audio_params(zv_webm_demuxer_t *demuxer, uint32_t track, double *rate,
                                           uint32_t *channels) {
    const Track *t = find(demuxer, track);
    if (t == nullptr || !t->has_audio || t->type != webm::TrackType::kAudio) return -1;
    // A rate that isn't a number of hertz an int32 can hold is refused here,
    // before anyone converts it.
    if (!(t->rate >= 0.0 && t->rate < 2147483648.0) || t->channels > INT32_MAX) return -1;
    *rate = t->rate;
    *channels = static_cast<uint32_t>(t->channels);
    return 0;
}

int32_t zv_webm_demuxer_track_codec_data_count(zv_webm_demuxer_t *demuxer, uint32_t track, uint32_t *count) {
    const Track *t = find(demuxer, track);
    *count = 0;
    if (t == nullptr) return -1;
    const int32_t codec = zv_webm_demuxer_track_codec_id(demuxer, track);
    if (codec == ZV_WEBM_CODEC_OPUS) {
        *count = 1;
        return 0;
    }
    if (codec != ZV_WEBM_CODEC_VORBIS || t->codec_private.empty()) return -1;
    *count = static_cast<uint32_t>(t->codec_private[0]) + 1;
    return 0;
}

int32_t zv_webm_demuxer_track_codec_data(zv_webm_demuxer_t *demuxer, uint32_t track, uint32_t item,
                                         const uint8_t **data, size_t *length) {
    const Track *t = find(demuxer, track);
    *data = nullptr;
    *length = 0;
    if (t == nullptr) return -1;
    const int32_t codec = zv_webm_demuxer_track_codec_id(demuxer, track);
    if (codec == ZV_WEBM_CODEC_OPUS) {
        if (item != 0) return -1;
        *data = t->codec_private.data();
        *length = t->codec_private.size();
        return 0;
    }
    size_t offset = 0;
    if (codec != ZV_WEBM_CODEC_VORBIS || !xiph_item(t->codec_private, item, &offset, length)) return -1;
    *data = t->codec_private.data() + offset;
    return 0;
}

int32_t zv_webm_demuxer_read_packet(zv_webm_demuxer_t *demuxer, zv_webm_packet_t **packet) {
    *packet = nullptr;
    if (demuxer == nullptr) return -1;
    const int32_t r = demuxer->advance();
    if (r != 1) return r;
    if (!demuxer->ready) {  // the pause at the first cluster: go on to a block
        const int32_t again = demuxer->advance();
        if (again != 1 || !demuxer->ready) return again == 1 ? -1 : again;
    }
    *packet = demuxer->ready.release();
    return 1;
}

uint32_t zv_webm_packet_track(const zv_webm_packet_t *packet) { return packet->track; }

uint32_t zv_webm_packet_count(const zv_webm_packet_t *packet) { return static_cast<uint32_t>(packet->ends.size()); }

int32_t zv_webm_packet_data(const zv_webm_packet_t *packet, uint32_t frame, const uint8_t **data, size_t *length) {
    if (frame >= packet->ends.size()) return -1;
    const size_t start = frame == 0 ? 0 : packet->ends[frame - 1];
    *data = packet->bytes.data() + start;
    *length = packet->ends[frame] - start;
    return 0;
}

void zv_webm_packet_free(zv_webm_packet_t *packet) { delete packet; }

}  // extern "C"
