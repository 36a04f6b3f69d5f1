// The sigrok session writer: libzip builds the archive, reading each entry's
// samples from the capture through a source of ours as it writes it, and
// writing through a source of ours into the job's sink, placed at each
// write's offset, so that memory stays flat, the file is written on the
// sink's thread, and the output machinery places the finished file.
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "export_output/chunk_prefetch.h"
#include "export_output/format_files.h"
#include "export_output/sample_files.h"
#include "text_output/text_sink.h"

namespace quillwave {
namespace {

// Samples per entry, a few MiB whatever the sample's size.
constexpr size_t kEntryBytes = size_t{4} << 20;
// Bytes of samples loaded from the capture at a time: a whole number of
// frames of every width (1, 2 or 4 bytes).
constexpr size_t kChunkBytes = size_t{512} << 10;
// Every entry's time: 1980-01-01 12:00 local time, early in the years a ZIP
// entry can have, so that the same capture always gives the same archive.
// libzip turns times into ZIP's local date and time on every write
// (localtime_r), from every job: glibc sets its time-zone state up on the
// first conversion and then only reads it for the same year, so the first
// one is made once, on one thread, before any archive is written, and no
// other conversion (mktime rereads the zone on every call) follows it.
time_t EntryTime() {
    static const time_t time = [] {
        std::tm fields{};
        fields.tm_year = 80;
        fields.tm_mday = 1;
        fields.tm_hour = 12;
        fields.tm_isdst = -1;
        const time_t made = mktime(&fields);
        std::tm back{};
        localtime_r(&made, &back);
        return made;
    }();
    return time;
}

// The archive's destination: the job's sink, placed at each write's offset,
// so that the sink's thread writes while libzip reads and checksums on.
struct Destination {
    TextSink* sink = nullptr;
    zip_uint64_t position = 0;  // where the next write goes
    zip_uint64_t end = 0;       // the file's length so far
    zip_error_t zipError{};
};

// False (and libzip told why) once a write to the file has failed.
bool SinkWell(Destination& out) {
    if (out.sink->error == 0) return true;
    zip_error_set(&out.zipError, ZIP_ER_WRITE, out.sink->error);
    return false;
}

zip_int64_t DestinationCallback(void* state, void* data, zip_uint64_t length,
                                zip_source_cmd_t command) {
    if (command == ZIP_SOURCE_FREE) return 0;
    auto& out = *static_cast<Destination*>(state);
    switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_COMMIT_WRITE,
                ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_WRITE, ZIP_SOURCE_SEEK_WRITE,
                ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
        case ZIP_SOURCE_STAT:
            // A new archive: nothing to read first.
            zip_error_set(&out.zipError, ZIP_ER_READ, ENOENT);
            return -1;
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&out.zipError, data, length);
        case ZIP_SOURCE_BEGIN_WRITE:
            out.position = out.end = 0;
            PlaceTextSink(*out.sink, 0);
            return 0;
        case ZIP_SOURCE_WRITE: {
            WritePlaced(*out.sink, static_cast<int64_t>(out.position), data,
                        static_cast<size_t>(length));
            if (!SinkWell(out)) return -1;
            out.position += length;
            out.end = std::max(out.end, out.position);
            return static_cast<zip_int64_t>(length);
        }
        case ZIP_SOURCE_SEEK_WRITE: {
            const zip_int64_t offset =
                zip_source_seek_compute_offset(out.position, out.end, data, length, &out.zipError);
            if (offset < 0) return -1;
            out.position = static_cast<zip_uint64_t>(offset);
            return 0;
        }
        case ZIP_SOURCE_TELL_WRITE:
            return static_cast<zip_int64_t>(out.position);
        case ZIP_SOURCE_COMMIT_WRITE:
            FlushTextSink(*out.sink);
            return SinkWell(out) ? 0 : -1;
        case ZIP_SOURCE_ROLLBACK_WRITE:
        case ZIP_SOURCE_REMOVE:
        case ZIP_SOURCE_CLOSE:
            return 0;
        default:
            zip_error_set(&out.zipError, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

// What the entries read from: the capture's chunks, loaded ahead on the
// prefetcher's thread, and whether the capture still held them.
struct Samples {
    InputStream* stream = nullptr;
    const WaveformSamples* waveform = nullptr;
    const std::atomic<bool>* stop = nullptr;
    FrameReader* logic = nullptr;  // the byte columns' frames
    ChunkPrefetcher* chunks = nullptr;
    // The chunk last taken from the prefetcher, valid until the next.
    size_t taken = static_cast<size_t>(-1);
    const unsigned char* takenBytes = nullptr;
    // Set on the prefetcher's thread: read once it is gone.
    bool readFailed = false;
    bool stopped = false;
};

// One entry: frames [first, first + count) of the logic columns (column -1)
// or of one value column; its chunks are the prefetcher's from firstChunk.
struct Entry {
    Samples* samples = nullptr;
    int column = -1;
    int64_t first = 0;
    size_t count = 0;
    size_t width = 1;  // bytes per frame
    size_t firstChunk = 0;
    size_t position = 0;
    zip_error_t zipError{};
};

size_t ChunkFrames(const Entry& entry) { return kChunkBytes / entry.width; }
size_t ChunkCount(const Entry& entry) {
    return (entry.count + ChunkFrames(entry) - 1) / ChunkFrames(entry);
}

// The entry's chunk `chunk` into `out`: on the prefetcher's thread.
bool LoadChunk(const Entry& entry, size_t chunk, unsigned char* out) {
    Samples& samples = *entry.samples;
    const size_t frame = chunk * ChunkFrames(entry);
    const size_t count = std::min(ChunkFrames(entry), entry.count - frame);
    const int64_t first = entry.first + static_cast<int64_t>(frame);
    if (Stopped(samples.stop)) {
        samples.stopped = true;
        return false;
    }
    const bool loaded =
        entry.column < 0
            ? samples.logic->LoadInto(first, count, out)
            : LoadSamples(*samples.stream,
                          samples.waveform->columns[static_cast<size_t>(entry.column)].block, first,
                          count, out);
    if (!loaded) samples.readFailed = true;
    return loaded;
}

zip_int64_t EntryCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    // FREE may come once the entry is gone: the state is not looked at then.
    if (command == ZIP_SOURCE_FREE) return 0;
    auto& entry = *static_cast<Entry*>(state);
    const size_t size = entry.count * entry.width;
    switch (command) {
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        case ZIP_SOURCE_OPEN:
            entry.position = 0;
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* stat = static_cast<zip_stat_t*>(data);
            zip_stat_init(stat);
            stat->size = size;
            stat->comp_size = size;
            stat->comp_method = ZIP_CM_STORE;
            stat->encryption_method = ZIP_EM_NONE;
            stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                          ZIP_STAT_ENCRYPTION_METHOD;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_READ: {
            Samples& samples = *entry.samples;
            auto* out = static_cast<unsigned char*>(data);
            size_t done = 0;
            const size_t wanted = std::min(static_cast<size_t>(length), size - entry.position);
            const size_t chunkBytes = ChunkFrames(entry) * entry.width;
            while (done < wanted) {
                const size_t chunk = entry.firstChunk + entry.position / chunkBytes;
                if (samples.taken != chunk) {
                    samples.taken = chunk;
                    samples.takenBytes = samples.chunks->Take(chunk);
                }
                if (samples.takenBytes == nullptr) {
                    zip_error_set(&entry.zipError, ZIP_ER_READ, EIO);
                    return -1;
                }
                const size_t offset = entry.position % chunkBytes;
                const size_t run = std::min(wanted - done, chunkBytes - offset);
                std::memcpy(out + done, samples.takenBytes + offset, run);
                done += run;
                entry.position += run;
            }
            return static_cast<zip_int64_t>(done);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&entry.zipError, data, length);
        case ZIP_SOURCE_CLOSE:
            return 0;
        default:
            zip_error_set(&entry.zipError, ZIP_ER_OPNOTSUPP, 0);
            return -1;
    }
}

// "1 MHz", "250 kHz", "3 GHz", "1234 Hz": the largest unit that keeps the
// number whole, as sigrok writes rates.
std::string RateText(uint64_t hertz) {
    const char* units[] = {"Hz", "kHz", "MHz", "GHz"};
    size_t unit = 0;
    while (unit + 1 < std::size(units) && hertz % 1000 == 0 && hertz != 0) {
        hertz /= 1000;
        ++unit;
    }
    return std::to_string(hertz) + " " + units[unit];
}

struct ArchiveCloser {
    zip_t* archive = nullptr;
    ~ArchiveCloser() {
        if (archive != nullptr) zip_discard(archive);
    }
};

// `text` is read when the archive is closed: it must live until then.
bool AddText(zip_t* archive, const char* name, const std::string& text) {
    zip_source_t* source = zip_source_buffer(archive, text.data(), text.size(), 0);
    if (source == nullptr) return false;
    const zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    const auto at = static_cast<zip_uint64_t>(index);
    return zip_set_file_compression(archive, at, ZIP_CM_STORE, 0) == 0 &&
           zip_file_set_mtime(archive, at, EntryTime(), 0) == 0;
}

}  // namespace

FormatFileResult WriteSigrokSession(InputStream& stream, const WaveformSamples& waveform,
                                    TextSink& sink, const std::atomic<bool>* stop) {
    FormatFileResult result;
    const int64_t rows = RowCount(waveform);
    // Logic channels: the byte columns, 8 each; analog: the value columns.
    size_t logicColumns = 0;
    std::vector<int> analogColumns;
    for (size_t c = 0; c < waveform.columnCount; ++c) {
        if (waveform.columns[c].kind == SampleKind::Byte) {
            ++logicColumns;
        } else {
            analogColumns.push_back(static_cast<int>(c));
        }
    }
    const SampleRate rate =
        SampleRateOf(waveform.header.timeIncrement, SampleRateLimit(ExportFormat::Sigrok));
    std::string metadata = "[global]\nsigrok version=0.5.2\n\n[device 1]\n";
    // Named only where there are logic samples: sigrok looks for them then.
    if (logicColumns > 0) metadata += "capturefile=logic-1\n";
    metadata += "total probes=" + std::to_string(8 * logicColumns) + "\n";
    metadata += "samplerate=" + RateText(rate.hertz) + "\n";
    metadata += "total analog=" + std::to_string(analogColumns.size()) + "\n";
    for (size_t k = 0; k < 8 * logicColumns; ++k) {
        metadata += "probe" + std::to_string(k + 1) + "=D" + std::to_string(k) + "\n";
    }
    for (size_t j = 0; j < analogColumns.size(); ++j) {
        metadata += "analog" + std::to_string(8 * logicColumns + j + 1) + "=" +
                    ColumnName(waveform, static_cast<size_t>(analogColumns[j]) + 1) + "\n";
    }
    metadata += "unitsize=" + std::to_string(std::max<size_t>(logicColumns, 1)) + "\n";

    Destination destination;
    destination.sink = &sink;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_function_create(DestinationCallback, &destination, &error);
    if (target == nullptr) throw std::bad_alloc();
    ArchiveCloser closer;
    closer.archive = zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (closer.archive == nullptr) {
        zip_source_free(target);
        zip_error_fini(&error);
        throw std::bad_alloc();
    }
    zip_error_fini(&error);
    zip_t* archive = closer.archive;

    // The logic columns' frames are the sample units (byte1 low, byte2 high).
    WaveformSamples logicOnly = waveform;
    logicOnly.columnCount = 0;
    for (size_t c = 0; c < waveform.columnCount; ++c) {
        if (waveform.columns[c].kind == SampleKind::Byte) {
            logicOnly.columns[logicOnly.columnCount++] = waveform.columns[c];
        }
    }
    FrameReader logic(stream, logicOnly, kChunkBytes / std::max<size_t>(logicColumns, 1));
    Samples samples;
    samples.stream = &stream;
    samples.waveform = &waveform;
    samples.stop = stop;
    samples.logic = &logic;

    std::vector<std::unique_ptr<Entry>> entries;
    // The chunks in the order libzip reads them, each entry's after the
    // last's: whose they are, and which of its own.
    std::vector<std::pair<const Entry*, size_t>> chunkOf;
    const std::string version = "2";
    bool added = AddText(archive, "version", version) && AddText(archive, "metadata", metadata);
    const auto addEntries = [&](int column, size_t width, const std::string& prefix) {
        const size_t perEntry = kEntryBytes / width;
        size_t number = 1;
        for (int64_t first = 0; added && first < rows; first += static_cast<int64_t>(perEntry)) {
            auto entry = std::make_unique<Entry>();
            entry->samples = &samples;
            entry->column = column;
            entry->first = first;
            entry->count = static_cast<size_t>(
                std::min<int64_t>(static_cast<int64_t>(perEntry), rows - first));
            entry->width = width;
            entry->firstChunk = chunkOf.size();
            for (size_t c = 0; c < ChunkCount(*entry); ++c) chunkOf.emplace_back(entry.get(), c);
            zip_error_init(&entry->zipError);
            zip_source_t* source = zip_source_function(archive, EntryCallback, entry.get());
            const std::string name = prefix + std::to_string(number++);
            const zip_int64_t index =
                source == nullptr ? -1 : zip_file_add(archive, name.c_str(), source, 0);
            if (index < 0) {
                if (source != nullptr) zip_source_free(source);
                added = false;
                return;
            }
            const auto at = static_cast<zip_uint64_t>(index);
            added = zip_set_file_compression(archive, at, ZIP_CM_STORE, 0) == 0 &&
                    zip_file_set_mtime(archive, at, EntryTime(), 0) == 0;
            entries.push_back(std::move(entry));
        }
    };
    if (logicColumns > 0) addEntries(-1, logicColumns, "logic-1-");
    for (size_t j = 0; j < analogColumns.size(); ++j) {
        addEntries(analogColumns[j], 4,
                   "analog-1-" + std::to_string(8 * logicColumns + j + 1) + "-");
    }
    if (!added) throw std::bad_alloc();
    // The thread loading the chunks ahead has the stream until it is gone.
    auto chunks = std::make_unique<ChunkPrefetcher>(
        chunkOf.size(), kChunkBytes, [&chunkOf](size_t index, unsigned char* out) {
            return LoadChunk(*chunkOf[index].first, chunkOf[index].second, out);
        });
    samples.chunks = chunks.get();
    const bool closed = zip_close(archive) == 0;
    if (closed) closer.archive = nullptr;
    chunks.reset();
    // Every write done before the file is placed or discarded.
    FlushTextSink(sink);
    result.writeError = sink.error;
    result.readFailed = samples.readFailed;
    result.written = closed && !samples.readFailed && !samples.stopped && sink.error == 0;
    if (!closed && sink.error == 0 && !samples.readFailed && !samples.stopped) {
        // libzip's own failure (its memory, say): told as a write failure.
        const int system = zip_error_code_system(zip_get_error(archive));
        result.writeError = system != 0 ? system : EIO;
    }
    for (auto& entry : entries) zip_error_fini(&entry->zipError);
    return result;
}

}  // namespace quillwave
