// The MAT 7.3 writer, for waveforms with a variable past level 5's limit:
// an HDF5 file through libmatio, the same variables as the level 5 file's,
// each column appended a chunk at a time (flat memory), then `info`.
//
// libmatio and HDF5 open the file by name: the output's descriptor through
// /proc, which is why the export gives such a file a hidden temporary name
// rather than none (an unnamed O_TMPFILE file cannot be opened so). Kept quiet and harmless as far
// as they let us:
//  - HDF5 prints its error stack on stderr unless told not to: printing is
//    turned off on this thread while we write, and put back as it was.
//  - libmatio logs only once a program has installed its log function
//    (Mat_LogInit), which we never do, nor call what aborts (Mat_Error).
//  - after a failed HDF5 write, further calls on the file have crashed
//    HDF5 at exit: the first failure ends the file (closed, nothing more).
//    The space is had first (posix_fallocate right after HDF5 created the
//    file; HDF5 trims the file to its end when it closes it), so a full
//    disk or a size limit is told before HDF5 writes the data.
//  - the file must seek: any other output is refused with ESPIPE up front.
// One file at a time: HDF5's state is the process's.
//
// libmatio is loaded (with HDF5 and what it links) when the first 7.3 file
// is to be written, not with our library, and never unloaded: HDF5 keeps
// an exit handler and cannot be unloaded safely. Its headers give each
// function's type; the functions are called through the table below only.
#include <dlfcn.h>
#include <fcntl.h>
#include <hdf5.h>
#include <matio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "export_output/format_files.h"

namespace quillwave {
namespace {

constexpr size_t kChunkBytes = size_t{4} << 20;
// HDF5's metadata beside the data: libmatio's chunks are of 512 elements,
// each with a few bytes of index; this is well above what it takes.
constexpr uint64_t kMetadataPerChunk = 64;
constexpr uint64_t kMetadataRoom = uint64_t{1} << 20;

// No date: libmatio would put the time of day in its own.
constexpr const char* kHeaderText = "MATLAB 7.3 MAT-file, written by quillwave";

struct Matio {
    decltype(&Mat_CreateVer) createVer = nullptr;
    decltype(&Mat_VarCreate) varCreate = nullptr;
    decltype(&Mat_VarCreateStruct2) varCreateStruct2 = nullptr;
    decltype(&Mat_VarSetStructFieldByName) varSetStructFieldByName = nullptr;
    decltype(&Mat_VarWrite) varWrite = nullptr;
    decltype(&Mat_VarWriteAppend) varWriteAppend = nullptr;
    decltype(&Mat_VarFree) varFree = nullptr;
    decltype(&Mat_Close) close = nullptr;
    // HDF5's, found through libmatio's handle (dlsym searches its dependencies).
    decltype(&H5Eget_auto2) eGetAuto2 = nullptr;
    decltype(&H5Eset_auto2) eSetAuto2 = nullptr;
    // Empty when every function was found, else why not.
    std::string problem;
};

template <typename Function>
void Resolve(void* handle, const char* name, Function& function, std::string& problem) {
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        if (problem.empty()) problem = std::string(QUILLWAVE_MATIO_SONAME " lacks ") + name;
        return;
    }
    function = std::bit_cast<Function>(symbol);
}

Matio LoadMatio() {
    Matio matio;
    void* handle = dlopen(QUILLWAVE_MATIO_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        matio.problem = QUILLWAVE_MATIO_SONAME " could not be loaded";
    } else {
        Resolve(handle, "Mat_CreateVer", matio.createVer, matio.problem);
        Resolve(handle, "Mat_VarCreate", matio.varCreate, matio.problem);
        Resolve(handle, "Mat_VarCreateStruct2", matio.varCreateStruct2, matio.problem);
        Resolve(handle, "Mat_VarSetStructFieldByName", matio.varSetStructFieldByName,
                matio.problem);
        Resolve(handle, "Mat_VarWrite", matio.varWrite, matio.problem);
        Resolve(handle, "Mat_VarWriteAppend", matio.varWriteAppend, matio.problem);
        Resolve(handle, "Mat_VarFree", matio.varFree, matio.problem);
        Resolve(handle, "Mat_Close", matio.close, matio.problem);
        Resolve(handle, "H5Eget_auto2", matio.eGetAuto2, matio.problem);
        Resolve(handle, "H5Eset_auto2", matio.eSetAuto2, matio.problem);
    }
    // The failure's message would otherwise wait for the program's next dlerror().
    dlerror();
    return matio;
}

// Loaded once, by whichever thread needs it first.
const Matio& Library() {
    static const Matio matio = LoadMatio();
    return matio;
}

std::mutex& Hdf5Mutex() {
    static std::mutex mutex;
    return mutex;
}

// HDF5's error printing off on this thread, restored when done.
class QuietHdf5 {
  public:
    explicit QuietHdf5(const Matio& matio) : matio_(matio) {
        matio_.eGetAuto2(H5E_DEFAULT, &function_, &data_);
        matio_.eSetAuto2(H5E_DEFAULT, nullptr, nullptr);
    }
    QuietHdf5(const QuietHdf5&) = delete;
    QuietHdf5& operator=(const QuietHdf5&) = delete;
    ~QuietHdf5() { matio_.eSetAuto2(H5E_DEFAULT, function_, data_); }

