// SPDX-License-Identifier: MIT
#include "gzip_copy.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <sys/mman.h>
#include <sys/uio.h>

#include "file_io.h"

namespace {

// 4 KiB segments: within 4 % of gzip -6 on tables of varied names (2 KiB: 7 %; 8 KiB:
// 2 %, but twice the text compressed again when a segment fills).
constexpr size_t kSegmentBytes = 4096;
// The unfinished last segment is cut into pieces of 1 KiB: a new product compresses half
// of one on average, with the small window; an 8th of what a whole segment would cost.
constexpr size_t kPieceBytes = 1024;
constexpr size_t kDictionaryBytes = 32768;  // the most that deflate can refer back to
constexpr int kLevel = 6;
constexpr mode_t kNewGzipMode = 0666;  // what a shell's redirection would create

// A wide window reaches as far back as gzip does, with gzip's hash table: a smaller one
// compresses as well, but the table as a whole a third slower.
constexpr int kWideWindowBits = 15;
constexpr int kWideMemLevel = 8;
// The last segment alone: rows repeat their shape within a few hundred bytes.
constexpr int kNarrowWindowBits = 9;
constexpr int kNarrowMemLevel = 3;

// Room for zlib's state with a wide window: the window (twice its size), the chain of
// earlier matches, the hash table, the pending output (four or five bytes per symbol,
// as zlib is built) and the state record itself.
constexpr size_t kWideStateBytes = (2u << kWideWindowBits) + (2u << kWideWindowBits) + (2u << (kWideMemLevel + 7)) +
                                   (5u << (kWideMemLevel + 6)) + 16384;

// Where a wide state's memory comes from: one private mapping, handed back whole when the
// compression ends. Its pages are filled at once, by the call that maps them: a fault at
// the first touch of each costs more (a third of a small compression on the benchmark's
// machine).
class Mapping {
public:
    explicit Mapping(size_t size) : size_(size)
    {
        void* p = size ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0)
                       : MAP_FAILED;
        base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    }
    ~Mapping()
    {
        if (base_) munmap(base_, size_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    static voidpf allocate(voidpf opaque, uInt items, uInt size)
    {
        Mapping* self = static_cast<Mapping*>(opaque);
        constexpr size_t kAlign = 16;
        const size_t bytes = (static_cast<size_t>(items) * size + kAlign - 1) & ~(kAlign - 1);
        if (!self->base_ || bytes > self->size_ - self->used_) return Z_NULL;
        void* p = self->base_ + self->used_;
        self->used_ += bytes;
        return p;
    }
    static void release(voidpf, voidpf) {}  // with the whole mapping

private:
    char* base_;
    size_t size_;
    size_t used_ = 0;
};

// One raw deflate stream at level 6, for one update: its state lives as long as the run.
// A narrow window's state (about 12 KiB) comes from the heap, which keeps those pages for
// the next run: the narrow run is the one every new product pays for, and fresh pages
// at every run would add to it what they add to a wide one.
class DeflateRun {
public:
    explicit DeflateRun(bool wide) : mapping_(wide ? kWideStateBytes : 0)
    {
        if (wide) {
            zs_.zalloc = Mapping::allocate;
            zs_.zfree = Mapping::release;
            zs_.opaque = &mapping_;
        }
        ready_ = deflateInit2(&zs_, kLevel, Z_DEFLATED, wide ? -kWideWindowBits : -kNarrowWindowBits,
                              wide ? kWideMemLevel : kNarrowMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~DeflateRun()
    {
        if (ready_) deflateEnd(&zs_);
    }
    DeflateRun(const DeflateRun&) = delete;
    DeflateRun& operator=(const DeflateRun&) = delete;

    // Starts the stream behind history, the text in front of it (zlib keeps as much of it
    // as the window holds).
    bool start(std::string_view history)
    {
        return ready_ && (history.empty() || deflateSetDictionary(&zs_, reinterpret_cast<const Bytef*>(history.data()),
                                                                   static_cast<uInt>(history.size())) == Z_OK);
    }

    // Appends to out the deflate data of the parts in a row; flush Z_SYNC_FLUSH ends on a
    // byte boundary without ending the stream, Z_FINISH ends it. On failure out is as it was.
    bool piece(std::initializer_list<std::string_view> parts, int flush, std::string& out)
    {
        size_t total = 0;
        for (const auto& p : parts) total += p.size();
        const size_t at = out.size();
        out.resize(at + deflateBound(&zs_, static_cast<uLong>(total)) + 16);
        zs_.next_out = reinterpret_cast<Bytef*>(&out[at]);
        zs_.avail_out = static_cast<uInt>(out.size() - at);
        int rc = Z_OK;
        size_t left = parts.size();
        for (const auto& p : parts) {
            zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p.data()));
            zs_.avail_in = static_cast<uInt>(p.size());
            rc = deflate(&zs_, --left ? Z_NO_FLUSH : flush);
            if (zs_.avail_in != 0) break;
        }
        const bool ok = zs_.avail_in == 0 && (flush == Z_FINISH ? rc == Z_STREAM_END : rc == Z_OK && zs_.avail_out > 0);
        out.resize(ok ? out.size() - zs_.avail_out : at);
        return ok;
    }

private:
    Mapping mapping_;
    z_stream zs_{};
    bool ready_ = false;
};

void put_le32(unsigned char* out, uLong value)
{
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The gzip header: deflate, a file name, mtime, no extra flags (level 6), OS Unix.
std::string gzip_header(const char* name, time_t mtime)
{
    unsigned char fixed[10] = {0x1f, 0x8b, 8, 0x08, 0, 0, 0, 0, 0, 3};
    put_le32(fixed + 4, static_cast<uLong>(mtime));
    std::string header(reinterpret_cast<const char*>(fixed), sizeof fixed);
    header.append(name, std::strlen(name) + 1);
    return header;
}

std::string gzip_trailer(uLong crc, size_t length)
{
    unsigned char trailer[8];
    put_le32(trailer, crc);
    put_le32(trailer + 4, static_cast<uLong>(length & 0xffffffffu));
    return std::string(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

// CRC-32 of text continued from crc (0 to start). zlib's crc32 would take the null data
// of an empty view for a request of its initial value.
uLong checksum(uLong crc, std::string_view text)
{
    return text.empty() ? crc : crc32(crc, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
}

iovec part(const std::string& bytes) { return {const_cast<char*>(bytes.data()), bytes.size()}; }

}  // namespace

bool GzipCopy::update(std::string_view text, std::string_view tail, size_t unchanged)
{
    size_t keep = 0;
    while (keep < pieces_.size() && pieces_[keep].text_end <= unchanged) ++keep;
    // A change in a segment that is full compresses that segment anew, whole, with the
    // wide window; in the unfinished last segment, only the pieces from the change on,
    // with the narrow one.
    size_t from = keep ? pieces_[keep - 1].text_end : 0;
    const size_t segment = from / kSegmentBytes * kSegmentBytes;
    const bool wide = text.size() >= segment + kSegmentBytes;
    if (wide) {
        while (keep && pieces_[keep - 1].text_end > segment) --keep;
        from = segment;
    }
    pieces_.resize(keep);
    data_.resize(keep ? pieces_.back().data_end : 0);
    last_.clear();

    const size_t reach = std::min(from, kDictionaryBytes);
    DeflateRun run(wide);
    if (!run.start(text.substr(from - reach, reach))) return false;
    uLong crc = keep ? pieces_.back().crc_through : 0;
    size_t at = from;
    for (;;) {
        const bool full_segment = at % kSegmentBytes == 0 && text.size() - at >= kSegmentBytes;
        const size_t size = full_segment ? kSegmentBytes : kPieceBytes;
        if (text.size() - at < size) break;
        const std::string_view piece = text.substr(at, size);
        if (!run.piece({piece}, Z_SYNC_FLUSH, data_)) return false;
        crc = checksum(crc, piece);
        at += size;
        pieces_.push_back({at, data_.size(), crc});
    }
    const std::string_view rest = text.substr(at);
    if (!run.piece({rest, tail}, Z_FINISH, last_)) return false;
    crc_ = checksum(checksum(crc, rest), tail);
    length_ = text.size() + tail.size();
    return true;
}

int GzipCopy::write(int dir_fd, const char* name, const char* header_name, time_t mtime) const
{
    const std::string header = gzip_header(header_name, mtime);
    const std::string trailer = gzip_trailer(crc_, length_);
    const iovec parts[4] = {part(header), part(data_), part(last_), part(trailer)};
    return write_file_atomically(dir_fd, name, parts, 4, mode_for_rewrite(dir_fd, name, kNewGzipMode), false);
}
