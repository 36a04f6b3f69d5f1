/* libquillwave: reading waveform capture files and exporting their waveforms.
 *
 * A capture is a 12-byte file header, then waveforms, each a header and data
 * buffers of float32 samples, int32 histogram counts or logic bytes. This
 * library opens one, walks its waveforms once (headers only), and then reads
 * any range of any waveform's columns, exactly as stored, into your memory;
 * or it exports every waveform of many captures as CSV or NumPy files with a
 * JSON description, as quillwave-export does.
 *
 * Conventions, for every function below:
 *  - A function that can fail returns an int status: QUILLWAVE_OK (0), or a
 *    negative QUILLWAVE_E_* code; quillwave_status_text() names it. Where the
 *    system gave a reason, it is stored in *os_error (an errno value; 0 when
 *    none), if os_error is not NULL.
 *  - A failure leaves the out-parameters untouched and nothing allocated.
 *  - Handles are opaque. What a function returns as const char* or as a
 *    const pointer is owned by the library and lives as long as the handle it
 *    came from; nothing you pass is kept after the call returns, unless said.
 *  - The library never prints, never exits or aborts, never changes how a
 *    signal is handled, the environment, the locale or any other
 *    process-wide setting (it only keeps SIGPIPE from its own threads and,
 *    for the time of its own writes, from yours). Memory that cannot be had
 *    is QUILLWAVE_E_NO_MEMORY; a thread that cannot be started means fewer
 *    threads.
 *  - Numbers are those of round-to-nearest, whatever rounding mode the
 *    calling thread has set (it is set for the call and restored after;
 *    an export's callbacks run in it).
 *  - Threads: a capture may be read from any number of threads at once (each
 *    read has its own position and buffers); it must not be closed while a
 *    read is running. Independent handles are independent: several exports
 *    may run at once in one process.
 *
 * Usable from C (C99 and later), C++ and any language that calls C. Link with
 * `pkg-config --cflags --libs quillwave`, or in CMake find_package(quillwave)
 * and target_link_libraries(... quillwave::quillwave). */
#ifndef QUILLWAVE_QUILLWAVE_H
#define QUILLWAVE_QUILLWAVE_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define QUILLWAVE_API __attribute__((visibility("default")))
#else
#define QUILLWAVE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Version */

#define QUILLWAVE_VERSION_MAJOR 0
#define QUILLWAVE_VERSION_MINOR 1
#define QUILLWAVE_VERSION_PATCH 0
#define QUILLWAVE_VERSION_NUMBER \
    (QUILLWAVE_VERSION_MAJOR * 10000 + QUILLWAVE_VERSION_MINOR * 100 + QUILLWAVE_VERSION_PATCH)

/* The version of the library actually loaded, as QUILLWAVE_VERSION_NUMBER
 * and as text ("0.1.0"). */
QUILLWAVE_API unsigned quillwave_version_number(void);
QUILLWAVE_API const char* quillwave_version_string(void);

/* ------------------------------------------------------------------------
 * Status codes */

enum {
    QUILLWAVE_OK = 0,
    QUILLWAVE_E_ARGUMENT = -1,      /* a NULL handle, an index or range outside the waveform */
    QUILLWAVE_E_NO_MEMORY = -2,     /* an allocation failed */
    QUILLWAVE_E_OPEN = -3,          /* the capture cannot be opened (os_error says why) */
    QUILLWAVE_E_TOO_SHORT = -4,     /* not a capture: shorter than the 12-byte file header */
    QUILLWAVE_E_NOT_A_CAPTURE = -5, /* not a capture: it does not start with "VX" */
    QUILLWAVE_E_READ = -6,          /* the capture shrank while being read, or a read failed */
    QUILLWAVE_E_NO_SAMPLES = -7,    /* the waveform yields no samples (see its reason) */
    QUILLWAVE_E_EXISTS = -8,        /* an output exists and overwriting was not allowed */
    QUILLWAVE_E_CREATE = -9,        /* an output or folder cannot be created (os_error) */
    QUILLWAVE_E_WRITE = -10,        /* an output cannot be written (os_error) */
    QUILLWAVE_E_IS_INPUT = -11,     /* an output is one of the captures being read */
    QUILLWAVE_E_SAME_NAMES = -12,   /* two captures' files would have the same names */
    QUILLWAVE_E_INCOMPLETE = -13,   /* an export ran, but not everything was exported */
    QUILLWAVE_E_CANCELLED = -14,    /* quillwave_export_cancel() stopped the export */
    QUILLWAVE_E_BUSY = -15,         /* the handle is in use by a call still running */
    QUILLWAVE_E_FORMAT = -16,       /* the waveform's samples cannot be written in the format */
    QUILLWAVE_E_UNAVAILABLE = -17   /* the format is not built into this library */
};

