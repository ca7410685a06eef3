// trace.cpp - the tracing hook. This build traces nothing.
#include "vnlib.h"

namespace vn {

void trace_log(const char* /*format*/, ...) {}

}  // namespace vn
