// _quillwave: the thin layer between Python and libquillwave's public C
// interface (quillwave/quillwave.h, nothing else). The package quillwave
// builds its API over it; failures leave here as StatusError(status,
// os_error) and become the package's exceptions there, where the path is
// known.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <quillwave/quillwave.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// Set when the module is initialised; raised with args (status, os_error).
PyObject* status_error = nullptr;

[[noreturn]] void ThrowStatus(int status, int os_error) {
    if (status == QUILLWAVE_E_NO_MEMORY) throw std::bad_alloc();
    PyErr_SetObject(status_error, py::make_tuple(status, os_error).ptr());
    throw py::error_already_set();
}

[[noreturn]] void ThrowClosed() { throw py::value_error("I/O operation on a closed capture"); }

const char* NumpyType(int element) {
    switch (element) {
        case QUILLWAVE_ELEMENT_FLOAT64:
            return "float64";
        case QUILLWAVE_ELEMENT_FLOAT32:
            return "float32";
        case QUILLWAVE_ELEMENT_INT32:
            return "int32";
        case QUILLWAVE_ELEMENT_UINT8:
            return "uint8";
        default:
            return nullptr;
    }
}

// One open capture. Reads run without the GIL under a shared lock, so any
// number run at once; close() takes the lock for itself, so it waits for
// running reads instead of pulling the capture from under them.
class Capture {
  public:
    explicit Capture(quillwave_capture* capture) : capture_(capture) {}
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture() { quillwave_close(capture_); }

    void Close() {
        py::gil_scoped_release unlocked;
        std::unique_lock lock(mutex_);
        quillwave_close(capture_);
        capture_ = nullptr;
    }
    bool Closed() const { return capture_ == nullptr; }

    py::dict Describe() const {
        std::shared_lock lock(mutex_);
        const quillwave_capture* capture = Open();
        py::dict out;
        // Texts that may hold the file's bytes go up as bytes; the package
        // decodes them as the JSON description does.
        out["version"] = py::bytes(quillwave_file_version(capture));
        out["declared_count"] = quillwave_declared_count(capture);
        out["waveform_count"] = quillwave_waveform_count(capture);
        out["walk_end"] = quillwave_walk_end(capture);
        out["walk_loops_to"] = quillwave_walk_loops_to(capture);
        out["walk_text"] = py::bytes(quillwave_walk_text(capture));
        return out;
    }

    py::dict Waveform(int64_t index) const {
        std::shared_lock lock(mutex_);
        const quillwave_capture* capture = Open();
        const quillwave_waveform* waveform = quillwave_waveform_at(capture, index);
        if (waveform == nullptr) throw py::index_error("waveform index out of range");
        py::dict out;
        const bool header = quillwave_waveform_header_read(waveform) != 0;
        out["header_read"] = header;
        out["offset"] = quillwave_waveform_offset(waveform);
        const int type = quillwave_waveform_type(waveform);
        out["type_number"] = type;
        out["type_name"] = quillwave_type_name(type);
        out["sample_count"] = quillwave_waveform_sample_count(waveform);
        out["time_increment"] = quillwave_waveform_time_increment(waveform);
        out["time_origin"] = quillwave_waveform_time_origin(waveform);
        out["summary_number"] = quillwave_waveform_summary_number(waveform);
        out["buffer_count"] = quillwave_waveform_buffer_count(waveform);
        py::list texts;
        for (int which = 1; which <= 4; ++which) {
            const char* bytes = nullptr;
            const size_t length = quillwave_waveform_text(waveform, which, &bytes);
            texts.append(py::bytes(bytes == nullptr ? "" : bytes, length));
        }
        out["texts"] = py::tuple(texts);
        py::list buffers;
        for (size_t k = 0; k < quillwave_waveform_buffers_read(waveform); ++k) {
            buffers.append(py::make_tuple(
                quillwave_buffer_data_type(waveform, k), quillwave_buffer_sample_width(waveform, k),
                quillwave_buffer_data_size(waveform, k), quillwave_buffer_problem(waveform, k)));
        }
        out["buffers"] = py::tuple(buffers);
        out["reason"] = quillwave_waveform_reason(waveform);
        out["reason_text"] = py::bytes(quillwave_waveform_reason_text(waveform));
        py::list columns;
        for (size_t c = 0; c < quillwave_column_count(waveform); ++c) {
            const char* dtype = NumpyType(quillwave_column_element(waveform, c));
            if (dtype == nullptr) throw std::runtime_error("a column of an unknown element type");
            columns.append(py::make_tuple(quillwave_column_name(waveform, c), dtype,
                                          quillwave_column_data_type(waveform, c)));
        }
        out["columns"] = py::tuple(columns);
        out["row_count"] = quillwave_row_count(waveform);
        return out;
    }