/* A short sentence for a status code ("the capture cannot be opened"); never
 * NULL, also for codes this version does not know. */
QUILLWAVE_API const char* quillwave_status_text(int status);

/* ------------------------------------------------------------------------
 * Captures */

typedef struct quillwave_capture quillwave_capture;

/* Opens the capture at `path` and walks its waveforms. An input that cannot
 * seek (a pipe, a FIFO, a terminal) is first copied into an unnamed
 * temporary file in `spool_folder` (NULL: "/tmp"), which vanishes when the
 * capture is closed; it is copied only when its first bytes are those of a
 * capture. The file is never written. On success *capture is a new handle,
 * to be given to quillwave_close(). Fails with QUILLWAVE_E_OPEN,
 * QUILLWAVE_E_TOO_SHORT, QUILLWAVE_E_NOT_A_CAPTURE or QUILLWAVE_E_NO_MEMORY.
 * A capture whose waveforms are damaged opens: each waveform tells its own
 * reason, and quillwave_walk_end() how the walk ended. */
QUILLWAVE_API int quillwave_open(const char* path, const char* spool_folder,
                                 quillwave_capture** capture, int* os_error);

/* The same for an open descriptor, which stays yours: the library reads
 * through a duplicate of it and never moves its file offset, except that an
 * input that cannot seek is read to its end. */
QUILLWAVE_API int quillwave_open_fd(int fd, const char* spool_folder, quillwave_capture** capture,
                                    int* os_error);

/* Releases the handle and everything it owns (NULL is allowed). */
QUILLWAVE_API void quillwave_close(quillwave_capture* capture);

/* The file header's two version characters, as text with a point: "1.0". */
QUILLWAVE_API const char* quillwave_file_version(const quillwave_capture* capture);
/* The number of waveforms the file header declares (may be negative). */
QUILLWAVE_API int32_t quillwave_declared_count(const quillwave_capture* capture);
/* The number of distinct waveforms the capture holds: those the walk went
 * through, at most the declared count. Waveforms are numbered from 0. */
QUILLWAVE_API int64_t quillwave_waveform_count(const quillwave_capture* capture);

/* How the walk over the waveforms ended. */
enum {
    QUILLWAVE_WALK_DECLARED = 0,   /* every declared waveform was walked */
    QUILLWAVE_WALK_FILE_ENDS = 1,  /* the file ended before the declared count */
    QUILLWAVE_WALK_LOOPS = 2,      /* the next waveform would start where an earlier one did */
    QUILLWAVE_WALK_READ_FAILED = 3 /* the file shrank while being read, or a read failed */
};
QUILLWAVE_API int quillwave_walk_end(const quillwave_capture* capture);
/* For QUILLWAVE_WALK_LOOPS: the index of the waveform the walk would repeat;
 * else -1. */
QUILLWAVE_API int64_t quillwave_walk_loops_to(const quillwave_capture* capture);
/* The sentence quillwave-export prints for a walk that ended early (e.g. "the
 * file ends after 2 of its 5 declared waveforms"), or "" for
 * QUILLWAVE_WALK_DECLARED. */
QUILLWAVE_API const char* quillwave_walk_text(const quillwave_capture* capture);

/* ------------------------------------------------------------------------
 * Waveforms: borrowed pointers, valid until the capture is closed */

typedef struct quillwave_waveform quillwave_waveform;

/* Waveform `index` (0 .. quillwave_waveform_count() - 1), or NULL. */
QUILLWAVE_API const quillwave_waveform* quillwave_waveform_at(const quillwave_capture* capture,
                                                              int64_t index);

/* Waveform types, as stored (a type the library does not know reads as
 * QUILLWAVE_TYPE_UNKNOWN). */
