#pragma once

namespace pelmora {
// The team stats site that finished units are submitted to.

// The host the submissions go to, as shown in the log.
const char* statsHostLabel();

// Submits the finished unit's figures by an HTTP GET and saves the reply to
// Korvex.html; the result is that of httpGetToFile.
int submitUnitStats();

// GET of url into fileName; with fileName null, into the file named by the
// text after the URL's last '/' (-1 when there is none). Results: 0, 404,
// -2, -1 or the platform's error number (see httpGet).
int httpGetToFile(const char* url, const char* fileName);

// The memory figure sent: whole MiB of the total, as an int.
int memoryMegabytes(unsigned long long totalBytes);

} // namespace pelmora