    // Rows first .. first + count - 1 of every column of waveform `index`,
    // one new array per column, read with the GIL released.
    py::list Read(int64_t index, int64_t first, int64_t count) {
        std::vector<int> elements;
        {
            std::shared_lock lock(mutex_);
            const quillwave_waveform* waveform = quillwave_waveform_at(Open(), index);
            if (waveform == nullptr) throw py::index_error("waveform index out of range");
            if (quillwave_waveform_reason(waveform) != QUILLWAVE_REASON_NONE) {
                ThrowStatus(QUILLWAVE_E_NO_SAMPLES, 0);
            }
            const int64_t rows = quillwave_row_count(waveform);
            if (first < 0 || count < 0 || first > rows || count > rows - first) {
                throw py::index_error("rows outside the waveform");
            }
            for (size_t c = 0; c < quillwave_column_count(waveform); ++c) {
                elements.push_back(quillwave_column_element(waveform, c));
            }
        }
        py::list arrays;
        std::vector<void*> destinations;
        std::vector<size_t> capacities;
        for (const int element : elements) {
            py::array array(py::dtype(NumpyType(element)),
                            std::vector<py::ssize_t>{static_cast<py::ssize_t>(count)});
            destinations.push_back(array.mutable_data());
            capacities.push_back(static_cast<size_t>(array.nbytes()));
            arrays.append(std::move(array));
        }
        bool closed = false;
        int status = QUILLWAVE_OK;
        {
            py::gil_scoped_release unlocked;
            std::shared_lock lock(mutex_);
            closed = capture_ == nullptr;
            for (size_t c = 0; c < elements.size() && !closed && status == QUILLWAVE_OK; ++c) {
                status = quillwave_read_column(capture_, index, c, first, count, destinations[c],
                                               capacities[c]);
            }
        }
        if (closed) ThrowClosed();
        if (status != QUILLWAVE_OK) ThrowStatus(status, 0);
        return arrays;
    }

  private:
    // Called with the lock held.
    const quillwave_capture* Open() const {
        if (capture_ == nullptr) ThrowClosed();
        return capture_;
    }

    quillwave_capture* capture_;
    mutable std::shared_mutex mutex_;
};

std::unique_ptr<Capture> Finish(int status, int os_error, quillwave_capture* capture) {
    if (status != QUILLWAVE_OK) ThrowStatus(status, os_error);
    return std::make_unique<Capture>(capture);
}

// Paths go to C as NUL-terminated text: one with a NUL inside would name
// another file.
void CheckNoNul(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
}

std::unique_ptr<Capture> OpenPath(const std::string& path, const py::object& spool) {
    const std::string folder = spool.is_none() ? std::string() : spool.cast<std::string>();
    CheckNoNul(path);
    CheckNoNul(folder);
    quillwave_capture* capture = nullptr;
    int os_error = 0;
    int status = QUILLWAVE_OK;
    {
        py::gil_scoped_release unlocked;
        status = quillwave_open(path.c_str(), spool.is_none() ? nullptr : folder.c_str(), &capture,
                                &os_error);
    }
    return Finish(status, os_error, capture);
}

std::unique_ptr<Capture> OpenDescriptor(int fd, const py::object& spool) {
    const std::string folder = spool.is_none() ? std::string() : spool.cast<std::string>();
    CheckNoNul(folder);
    quillwave_capture* capture = nullptr;
    int os_error = 0;
    int status = QUILLWAVE_OK;
    {
        py::gil_scoped_release unlocked;
        status =
            quillwave_open_fd(fd, spool.is_none() ? nullptr : folder.c_str(), &capture, &os_error);
    }
    return Finish(status, os_error, capture);
}

// One run of quillwave_export_run(): the events gathered for the package, and
// the first exception a Python callback (or a signal) raised, which cancels
// the export and is raised again when the run returns.
struct ExportRun {
    quillwave_export* exporter = nullptr;
    py::object progress;
    py::list events;
    std::optional<py::error_already_set> failure;
};

py::bytes Bytes(const char* text) { return py::bytes(text == nullptr ? "" : text); }

void OnExportEvent(const quillwave_event* event, void* context) {
    auto* run = static_cast<ExportRun*>(context);
    // Events come on the thread that runs the export, which let go of the GIL.
    py::gil_scoped_acquire locked;
    if (run->failure) return;
    try {
        const int kind = quillwave_event_kind(event);
        if (kind != QUILLWAVE_EVENT_PROGRESS) {
            run->events.append(py::make_tuple(
                kind, quillwave_event_capture(event), Bytes(quillwave_event_capture_name(event)),
                quillwave_event_waveform(event), quillwave_event_status(event),
                quillwave_event_os_error(event), quillwave_event_reason(event),
                Bytes(quillwave_event_file(event)), Bytes(quillwave_event_text(event))));
        }
        if (!run->progress.is_none()) {
            run->progress(quillwave_event_waveforms_done(event),
                          quillwave_event_bytes_written(event));
        }
        // Ctrl-C reaches Python only between bytecodes; here is where a long
        // export sees it.
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    } catch (py::error_already_set& error) {
        run->failure = std::move(error);
        quillwave_export_cancel(run->exporter);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        run->failure = py::error_already_set();
        quillwave_export_cancel(run->exporter);
    }
}

class Exporter {
  public:
    Exporter() : exporter_(quillwave_export_new()) {
        if (exporter_ == nullptr) throw std::bad_alloc();
    }
    Exporter(const Exporter&) = delete;
    Exporter& operator=(const Exporter&) = delete;
    ~Exporter() { quillwave_export_free(exporter_); }