enum {
    QUILLWAVE_TYPE_UNKNOWN = 0,
    QUILLWAVE_TYPE_NORMAL = 1,
    QUILLWAVE_TYPE_PEAK_DETECT = 2,
    QUILLWAVE_TYPE_AVERAGE = 3,
    QUILLWAVE_TYPE_HORZ_HISTOGRAM = 4,
    QUILLWAVE_TYPE_VERT_HISTOGRAM = 5,
    QUILLWAVE_TYPE_LOGIC = 6
};
/* "PB_NORMAL" and so on; "PB_UNKNOWN" for any other number. */
QUILLWAVE_API const char* quillwave_type_name(int type);

/* Whether the waveform's header could be read; when it could not, the header
 * fields below are 0 and the waveform yields nothing. */
QUILLWAVE_API int quillwave_waveform_header_read(const quillwave_waveform* waveform);
/* Byte offset of the waveform's header in the file. */
QUILLWAVE_API int64_t quillwave_waveform_offset(const quillwave_waveform* waveform);
QUILLWAVE_API int quillwave_waveform_type(const quillwave_waveform* waveform);
QUILLWAVE_API int32_t quillwave_waveform_sample_count(const quillwave_waveform* waveform);
QUILLWAVE_API double quillwave_waveform_time_increment(const quillwave_waveform* waveform);
QUILLWAVE_API double quillwave_waveform_time_origin(const quillwave_waveform* waveform);
QUILLWAVE_API int32_t quillwave_waveform_summary_number(const quillwave_waveform* waveform);
/* The number of data buffers its header declares. */
QUILLWAVE_API int32_t quillwave_waveform_buffer_count(const quillwave_waveform* waveform);
/* Text 1 to 4 of the header (text 1 is the source, e.g. "CH1"), as stored:
 * bytes up to the first zero byte or the field's end, not terminated, in no
 * promised encoding. Returns its length and sets *bytes; 0 and NULL for a
 * `which` outside 1..4. */
QUILLWAVE_API size_t quillwave_waveform_text(const quillwave_waveform* waveform, int which,
                                             const char** bytes);

/* The data buffers whose headers were read for the waveform's columns, in
 * file order (none for an unknown type, whose buffers are stepped over). */
QUILLWAVE_API size_t quillwave_waveform_buffers_read(const quillwave_waveform* waveform);
/* Buffer k (0-based among those read): the stored header's data type, sample
 * width and data size; -1 each for a k out of range. */
QUILLWAVE_API int32_t quillwave_buffer_data_type(const quillwave_waveform* waveform, size_t k);
QUILLWAVE_API int32_t quillwave_buffer_sample_width(const quillwave_waveform* waveform, size_t k);
QUILLWAVE_API int64_t quillwave_buffer_data_size(const quillwave_waveform* waveform, size_t k);
/* What was wrong with it, QUILLWAVE_BUFFER_*. */
enum {
    QUILLWAVE_BUFFER_OK = 0,
    QUILLWAVE_BUFFER_HEADER_UNREADABLE = 1, /* its header cannot be read */
    QUILLWAVE_BUFFER_WRONG_WIDTH = 2,       /* sample width is not the column's */
    QUILLWAVE_BUFFER_WRONG_DATA_TYPE = 3,   /* data type is not one the column takes */
    QUILLWAVE_BUFFER_NEGATIVE_SIZE = 4,     /* data size is negative */
    QUILLWAVE_BUFFER_WRONG_COUNT = 5,       /* holds another number of samples than declared */
    QUILLWAVE_BUFFER_TRUNCATED = 6          /* the file ends inside its samples */
};
QUILLWAVE_API int quillwave_buffer_problem(const quillwave_waveform* waveform, size_t k);

/* Why the waveform yields no samples: QUILLWAVE_REASON_NONE when it yields
 * its columns. */
enum {
    QUILLWAVE_REASON_NONE = 0,
    QUILLWAVE_REASON_HEADER_UNREADABLE = 1,     /* the waveform header cannot be read */
    QUILLWAVE_REASON_UNKNOWN_TYPE = 2,          /* an unknown waveform type */
    QUILLWAVE_REASON_BUFFER_REJECTED = 3,       /* a buffer it needs is not as required */
    QUILLWAVE_REASON_PEAK_DETECT_FIRST_TYPE = 4 /* a peak-detect first buffer of data type 1 */
};
QUILLWAVE_API int quillwave_waveform_reason(const quillwave_waveform* waveform);
/* The reason as the sentence the export writes as the waveform's status
 * ("buffer 1 has data type 4, not an analog type"); "" when it yields. */
