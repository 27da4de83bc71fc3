#pragma once

// Every failure the GPU backends report is one line on standard error that
// begins "tamrix-miner: "; this writes it (the text is printf-formatted, no
// newline) and returns -1, the backend's failure status.
int report_backend_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));
