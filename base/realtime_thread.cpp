#include "realtime_thread.h"

#include <sched.h>

namespace sonarello
{

bool setRealtimePriority(pthread_t thread, int priority) noexcept
{
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(thread, priority > 0 ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

int lowestRealtimePriority() noexcept
{
    return sched_get_priority_min(SCHED_FIFO);
}

} // namespace sonarello