    void SetFormat(int format) { Check(quillwave_export_set_format(exporter_, format)); }
    void SetOutputDir(const std::string& folder) {
        CheckNoNul(folder);
        Check(quillwave_export_set_output_dir(exporter_, folder.c_str()));
    }
    void SetJobs(unsigned jobs) { Check(quillwave_export_set_jobs(exporter_, jobs)); }
    void SetProcessors(unsigned processors) {
        Check(quillwave_export_set_processors(exporter_, processors));
    }
    void SetForce(bool force) { Check(quillwave_export_set_force(exporter_, force ? 1 : 0)); }
    void SetSpoolFolder(const std::string& folder) {
        CheckNoNul(folder);
        Check(quillwave_export_set_spool_folder(exporter_, folder.c_str()));
    }
    void AddPath(const std::string& path) {
        CheckNoNul(path);
        Check(quillwave_export_add_path(exporter_, path.c_str()));
    }
    void AddFd(int fd, const std::string& name, const std::string& stem) {
        CheckNoNul(name);
        CheckNoNul(stem);
        Check(quillwave_export_add_fd(exporter_, fd, name.c_str(), stem.c_str()));
    }
    // Runs the export; returns (status, os_error, events).
    py::tuple Run(const py::object& progress) {
        ExportRun run;
        run.exporter = exporter_;
        run.progress = progress;
        int os_error = 0;
        int status = QUILLWAVE_OK;
        {
            py::gil_scoped_release unlocked;
            status = quillwave_export_run(exporter_, &OnExportEvent, &run, &os_error);
        }
        if (run.failure) throw *run.failure;
        return py::make_tuple(status, os_error, run.events);
    }
    void Cancel() { quillwave_export_cancel(exporter_); }

  private:
    static void Check(int status) {
        if (status != QUILLWAVE_OK) ThrowStatus(status, 0);
    }
    quillwave_export* exporter_;
};

}  // namespace

PYBIND11_MODULE(_quillwave, module) {
    module.doc() = "libquillwave's C interface, for the quillwave package; use quillwave instead.";
    static py::exception<std::exception> error(module, "StatusError");
    status_error = error.ptr();

    module.def("version", [] { return std::string(quillwave_version_string()); });
    module.attr("package_version") = QUILLWAVE_PACKAGE_VERSION;
    module.def("status_text",
               [](int status) { return std::string(quillwave_status_text(status)); });
    module.def("time", &quillwave_time, py::arg("increment"), py::arg("origin"), py::arg("index"));

    py::class_<Capture>(module, "Capture")
        .def("close", &Capture::Close)
        .def_property_readonly("closed", &Capture::Closed)
        .def("describe", &Capture::Describe)
        .def("waveform", &Capture::Waveform, py::arg("index"))
        .def("read", &Capture::Read, py::arg("index"), py::arg("first"), py::arg("count"));

    module.def("open_path", &OpenPath, py::arg("path"), py::arg("spool_folder") = py::none());
    module.def("open_fd", &OpenDescriptor, py::arg("fd"), py::arg("spool_folder") = py::none());

    py::class_<Exporter>(module, "Exporter")
        .def(py::init<>())
        .def("set_format", &Exporter::SetFormat)
        .def("set_output_dir", &Exporter::SetOutputDir)
        .def("set_jobs", &Exporter::SetJobs)
        .def("set_processors", &Exporter::SetProcessors)
        .def("set_force", &Exporter::SetForce)
        .def("set_spool_folder", &Exporter::SetSpoolFolder)
        .def("add_path", &Exporter::AddPath)
        .def("add_fd", &Exporter::AddFd)
        .def("run", &Exporter::Run, py::arg("progress") = py::none())
        .def("cancel", &Exporter::Cancel);

    py::dict constants;
    constants["E_NO_MEMORY"] = static_cast<int>(QUILLWAVE_E_NO_MEMORY);
    constants["E_OPEN"] = static_cast<int>(QUILLWAVE_E_OPEN);
    constants["E_TOO_SHORT"] = static_cast<int>(QUILLWAVE_E_TOO_SHORT);
    constants["E_NOT_A_CAPTURE"] = static_cast<int>(QUILLWAVE_E_NOT_A_CAPTURE);
    constants["E_READ"] = static_cast<int>(QUILLWAVE_E_READ);
    constants["E_NO_SAMPLES"] = static_cast<int>(QUILLWAVE_E_NO_SAMPLES);
    constants["E_EXISTS"] = static_cast<int>(QUILLWAVE_E_EXISTS);
    constants["E_CREATE"] = static_cast<int>(QUILLWAVE_E_CREATE);
    constants["E_WRITE"] = static_cast<int>(QUILLWAVE_E_WRITE);
    constants["E_INCOMPLETE"] = static_cast<int>(QUILLWAVE_E_INCOMPLETE);
    constants["E_CANCELLED"] = static_cast<int>(QUILLWAVE_E_CANCELLED);
    module.attr("constants") = constants;
}