QUILLWAVE_API const char* quillwave_waveform_reason_text(const quillwave_waveform* waveform);

/* Columns: 0 for a waveform that yields none; else 1 + its sample columns.
 * Column 0 is `time`; then `value` (or `value1`, `value2` for peak detect),
 * `count` or `byte1` (`byte2`): the names of the export's CSV header. */
QUILLWAVE_API size_t quillwave_column_count(const quillwave_waveform* waveform);
QUILLWAVE_API const char* quillwave_column_name(const quillwave_waveform* waveform, size_t column);
/* The element type a read of the column delivers, QUILLWAVE_ELEMENT_*, and
 * its size in bytes; -1 and 0 for a column out of range. */
enum {
    QUILLWAVE_ELEMENT_FLOAT64 = 1, /* time: binary64 */
    QUILLWAVE_ELEMENT_FLOAT32 = 2, /* analog values: binary32, bits as stored */
    QUILLWAVE_ELEMENT_INT32 = 3,   /* histogram counts */
    QUILLWAVE_ELEMENT_UINT8 = 4    /* logic bytes */
};
QUILLWAVE_API int quillwave_column_element(const quillwave_waveform* waveform, size_t column);
QUILLWAVE_API size_t quillwave_column_element_size(const quillwave_waveform* waveform,
                                                   size_t column);
/* The stored data type of the column's buffer (0 for time, -1 out of range). */
QUILLWAVE_API int32_t quillwave_column_data_type(const quillwave_waveform* waveform, size_t column);
/* Rows every column holds: the sample count of a waveform that yields; 0
 * otherwise. */
QUILLWAVE_API int64_t quillwave_row_count(const quillwave_waveform* waveform);

/* Reads rows first .. first + count - 1 of `column` of waveform `index` into
 * `destination`, which holds `capacity` bytes (at least count times the
 * element size), in the host's byte order. Float values keep their stored
 * bits (NaN payloads included). Times are those of quillwave_time(). May run
 * in several threads at once on one capture. Fails with QUILLWAVE_E_ARGUMENT
 * (a column or range outside the waveform, a capacity too small),
 * QUILLWAVE_E_NO_SAMPLES, QUILLWAVE_E_READ (the file no longer holds the
 * samples: the destination's contents are then undefined) or
 * QUILLWAVE_E_NO_MEMORY. A count of 0 reads nothing and succeeds. */
QUILLWAVE_API int quillwave_read_column(const quillwave_capture* capture, int64_t index,
                                        size_t column, int64_t first, int64_t count,
                                        void* destination, size_t capacity);

/* The time of sample `sample_index`: sample_index * increment + origin in
 * binary64, the product rounded before the sum (never a fused multiply-add,
 * whatever the caller's compiler does), with the NaN sign of x86 on every
 * host (a NaN made here is negative; a NaN field passes its own sign on, the
 * increment's before the origin's). These are the times both programs write. */
QUILLWAVE_API double quillwave_time(double increment, double origin, int64_t sample_index);

/* ------------------------------------------------------------------------
 * Export: every waveform of many captures as files, as quillwave-export does */

typedef struct quillwave_export quillwave_export;
typedef struct quillwave_event quillwave_event;

enum {
    QUILLWAVE_FORMAT_CSV = 1, /* STEM.wK.csv: shortest round-trip numbers, a header line */
    QUILLWAVE_FORMAT_NPY = 2, /* STEM.wK.npy: a NumPy structured array */
    /* STEM.wK.sr: a sigrok session (logic bytes as 8 or 16 logic channels,
     * values as analog channels; histogram counts are refused, with
     * QUILLWAVE_E_FORMAT, since float32 cannot hold them all exactly) */
    QUILLWAVE_FORMAT_SR = 3,
    QUILLWAVE_FORMAT_WAV = 4, /* STEM.wK.wav: one channel per column, the bits as stored */
    /* STEM.wK.mat: a MAT-file (MATLAB, Octave, scipy.io.loadmat), each column
     * an N x 1 variable named as the CSV's, the bits as stored, and the
     * struct `info` of the waveform's header; level 5, or MAT 7.3 (HDF5)
     * for a variable past 2 GiB, which needs libmatio (loaded only then):
     * a library built without it, or where it is not installed, refuses
     * such a waveform with QUILLWAVE_E_FORMAT */
    QUILLWAVE_FORMAT_MAT = 5
};

