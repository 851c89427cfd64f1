#include "zvfd/progress.h"

#include <algorithm>

namespace zvfd {

void Progress::report() {
    const std::uint64_t done = std::min<std::uint64_t>(done_, total_);
    for (const char* prefix : prefixes_) out_.progress(prefix, done, total_);
}

}  // namespace zvfd
