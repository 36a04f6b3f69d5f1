// The export of every waveform of many captures as files, behind the public
// quillwave_export_* interface and so behind quillwave-export.
//
// The calling thread takes the captures in turn: it opens one, walks its
// waveforms (headers only, cheap) and queues a conversion for each waveform
// that yields samples; a pool of worker threads converts them, each through
// its own stream over its own descriptor. Every event is delivered on the
// calling thread in one fixed order (per capture: its failure, or its
// begin, then per waveform its event, any early end of its walk, its end)
// as the conversions finish, so files, events and descriptions are the
// same for every job count.
//
// The engine prints nothing and changes no signal's disposition: its own
// threads block SIGPIPE from their start, and its writes on the calling
// thread block it for the time of the write, so a closed pipe is the EPIPE
// failure of that one output.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export_output/sample_files.h"
#include "quillwave/quillwave.h"

namespace quillwave {

// One event, valid while the callback runs. The numbers match the public
// QUILLWAVE_EVENT_*, QUILLWAVE_E_* and QUILLWAVE_REASON_* codes.
struct ExportEvent {
    int kind = QUILLWAVE_EVENT_PROGRESS;  // QUILLWAVE_EVENT_*
    size_t capture = 0;
    const char* captureName = "";
    int64_t waveform = 0;
    int status = 0;
    int osError = 0;
    int reason = 0;
    const char* file = "";
    const char* text = "";  // the message line (without the program's name), or a piece of JSON
    uint64_t bytesWritten = 0;
    uint64_t waveformsDone = 0;
};

using ExportEventSink = std::function<void(const ExportEvent& event)>;

struct ExportCaptureSource {
    std::string name;  // shown in messages: the path, or a name given
    std::string stem;  // the files' names start with it
    int fd = -1;       // read from a duplicate of it; -1: open `name`
};

struct ExportSettings {
    ExportFormat format = ExportFormat::Csv;
    std::string outputDir;  // empty: the current folder
    unsigned jobs = 1;
    unsigned processors = 1;
    bool force = false;
    bool describeOnly = false;
    unsigned openFiles = 0;  // descriptors the run may hold; 0: no limit
    std::string spoolFolder = "/tmp";
};

inline constexpr unsigned kMaxExportJobs = 1024;

// The stem of a capture's files for its path ("dir/cap.bin": "cap").
std::string ExportStemOf(const std::string& path);

// Runs the export; returns QUILLWAVE_OK, QUILLWAVE_E_INCOMPLETE,
// QUILLWAVE_E_CANCELLED or QUILLWAVE_E_CREATE (the output folder, with
// *osError). `cancel` is polled between chunks and between events; once
// it is set no more events are delivered and the files being written are
// discarded.
int RunExportEngine(const ExportSettings& settings,
                    const std::vector<ExportCaptureSource>& captures,
                    const std::atomic<bool>& cancel, const ExportEventSink& sink, int* osError);

}  // namespace quillwave
