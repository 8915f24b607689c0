#pragma once
// Status reports to the team monitor server, and the commands it answers with.

void sendStatusReport();
void sendExitReport();
