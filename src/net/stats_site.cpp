#include "net/stats_site.h"

#include "app/monitor_state.h"

const char* statsHostLabel()
{
    return state.khost[0] != '\0' ? state.khost : kDefaultStatsHost;
}

int submitUnitStats()
{
    // The HTTP submission is not wired in yet: nothing is sent.
    return -1;
}
