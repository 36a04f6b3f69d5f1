// Helpers shared by the tests: streams over composed bytes, printf as the
// oracle for expected text, and running the built program.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "text_output/text_sink.h"
#include "waveform_file/input_stream.h"
#include "waveform_writer/waveform_writer.h"

namespace quillwave::testing {

using writer::Bytes;

// An input stream over `bytes`, held by an anonymous in-memory file so the
// stream reads through the same system calls as with a file on disk.
InputStream StreamOver(const Bytes& bytes);

// Three small waveforms: normal (two values, texts with a non-ASCII byte and
// a quote), vertical histogram (one negative count, summary number 4) and
// two-buffer logic (one sample).
Bytes ThreeWaveforms();
// Normal waveforms of `counts` random binary32 values each (any bits, NaNs
// included), time increment 1 ns, from a generator seeded with `seed`.
Bytes RandomAnalog(const std::vector<int32_t>& counts, unsigned seed = 7);

// printf's text for `format`: the oracle for expected lines.
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A fresh folder under the temporary directory, removed with its contents
// when the object goes out of scope.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string ReadFileText(const std::string& path);
bool FileExists(const std::string& path);

struct RunResult {
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
    int status = -1;  // exit status, or -1 if killed by a signal
};

// Runs the built quillwave binary with `args` (program name excluded), and
// with `environment` ("NAME=value") added to this process's environment.
RunResult RunQuillwaveBinary(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment = {});

}  // namespace quillwave::testing
