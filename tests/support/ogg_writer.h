// Reads the packets of an Ogg file (of its first stream, or of each link of a
// chained file) and writes packets back as an Ogg file, one page per packet,
// through libogg: for tests that alter or reorder the packets of a real stream.
#ifndef ZV_TESTS_SUPPORT_OGG_WRITER_H
#define ZV_TESTS_SUPPORT_OGG_WRITER_H

#include <ogg/ogg.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/audio_fixture.h"

namespace zv_test {

struct OggPacket {
    std::vector<uint8_t> bytes;
    int64_t granulepos = -1;  // as libogg gives it: set on the last packet that ends on a page
    bool eos = false;
};
using OggPackets = std::vector<OggPacket>;

// The packets of an Ogg file's logical streams. With `chained`, every
// beginning-of-stream page starts the next link; without, only the first
// stream is followed.
inline std::vector<OggPackets> ogg_streams(const std::string &path, bool chained) {
    const std::vector<uint8_t> bytes = read_bytes(path);
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char *buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::memcpy(buffer, bytes.data(), bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    ogg_stream_state stream;
    bool started = false;
    std::vector<OggPackets> links;
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        if (!started || (chained && ogg_page_bos(&page))) {
            if (started) ogg_stream_clear(&stream);
            ogg_stream_init(&stream, ogg_page_serialno(&page));
            started = true;
            links.emplace_back();
        }
        if (ogg_stream_pagein(&stream, &page) != 0) continue;
        ogg_packet p;
        while (ogg_stream_packetout(&stream, &p) == 1) {
            links.back().push_back({std::vector<uint8_t>(p.packet, p.packet + p.bytes), p.granulepos, p.e_o_s != 0});
        }
    }
    if (started) ogg_stream_clear(&stream);
    ogg_sync_clear(&sync);
    return links;
}

// The packets of the first logical stream of an Ogg file.
inline OggPackets ogg_packets(const std::string &path) {
    std::vector<OggPackets> streams = ogg_streams(path, /*chained=*/false);
    return streams.empty() ? OggPackets{} : std::move(streams[0]);
}

// The packets of each link of a chained Ogg file (streams one after another).
inline std::vector<OggPackets> ogg_links(const std::string &path) { return ogg_streams(path, /*chained=*/true); }

// An Ogg file of one logical stream, one page per packet, with the packets'
// granule positions; the last packet ends the stream.
inline std::vector<uint8_t> ogg_bytes(const OggPackets &packets, int serial = 77) {
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < packets.size(); ++i) {
        ogg_packet p{};
        p.packet = const_cast<unsigned char *>(packets[i].bytes.data());
        p.bytes = static_cast<long>(packets[i].bytes.size());
        p.b_o_s = i == 0;
        p.e_o_s = i + 1 == packets.size();
        p.granulepos = packets[i].granulepos;
        p.packetno = static_cast<ogg_int64_t>(i);
        ogg_stream_packetin(&stream, &p);
        ogg_page page;
        while (ogg_stream_flush(&stream, &page) != 0) {
            out.insert(out.end(), page.header, page.header + page.header_len);
            out.insert(out.end(), page.body, page.body + page.body_len);
        }
    }
    ogg_stream_clear(&stream);
    return out;
}

// Two logical streams multiplexed (grouped) in one Ogg file: both
// beginning-of-stream pages first, then the rest of the second stream's
// pages, then the rest of the first's.
inline std::vector<uint8_t> grouped_ogg_bytes(const OggPackets &first, const OggPackets &second) {
    auto pages = [](const std::vector<uint8_t> &bytes) {
        std::vector<std::vector<uint8_t>> out;
        for (size_t at = 0; at + 27 <= bytes.size();) {
            const size_t segments = bytes[at + 26];
            size_t size = 27 + segments;
            for (size_t i = 0; i < segments; ++i) size += bytes[at + 27 + i];
            out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
            at += size;
        }
        return out;
    };
    const auto a = pages(ogg_bytes(first, 1));
    const auto b = pages(ogg_bytes(second, 2));
    std::vector<uint8_t> out;
    auto add = [&out](const std::vector<uint8_t> &page) { out.insert(out.end(), page.begin(), page.end()); };
    add(a[0]);
    add(b[0]);
    for (size_t i = 1; i < b.size(); ++i) add(b[i]);
    for (size_t i = 1; i < a.size(); ++i) add(a[i]);
    return out;
}

}  // namespace zv_test

#endif
