/* capture_dump: prints every waveform of a capture with the exact bits of
 * its numbers, using only libquillwave's public interface.
 *
 *   capture_dump CAPTURE
 *
 * For each waveform K (from 0): "waveform K TYPE N", then N lines, each the
 * sample's time as the 16 hex digits of its binary64 bits, then each column
 * (float32 values as the 8 hex digits of their bits, counts as %d, bytes as
 * %u), separated by single spaces; or "waveform K none REASON" for one that
 * yields no samples. Build it with
 *   cc capture_dump.c $(pkg-config --cflags --libs quillwave) -o capture_dump */
#include <errno.h>
#include <inttypes.h>
#include <quillwave/quillwave.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kBlockRows = 65536, kMaxColumns = 3 };

static int Fail(const char* path, const char* what, int status, int os_error) {
    fprintf(stderr, "capture_dump: %s: %s: %s%s%s\n", path, what, quillwave_status_text(status),
            os_error != 0 ? ": " : "", os_error != 0 ? strerror(os_error) : "");
    return 1;
}

static void PrintElement(int element, const unsigned char* column, size_t row) {
    uint64_t bits64;
    uint32_t bits32;
    int32_t count;
    switch (element) {
        case QUILLWAVE_ELEMENT_FLOAT64:
            memcpy(&bits64, column + 8 * row, sizeof bits64);
            printf("%016" PRIx64, bits64);
            break;
        case QUILLWAVE_ELEMENT_FLOAT32:
            memcpy(&bits32, column + 4 * row, sizeof bits32);
            printf(" %08" PRIx32, bits32);
            break;
        case QUILLWAVE_ELEMENT_INT32:
            memcpy(&count, column + 4 * row, sizeof count);
            printf(" %d", (int)count);
            break;
        default:
            printf(" %u", (unsigned)column[row]);
            break;
    }
}

/* Prints the rows of waveform `index`, a block at a time, so memory stays
 * flat whatever the waveform's size. */
static int DumpRows(const char* path, const quillwave_capture* capture, int64_t index) {
    const quillwave_waveform* waveform = quillwave_waveform_at(capture, index);
    const size_t columns = quillwave_column_count(waveform);
    const int64_t rows = quillwave_row_count(waveform);
    unsigned char* blocks[kMaxColumns] = {NULL, NULL, NULL};
    int elements[kMaxColumns] = {0, 0, 0};
    int status = QUILLWAVE_OK;
    for (size_t c = 0; c < columns && c < kMaxColumns; ++c) {
        elements[c] = quillwave_column_element(waveform, c);
        blocks[c] = malloc(kBlockRows * quillwave_column_element_size(waveform, c));
        if (blocks[c] == NULL) status = QUILLWAVE_E_NO_MEMORY;
    }
    for (int64_t first = 0; status == QUILLWAVE_OK && first < rows; first += kBlockRows) {
        const int64_t count = rows - first < kBlockRows ? rows - first : kBlockRows;
        for (size_t c = 0; c < columns && status == QUILLWAVE_OK; ++c) {
            status = quillwave_read_column(capture, index, c, first, count, blocks[c],
                                           kBlockRows * quillwave_column_element_size(waveform, c));
        }
        for (int64_t row = 0; status == QUILLWAVE_OK && row < count; ++row) {
            for (size_t c = 0; c < columns; ++c) PrintElement(elements[c], blocks[c], (size_t)row);
            putchar('\n');
        }
    }
    for (size_t c = 0; c < kMaxColumns; ++c) free(blocks[c]);
    return status == QUILLWAVE_OK ? 0 : Fail(path, "cannot read its samples", status, 0);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: capture_dump CAPTURE\n");
        return 2;
    }
    quillwave_capture* capture = NULL;
    int os_error = 0;
    const int status = quillwave_open(argv[1], NULL, &capture, &os_error);
    if (status != QUILLWAVE_OK) return Fail(argv[1], "cannot open it", status, os_error);
    int result = 0;
    for (int64_t k = 0; result == 0 && k < quillwave_waveform_count(capture); ++k) {
        const quillwave_waveform* waveform = quillwave_waveform_at(capture, k);
        if (quillwave_waveform_reason(waveform) != QUILLWAVE_REASON_NONE) {
            printf("waveform %" PRId64 " none %s\n", k, quillwave_waveform_reason_text(waveform));
            continue;
        }
        printf("waveform %" PRId64 " %s %" PRId64 "\n", k,
               quillwave_type_name(quillwave_waveform_type(waveform)),
               quillwave_row_count(waveform));
        result = DumpRows(argv[1], capture, k);
    }
    quillwave_close(capture);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "capture_dump: cannot write standard output: %s\n", strerror(errno));
        return 1;
    }
    return result;
}
