// The public interface's export: settings and captures gathered in a handle,
// then the export engine run on the caller's thread, its events handed to
// the caller's callback.
#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "export_output/export_engine.h"
#include "export_output/format_files.h"
#include "library/guard.h"
#include "quillwave/quillwave.h"

struct quillwave_export {
    quillwave::ExportSettings settings;
    std::vector<quillwave::ExportCaptureSource> captures;
    std::atomic<bool> cancel{false};
    std::atomic<bool> running{false};
};

struct quillwave_event {
    quillwave::ExportEvent event;
};

namespace quillwave {
namespace {

// A signal handler may cancel: that must be a plain atomic store.
static_assert(std::atomic<bool>::is_always_lock_free);

constexpr unsigned kMinOpenFiles = 4;

// Runs a setting's body unless the handle is missing or running.
template <typename Body>
int Setting(quillwave_export* exporter, const Body& body) {
    if (exporter == nullptr) return QUILLWAVE_E_ARGUMENT;
    if (exporter->running.load()) return QUILLWAVE_E_BUSY;
    return Guarded(body);
}

const ExportEvent* EventOf(const quillwave_event* event) {
    return event != nullptr ? &event->event : nullptr;
}

}  // namespace
}  // namespace quillwave

using quillwave::EventOf;
using quillwave::Guarded;
using quillwave::Setting;

quillwave_export* quillwave_export_new(void) {
    try {
        return new quillwave_export;
    } catch (...) {  // its members' memory as well as its own
        return nullptr;
    }
}

void quillwave_export_free(quillwave_export* exporter) { delete exporter; }

int quillwave_export_set_format(quillwave_export* exporter, int format) {
    return Setting(exporter, [&] {
        if (format == QUILLWAVE_FORMAT_CSV) {
            exporter->settings.format = quillwave::ExportFormat::Csv;
        } else if (format == QUILLWAVE_FORMAT_NPY) {
            exporter->settings.format = quillwave::ExportFormat::Npy;
        } else if (format == QUILLWAVE_FORMAT_MAT) {
            exporter->settings.format = quillwave::ExportFormat::Mat;
        } else if (format == QUILLWAVE_FORMAT_SR || format == QUILLWAVE_FORMAT_WAV) {
            if (quillwave_format_available(format) == 0) return QUILLWAVE_E_UNAVAILABLE;
            exporter->settings.format = format == QUILLWAVE_FORMAT_SR
                                            ? quillwave::ExportFormat::Sigrok
                                            : quillwave::ExportFormat::Wav;
        } else {
            return QUILLWAVE_E_ARGUMENT;
        }
        return QUILLWAVE_OK;
    });
}

int quillwave_format_available(int format) {
    switch (format) {
        case QUILLWAVE_FORMAT_CSV:
        case QUILLWAVE_FORMAT_NPY:
        case QUILLWAVE_FORMAT_MAT:  // level 5 always; 7.3 needs libmatio (else refused)
            return 1;
        case QUILLWAVE_FORMAT_SR:
            return quillwave::FormatAvailable(quillwave::ExportFormat::Sigrok) ? 1 : 0;
        case QUILLWAVE_FORMAT_WAV:
            return quillwave::FormatAvailable(quillwave::ExportFormat::Wav) ? 1 : 0;
        default:
            return 0;
    }
}

int quillwave_export_set_output_dir(quillwave_export* exporter, const char* folder) {
    return Setting(exporter, [&] {
        exporter->settings.outputDir = folder != nullptr ? folder : "";
        return QUILLWAVE_OK;
    });
}

int quillwave_export_set_jobs(quillwave_export* exporter, unsigned jobs) {
    return Setting(exporter, [&] {
        if (jobs == 0 || jobs > quillwave::kMaxExportJobs) return QUILLWAVE_E_ARGUMENT;
        exporter->settings.jobs = jobs;
        return QUILLWAVE_OK;
    });
}

int quillwave_export_set_processors(quillwave_export* exporter, unsigned processors) {
    return Setting(exporter, [&] {
        if (processors == 0) return QUILLWAVE_E_ARGUMENT;
        exporter->settings.processors = processors;
        return QUILLWAVE_OK;
    });
}

int quillwave_export_set_force(quillwave_export* exporter, int force) {
    return Setting(exporter, [&] {
        exporter->settings.force = force != 0;
        return QUILLWAVE_OK;
    });
}

