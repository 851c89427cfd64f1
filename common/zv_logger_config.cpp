// The logger configuration file: read on the first log line of a process.
#include "common/zv_logger.h"

bool ZvLogStream::load_properties() { return false; }

void ZvLogStream::set_properties(ZvLogLvl::Level level, unsigned long max_size_mb,
                                 unsigned long max_rotate) {
    global_log_level_ = ZvLogLvl::get_mask(level);
    ZvDestination::FileLogger::set_max_size(max_size_mb);
    ZvDestination::FileLogger::set_max_rotate(max_rotate);
}
