#include "state/monitor_state.h"

MonitorState state;

void resetMonitorState()
{
    static const MonitorState initial;
    state = initial;
}
