/* The public header used from C (built as C99 with every warning an error):
 * a capture opened, its first waveform's columns read, failures told. Exit
 * status 0 when all is as expected. */
#include <quillwave/quillwave.h>
#include <stdio.h>
#include <string.h>

#define CHECK(condition)                                                           \
    do {                                                                           \
        if (!(condition)) {                                                        \
            fprintf(stderr, "%s:%d: %s failed\n", __FILE__, __LINE__, #condition); \
            return 1;                                                              \
        }                                                                          \
    } while (0)

int main(int argc, char** argv) {
    quillwave_capture* capture = NULL;
    const quillwave_waveform* first;
    double times[4];
    float values[4];
    int os_error = -1;
    CHECK(argc == 2);
    CHECK(quillwave_open("/nonexistent/capture.bin", NULL, &capture, &os_error) ==
          QUILLWAVE_E_OPEN);
    CHECK(capture == NULL && os_error != 0);
    CHECK(quillwave_open(argv[1], NULL, &capture, &os_error) == QUILLWAVE_OK);
    CHECK(quillwave_waveform_count(capture) >= 1);
    first = quillwave_waveform_at(capture, 0);
    CHECK(quillwave_waveform_type(first) == QUILLWAVE_TYPE_NORMAL);
    CHECK(strcmp(quillwave_column_name(first, 1), "value") == 0);
    CHECK(quillwave_read_column(capture, 0, 0, 0, 4, times, sizeof times) == QUILLWAVE_OK);
    CHECK(quillwave_read_column(capture, 0, 1, 0, 4, values, sizeof values) == QUILLWAVE_OK);
    CHECK(times[1] == quillwave_time(quillwave_waveform_time_increment(first),
                                     quillwave_waveform_time_origin(first), 1));
    CHECK(quillwave_version_number() == QUILLWAVE_VERSION_NUMBER);
    quillwave_close(capture);
    quillwave_close(NULL);
    puts("C interface ok");
    return 0;
}