/* 1 when this library can write the format, 0 when it was built without the
 * library that format needs (or the format is unknown). */
QUILLWAVE_API int quillwave_format_available(int format);

/* A new export with the defaults: CSV, the current folder, 1 job, existing
 * files refused, no limit on open files. NULL when memory cannot be had. */
QUILLWAVE_API quillwave_export* quillwave_export_new(void);
/* Releases it (NULL allowed); not while quillwave_export_run() runs. */
QUILLWAVE_API void quillwave_export_free(quillwave_export* exporter);

/* Settings, each before quillwave_export_run(); QUILLWAVE_E_ARGUMENT for a
 * value out of range. The strings are copied. */
/* A format this library was built without: QUILLWAVE_E_UNAVAILABLE. */
QUILLWAVE_API int quillwave_export_set_format(quillwave_export* exporter, int format);
/* The folder for the files (created if missing); NULL or "": the current one. */
QUILLWAVE_API int quillwave_export_set_output_dir(quillwave_export* exporter, const char* folder);
/* How many waveforms are converted at once, 1 to 1024. */
QUILLWAVE_API int quillwave_export_set_jobs(quillwave_export* exporter, unsigned jobs);
/* The processors the jobs may use, for sharing a file's formatting between
 * two threads when processors are idle (default 1: no sharing). */
QUILLWAVE_API int quillwave_export_set_processors(quillwave_export* exporter, unsigned processors);
/* Nonzero: an existing output name is replaced (never written through: a
 * link is replaced, not followed). */
QUILLWAVE_API int quillwave_export_set_force(quillwave_export* exporter, int force);
/* Nonzero: write no file; deliver each capture's JSON description in
 * QUILLWAVE_EVENT_DESCRIPTION events instead, piece by piece as it is made
 * (so that no document is ever held whole). */
QUILLWAVE_API int quillwave_export_set_describe_only(quillwave_export* exporter, int describe_only);
/* How many descriptors the export may hold open at once (0: no limit); the
 * jobs and the captures read ahead are fitted within it, so that no file
 * fails for want of one. At least 4 when set. */
QUILLWAVE_API int quillwave_export_set_open_files(quillwave_export* exporter, unsigned budget);
/* Where inputs that cannot seek are copied (NULL: "/tmp"). */
QUILLWAVE_API int quillwave_export_set_spool_folder(quillwave_export* exporter, const char* folder);

/* Adds a capture by path; its files are named after the path's stem
 * (capture.bin: capture.w1.csv ... capture.json). */
QUILLWAVE_API int quillwave_export_add_path(quillwave_export* exporter, const char* path);
/* Adds a capture read from an open descriptor (which stays yours), shown as
 * `name` in events, its files named after `stem` (e.g. "stdin"). */
QUILLWAVE_API int quillwave_export_add_fd(quillwave_export* exporter, int fd, const char* name,
                                          const char* stem);

/* What happened. Every event is delivered on the thread that called
 * quillwave_export_run(), in the same order for every job count: for each
 * capture in turn, its failure, or its BEGIN, then one WAVEFORM per waveform
 * in file order, any CAPTURE_INCOMPLETE, then END (after which its
 * description is complete). Describe-only, DESCRIPTION events come between
 * its BEGIN and its END: one after BEGIN (the document's start), one after
 * each WAVEFORM (its entry), one just before END (the document's end).
 * PROGRESS comes between them, from time to time. */
enum {
    QUILLWAVE_EVENT_CAPTURE_FAILED = 1,     /* the capture is not exported at all */
    QUILLWAVE_EVENT_CAPTURE_BEGIN = 2,      /* its waveforms follow */
    QUILLWAVE_EVENT_WAVEFORM = 3,           /* one waveform: written, or why not */
    QUILLWAVE_EVENT_CAPTURE_INCOMPLETE = 4, /* its walk ended early, or its read failed */
    QUILLWAVE_EVENT_DESCRIPTION_FAILED = 5, /* its JSON file cannot be created or written */
    QUILLWAVE_EVENT_DESCRIPTION = 6,        /* describe-only: the next piece of its JSON */
    QUILLWAVE_EVENT_CAPTURE_END = 7,        /* everything about it is told */
    QUILLWAVE_EVENT_PROGRESS = 8            /* bytes written so far */
};