int quillwave_export_set_describe_only(quillwave_export* exporter, int describe_only) {
    return Setting(exporter, [&] {
        exporter->settings.describeOnly = describe_only != 0;
        return QUILLWAVE_OK;
    });
}

int quillwave_export_set_open_files(quillwave_export* exporter, unsigned budget) {
    return Setting(exporter, [&] {
        if (budget != 0 && budget < quillwave::kMinOpenFiles) return QUILLWAVE_E_ARGUMENT;
        exporter->settings.openFiles = budget;
        return QUILLWAVE_OK;
    });
}

int quillwave_export_set_spool_folder(quillwave_export* exporter, const char* folder) {
    return Setting(exporter, [&] {
        exporter->settings.spoolFolder = folder != nullptr ? folder : "/tmp";
        return QUILLWAVE_OK;
    });
}

int quillwave_export_add_path(quillwave_export* exporter, const char* path) {
    if (path == nullptr) return QUILLWAVE_E_ARGUMENT;
    return Setting(exporter, [&] {
        exporter->captures.push_back({.name = path, .stem = quillwave::ExportStemOf(path)});
        return QUILLWAVE_OK;
    });
}

int quillwave_export_add_fd(quillwave_export* exporter, int fd, const char* name,
                            const char* stem) {
    if (fd < 0 || name == nullptr || stem == nullptr || *stem == '\0') {
        return QUILLWAVE_E_ARGUMENT;
    }
    return Setting(exporter, [&] {
        exporter->captures.push_back({.name = name, .stem = stem, .fd = fd});
        return QUILLWAVE_OK;
    });
}

int quillwave_event_kind(const quillwave_event* event) {
    return event != nullptr ? event->event.kind : 0;
}

size_t quillwave_event_capture(const quillwave_event* event) {
    return event != nullptr ? event->event.capture : 0;
}

const char* quillwave_event_capture_name(const quillwave_event* event) {
    return event != nullptr ? event->event.captureName : "";
}

int64_t quillwave_event_waveform(const quillwave_event* event) {
    return event != nullptr ? event->event.waveform : 0;
}

int quillwave_event_status(const quillwave_event* event) {
    return event != nullptr ? event->event.status : QUILLWAVE_E_ARGUMENT;
}

int quillwave_event_os_error(const quillwave_event* event) {
    return event != nullptr ? event->event.osError : 0;
}

int quillwave_event_reason(const quillwave_event* event) {
    return event != nullptr ? event->event.reason : QUILLWAVE_REASON_NONE;
}

const char* quillwave_event_file(const quillwave_event* event) {
    return event != nullptr ? event->event.file : "";
}

const char* quillwave_event_text(const quillwave_event* event) {
    return event != nullptr ? event->event.text : "";
}

uint64_t quillwave_event_bytes_written(const quillwave_event* event) {
    const quillwave::ExportEvent* inner = EventOf(event);
    return inner != nullptr ? inner->bytesWritten : 0;
}

uint64_t quillwave_event_waveforms_done(const quillwave_event* event) {
    const quillwave::ExportEvent* inner = EventOf(event);
    return inner != nullptr ? inner->waveformsDone : 0;
}

int quillwave_export_run(quillwave_export* exporter, quillwave_event_callback callback,
                         void* context, int* os_error) {
    quillwave::SetOsError(os_error, 0);
    if (exporter == nullptr) return QUILLWAVE_E_ARGUMENT;
    if (exporter->running.exchange(true)) return QUILLWAVE_E_BUSY;
    // The worker threads it starts inherit the mode too.
    const quillwave::RoundingToNearest nearest;
    const int status = Guarded([&] {
        const quillwave::ExportEventSink sink = [&](const quillwave::ExportEvent& event) {
            if (callback == nullptr) return;
            const quillwave_event wrapped{event};
            callback(&wrapped, context);
        };
        int error = 0;
        const int result = quillwave::RunExportEngine(exporter->settings, exporter->captures,
                                                      exporter->cancel, sink, &error);
        quillwave::SetOsError(os_error, error);
        return result;
    });
    exporter->cancel.store(false);
    exporter->running.store(false);
    return status;
}

void quillwave_export_cancel(quillwave_export* exporter) {
    if (exporter != nullptr) exporter->cancel.store(true);
}
