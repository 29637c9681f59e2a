// macOS, the BSDs (and Windows, which has its own close): nothing to change.
#include "link/closing_wait.h"

void drop_closing_wait(int /*fd*/) {}

void prepare_close(int /*fd*/) {}
