// The library's version and the sentences of its status codes.
#include "quillwave/quillwave.h"

#ifndef QUILLWAVE_VERSION
#define QUILLWAVE_VERSION "unknown"
#endif

extern "C" {

unsigned quillwave_version_number(void) { return QUILLWAVE_VERSION_NUMBER; }

const char* quillwave_version_string(void) { return QUILLWAVE_VERSION; }

const char* quillwave_status_text(int status) {
    switch (status) {
        case QUILLWAVE_OK:
            return "success";
        case QUILLWAVE_E_ARGUMENT:
            return "invalid argument (a null handle, or an index or range outside the waveform)";
        case QUILLWAVE_E_NO_MEMORY:
            return "not enough memory";
        case QUILLWAVE_E_OPEN:
            return "the capture cannot be opened";
        case QUILLWAVE_E_TOO_SHORT:
            return "not a capture: shorter than the 12-byte file header";
        case QUILLWAVE_E_NOT_A_CAPTURE:
            return "not a capture: it does not start with \"VX\"";
        case QUILLWAVE_E_READ:
            return "cannot read the capture: it shrank while being read, or a read failed";
        case QUILLWAVE_E_NO_SAMPLES:
            return "the waveform yields no samples";
        case QUILLWAVE_E_EXISTS:
            return "the output exists";
        case QUILLWAVE_E_CREATE:
            return "the output cannot be created";
        case QUILLWAVE_E_WRITE:
            return "the output cannot be written";
        case QUILLWAVE_E_IS_INPUT:
            return "the output is one of the captures being read";
        case QUILLWAVE_E_SAME_NAMES:
            return "two captures' files would have the same names";
        case QUILLWAVE_E_INCOMPLETE:
            return "not everything was exported";
        case QUILLWAVE_E_CANCELLED:
            return "cancelled";
        case QUILLWAVE_E_BUSY:
            return "the handle is in use by another call";
        case QUILLWAVE_E_FORMAT:
            return "the samples cannot be written in this format";
        case QUILLWAVE_E_UNAVAILABLE:
            return "the format is not built into this library";
        default:
            return "unknown status";
    }
}

}  // extern "C"