  private:
    const Matio& matio_;
    H5E_auto2_t function_ = nullptr;
    void* data_ = nullptr;
};

// MatColumn's numbers are the file's, which libmatio's enums keep.
static_assert(MAT_C_DOUBLE == 6 && MAT_C_SINGLE == 7 && MAT_C_INT32 == 12 && MAT_C_UINT8 == 9);
static_assert(MAT_T_DOUBLE == 9 && MAT_T_SINGLE == 7 && MAT_T_INT32 == 5 && MAT_T_UINT8 == 2);

// Little-endian elements of `width` bytes into the host's order, in place.
void ToHostOrder(unsigned char* elements, size_t count, size_t width) {
    if constexpr (std::endian::native == std::endian::little) return;
    for (unsigned char* element = elements; element < elements + count * width; element += width) {
        std::reverse(element, element + width);
    }
}

// The errno of a failed libmatio call, EIO when HDF5 left none.
int ErrorOf(int error) { return error != 0 ? error : EIO; }

template <size_t N>
std::string_view TextOf(const std::array<char, N>& field) {
    return {field.data(), strnlen(field.data(), N)};
}

// A field of `info`: libmatio copies the data.
matvar_t* Field(const Matio& matio, matio_classes arrayClass, matio_types dataType, size_t columns,
                const void* data) {
    size_t dims[2] = {1, columns};
    return matio.varCreate(nullptr, arrayClass, dataType, 2, dims, const_cast<void*>(data), 0);
}

matvar_t* TextField(const Matio& matio, std::string_view text) {
    const std::u16string units = MatCharacters(text);
    std::vector<mat_uint16_t> native(units.begin(), units.end());
    return Field(matio, MAT_C_CHAR, MAT_T_UINT16, native.size(), native.data());
}

// Writes `info`; false when a call failed.
bool WriteInfo(const Matio& matio, mat_t* mat, const WaveformSamples& samples) {
    const WaveformHeader& header = samples.header;
    const char* const names[] = {"type",          "sampleCount",  "timeIncrement", "timeOrigin",
                                 "summaryNumber", "summaryText1", "summaryText2",  "summaryText3",
                                 "summaryText4",  nullptr};
    const size_t dims[2] = {1, 1};
    matvar_t* info = matio.varCreateStruct2("info", 2, dims, names);
    if (info == nullptr) return false;
    const char* type = header.waveformType >= 0 && header.waveformType < PB_WAVEFORM_TYPE_COUNT
                           ? waveformTable[static_cast<size_t>(header.waveformType)]
                           : "";
    matvar_t* fields[] = {
        TextField(matio, type),
        Field(matio, MAT_C_INT32, MAT_T_INT32, 1, &header.sampleCount),
        Field(matio, MAT_C_DOUBLE, MAT_T_DOUBLE, 1, &header.timeIncrement),
        Field(matio, MAT_C_DOUBLE, MAT_T_DOUBLE, 1, &header.timeOrigin),
        Field(matio, MAT_C_INT32, MAT_T_INT32, 1, &header.summaryNumber),
        TextField(matio, TextOf(header.summaryText1)),
        TextField(matio, TextOf(header.summaryText2)),
        TextField(matio, TextOf(header.summaryText3)),
        TextField(matio, TextOf(header.summaryText4)),
    };
    bool complete = true;
    for (size_t f = 0; f < std::size(fields); ++f) {
        // The struct owns each field set (and frees them with itself).
        if (fields[f] == nullptr) {
            complete = false;
        } else {
            matio.varSetStructFieldByName(info, names[f], 0, fields[f]);
        }
    }
    const bool written = complete && matio.varWrite(mat, info, MAT_COMPRESSION_NONE) == 0;
    matio.varFree(info);
    return written;
}

}  // namespace