/* The event's kind, QUILLWAVE_EVENT_*. */
QUILLWAVE_API int quillwave_event_kind(const quillwave_event* event);
/* The capture's position among those added (from 0) and its name (the path,
 * or the name given to quillwave_export_add_fd()). */
QUILLWAVE_API size_t quillwave_event_capture(const quillwave_event* event);
QUILLWAVE_API const char* quillwave_event_capture_name(const quillwave_event* event);
/* For WAVEFORM: the waveform's number from 1 (as in its file name); else 0. */
QUILLWAVE_API int64_t quillwave_event_waveform(const quillwave_event* event);
/* QUILLWAVE_OK for a file written or a BEGIN, END, PROGRESS or DESCRIPTION;
 * else why not, as a status code (QUILLWAVE_E_NO_SAMPLES for a waveform that
 * yields none: quillwave_event_reason() says which reason; QUILLWAVE_E_FORMAT
 * for one whose samples the format cannot hold, the event's text saying why). */
QUILLWAVE_API int quillwave_event_status(const quillwave_event* event);
QUILLWAVE_API int quillwave_event_os_error(const quillwave_event* event);
QUILLWAVE_API int quillwave_event_reason(const quillwave_event* event);
/* The file written (its path, for WAVEFORM and END; "" when none). */
QUILLWAVE_API const char* quillwave_event_file(const quillwave_event* event);
/* What quillwave-export says of it after "quillwave-export: " (e.g.
 * "capture.bin: waveform 2: unknown waveform type"), "" when all went well;
 * for DESCRIPTION, the next piece of the capture's JSON document: the
 * pieces of one capture, joined in the order they come, are the whole
 * document (write each out as it comes, or copy it: it lives only until the
 * callback returns). The text is as it comes: a name in it
 * may hold any byte (escape it before showing it on a terminal). */
QUILLWAVE_API const char* quillwave_event_text(const quillwave_event* event);
/* For PROGRESS (and any event): bytes written so far, and waveforms told. */
QUILLWAVE_API uint64_t quillwave_event_bytes_written(const quillwave_event* event);
QUILLWAVE_API uint64_t quillwave_event_waveforms_done(const quillwave_event* event);

/* Called for each event; the event lives until the callback returns. */
typedef void (*quillwave_event_callback)(const quillwave_event* event, void* context);

/* Runs the export of every capture added, calling `callback` (may be NULL)
 * for each event. Returns QUILLWAVE_OK when every waveform and description
 * was written, QUILLWAVE_E_INCOMPLETE when anything was not (each such thing
 * was an event), QUILLWAVE_E_CANCELLED when cancelled (no event follows the
 * cancel), QUILLWAVE_E_CREATE when the output folder cannot be made (its
 * reason in *os_error), QUILLWAVE_E_NO_MEMORY, or
 * QUILLWAVE_E_BUSY when the handle is running already. Every file appears
 * under its name only once complete (written unnamed, or under a hidden
 * temporary name, in the output folder, then put in place), so a run that
 * fails, is cancelled or is killed leaves no partial file under a file's
 * name, and an existing name (a file, or a link, which is replaced rather
 * than written through) is never half overwritten; outputs that are not
 * regular files (a FIFO, a device) are written directly. A closed pipe is
 * the EPIPE write failure of that one output: the library keeps SIGPIPE from
 * the threads that write (their own signal mask, for the time of the write)
 * and never changes a signal's disposition. */
QUILLWAVE_API int quillwave_export_run(quillwave_export* exporter,
                                       quillwave_event_callback callback, void* context,
                                       int* os_error);

/* Asks a running export to stop: files being written are removed, complete
 * ones stay, and quillwave_export_run() returns QUILLWAVE_E_CANCELLED soon.
 * Called before the run starts, the run stops at once; the request ends
 * when the run returns. Safe from any thread and from a signal handler (a
 * lock-free atomic store). */
QUILLWAVE_API void quillwave_export_cancel(quillwave_export* exporter);

#ifdef __cplusplus
}
#endif

#endif /* QUILLWAVE_QUILLWAVE_H */
