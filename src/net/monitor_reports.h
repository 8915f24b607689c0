#pragma once

namespace pelmora {
// Status reports to the team monitor server, and the commands it answers with.

// Connects, takes a slot, sends the status record and reads the command
// byte into serverCommand; obey, when given, acts on it before the
// connection closes.
void sendStatusReport(void (*obey)() = nullptr);
// Sends the last record, with shuttingDown set; reads no command.
void sendExitReport();
// Formats the status record from the state into the report buffer; whatever
// lies past its terminator is left as it was.
void formatStatusReport();

} // namespace pelmora