const std::string& Mat73Problem() { return Library().problem; }

FormatFileResult WriteMat73File(InputStream& stream, const WaveformSamples& samples, int fd,
                                const std::atomic<bool>* stop) {
    FormatFileResult result;
    const Matio& matio = Library();
    if (!matio.problem.empty()) return result;  // refused before (FormatRefusal)
    const int32_t rows = RowCount(samples);
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        result.writeError = errno;
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.writeError = ESPIPE;  // HDF5 seeks and reads back
        return result;
    }
    uint64_t estimate = kMetadataRoom;
    for (size_t c = 0; c <= samples.columnCount; ++c) {
        const auto elements = static_cast<uint64_t>(rows);
        estimate +=
            elements * MatColumnOf(samples, c).width + (elements / 512 + 1) * kMetadataPerChunk;
    }
    const auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kChunkBytes);
    const std::lock_guard<std::mutex> lock(Hdf5Mutex());
    const QuietHdf5 quiet(matio);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    errno = 0;
    mat_t* mat = matio.createVer(path.c_str(), kHeaderText, MAT_FT_MAT73);
    if (mat == nullptr) {
        result.writeError = ErrorOf(errno);
        return result;
    }
    // Only now: HDF5 creates the file truncated, which would give the
    // reserved space back. Kept beyond the file's end, so that the file's
    // size stays HDF5's own (given back once written); a file system that
    // cannot reserve so is written without.
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(estimate)) != 0 &&
        errno != EOPNOTSUPP) {
        result.writeError = errno;
        matio.close(mat);
        return result;
    }
    bool stopped = false;
    int error = 0;
    for (size_t c = 0; c <= samples.columnCount && error == 0 && !result.readFailed; ++c) {
        const MatColumn column = MatColumnOf(samples, c);
        const auto arrayClass = static_cast<matio_classes>(column.arrayClass);
        const auto dataType = static_cast<matio_types>(column.dataType);
        const size_t chunk = kChunkBytes / column.width;
        if (rows == 0) {
            size_t dims[2] = {0, 1};
            matvar_t* empty = matio.varCreate(column.name, arrayClass, dataType, 2, dims, nullptr,
                                              MAT_F_DONT_COPY_DATA);
            errno = 0;
            if (empty == nullptr || matio.varWrite(mat, empty, MAT_COMPRESSION_NONE) != 0) {
                error = ErrorOf(errno);
            }
            matio.varFree(empty);
            continue;
        }
        for (int32_t first = 0; first < rows; first += static_cast<int32_t>(chunk)) {
            const auto count =
                static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk), rows - first));
            if (Stopped(stop)) {
                stopped = true;
                break;
            }
            if (!LoadMatColumn(stream, samples, c, first, count, buffer.get())) {
                result.readFailed = true;
                break;
            }
            // libmatio takes the host's byte order.
            ToHostOrder(buffer.get(), count, column.width);
            size_t dims[2] = {count, 1};
            matvar_t* part = matio.varCreate(column.name, arrayClass, dataType, 2, dims,
                                             buffer.get(), MAT_F_DONT_COPY_DATA);
            errno = 0;
            if (part == nullptr || matio.varWriteAppend(mat, part, MAT_COMPRESSION_NONE, 1) != 0) {
                error = ErrorOf(errno);
            }
            matio.varFree(part);
            if (error != 0) break;
        }
        if (stopped) break;
    }
    if (error == 0 && !stopped && !result.readFailed) {
        errno = 0;
        if (!WriteInfo(matio, mat, samples)) error = ErrorOf(errno);
    }
    errno = 0;
    if (matio.close(mat) != 0 && error == 0) error = ErrorOf(errno);
    // The reserved blocks past the end that HDF5 did not use are given back
    // (a truncation to the file's own size frees them).
    struct stat written {};
    if (error == 0 && fstat(fd, &written) == 0 && ftruncate(fd, written.st_size) != 0) {
        error = errno;
    }
    result.writeError = error;
    result.written = error == 0 && !result.readFailed && !stopped;
    return result;
}

}  // namespace quillwave
