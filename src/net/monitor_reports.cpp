#include "net/monitor_reports.h"

// The TCP reports are not wired in yet: nothing is sent and no command comes back.
void sendStatusReport() {}
void sendExitReport() {}
