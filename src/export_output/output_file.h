// The export's output files: each appears under its name only once it is
// complete. A file is written unnamed (O_TMPFILE in its folder) and linked
// into place, or, where that is not to be had, written under a hidden
// temporary name (.NAME.XXXXXX) and renamed. So a failed, cancelled or
// killed run never leaves a partial file under an output's name, and with
// --force an existing name (a file, or a link, which is replaced rather than
// written through) is never half overwritten. Without --force an existing
// name is refused, also one that appears while the file is written.
//
// An existing output that is not a regular file (a FIFO, a device, also
// through a link) is written in place: there is nothing to replace.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>

namespace quillwave {

// Why an output could not be had.
enum class OutputFailure : uint8_t {
    None,
    Exists,        // the name exists and overwriting was not asked for
    CannotCreate,  // creating or placing the file failed (error)
    CannotWrite,   // writing or closing it failed (error)
    IsInput,       // the name is one of the captures being read
};

using FileIdentity = std::pair<dev_t, ino_t>;

struct PendingOutput {
    std::string path;        // the name it gets once complete
    std::string hiddenPath;  // the hidden temporary name it is written under, if any
    int fd = -1;
    bool unnamed = false;   // O_TMPFILE: no name until linked
    bool inPlace = false;   // an existing FIFO or device, written directly
    uint64_t reserved = 0;  // bytes of space reserved past the file's end
    PendingOutput() = default;
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;
    // Whatever was not completed is discarded.
    ~PendingOutput();
};

struct OutputOutcome {
    OutputFailure failure = OutputFailure::None;
    int error = 0;  // errno, for CannotCreate and CannotWrite
};

// Starts the output `path`; `inputs` are the captures that must never be
// overwritten. Without `unnamedAllowed` a file system without O_TMPFILE is
// taken for granted (a hidden temporary name), which tests use.
OutputOutcome BeginOutput(PendingOutput& output, const std::string& path, bool force,
                          const std::set<FileIdentity>& inputs, bool unnamedAllowed = true);

// Reserves `bytes` of space for the file before it is written, past
// its end (its size stays what is written): so that the file system need
// not find room for each block as it is written, which took half of the
// time of writing a file. Where it cannot be had (a file system without
// it, too little room, 0 bytes), the file is written without, as before.
// Space left over is given back when the file is completed; a discarded
// file gives back all of it before it is closed.
void ReserveOutputSpace(PendingOutput& output, uint64_t bytes);

// Puts the written file in place under its name and closes it (without
// --force, refused when the name has appeared meanwhile). On failure the
// file is discarded.
OutputOutcome CompleteOutput(PendingOutput& output, bool force);

// Closes the file and removes what was written of it (a file in place
// stays as it is).
void DiscardOutput(PendingOutput& output);

// Opens an output where it is (following links), created with `create`:
// without waiting for a FIFO's reader (with none, the open fails at once
// instead of hanging), then blocking as any file. -1 with errno on failure;
// else the descriptor, with what it is in *info. The export writes
// existing FIFOs and devices so; quillwave every output.
int OpenOutputInPlace(const char* path, bool create, struct stat* info);

// The message text of a failure ("PATH exists (use --force to overwrite)").
std::string OutputFailureText(const std::string& path, const OutputOutcome& outcome);

// The errno's text (thread-safe).
std::string ErrorText(int error);

}  // namespace quillwave
