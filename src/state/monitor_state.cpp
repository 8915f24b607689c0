#include "state/monitor_state.h"

namespace pelmora {

MonitorState state;

void resetMonitorState()
{
    static const MonitorState initial;
    state = initial;
}

} // namespace pelmora
