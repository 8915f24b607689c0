// HTTP GET with WinHTTP: the body goes to the file unless the answer is 404.
// A write or close of the file that fails (a full disk) ends the download
// with the OS error (ERROR_DISK_FULL); the file keeps what was written.
#include "platform/system.h"
#include "state/constants.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>
#include <winhttp.h>

namespace pelmora {

namespace {
constexpr int kPhaseTimeoutMs = 25000; // sending, and waiting for the answer
constexpr DWORD kPieceBytes = 16 * 1024;

struct HandleCloser {
    void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The thread's last error; a failure that left none still never reads as success.
int lastError()
{
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : -1;
}

// Makes ready to learn the OS error of the next write or close of the output.
void clearOutputError()
{
    _doserrno = 0;
    SetLastError(0);
}

// The OS error of the write or close of the output that has just failed:
// msvcrt keeps it in _doserrno; else the thread's last error.
int outputError()
{
    if (_doserrno != 0) return static_cast<int>(_doserrno);
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_WRITE_FAULT;
}

// Closes the output; 0, or the OS error of writing what the stream still
// held or of the close. The flush is asked for on its own: wine's msvcrt
// gives 0 from an fclose whose flush has failed.
int closeOutput(FILE* output)
{
    clearOutputError();
    int error = std::fflush(output) == 0 ? 0 : outputError();
    clearOutputError();
    if (std::fclose(output) != 0 && error == 0) error = outputError();
    return error;
}

// Copies the body to the output through one buffer; 0 when complete, else an
// error number.
int copyBody(HINTERNET request, FILE* output, ULONGLONG deadline)
{
    char piece[kPieceBytes];
    long written = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return ERROR_WINHTTP_TIMEOUT;
        DWORD remaining = static_cast<DWORD>(deadline - now);
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &remaining, sizeof remaining);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return lastError();
        if (available == 0) return 0;
        DWORD read = 0;
        if (!WinHttpReadData(request, piece, available < kPieceBytes ? available : kPieceBytes, &read))
            return lastError();
        if (read == 0) return 0;
        const long room = kMaxBodyBytes - written;
        const long kept = static_cast<long>(read) < room ? static_cast<long>(read) : room;
        clearOutputError();
        if (std::fwrite(piece, 1, static_cast<size_t>(kept), output) != static_cast<size_t>(kept))
            return outputError();
        written += kept;
        if (kept < static_cast<long>(read)) return ERROR_FILE_TOO_LARGE;
    }
}

// Sends the GET and waits for the answer's head; 0 or an error number.
int sendRequest(HINTERNET root, const char* url, Handle& connection, Handle& request)
{
    std::vector<wchar_t> wideUrl(std::strlen(url) + 1);
    if (std::mbstowcs(wideUrl.data(), url, wideUrl.size()) == static_cast<size_t>(-1))
        return ERROR_NO_UNICODE_TRANSLATION;
    URL_COMPONENTS parts = {};
    wchar_t hostName[256] = {};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.lpszHostName = hostName;
    parts.dwHostNameLength = 256;
    if (!WinHttpCrackUrl(wideUrl.data(), 0, 0, &parts)) return lastError();
    connection.reset(WinHttpConnect(root, hostName, parts.nPort, 0));
    if (!connection) return lastError();
    const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    request.reset(WinHttpOpenRequest(connection.get(), L"GET", parts.lpszUrlPath, nullptr, WINHTTP_NO_REFERER,
                                     WINHTTP_DEFAULT_ACCEPT_TYPES, secure));
    if (!request) return lastError();
    // The wait for the answer's headers has a limit of its own, 90 s by
    // default, past the whole request's: hold it to the phase time-out.
    DWORD answerWaitMs = kPhaseTimeoutMs;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerWaitMs, sizeof answerWaitMs);
    if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr))
        return lastError();
    return 0;
}
} // namespace

int httpGet(const char* url, const char* fileName)
{
    const ULONGLONG deadline = GetTickCount64() + kHttpRequestTimeoutMs;
    const std::wstring agent(kHttpAgent, kHttpAgent + std::strlen(kHttpAgent)); // ASCII
    Handle root(WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0));
    if (!root) return lastError();
    WinHttpSetTimeouts(root.get(), kHttpConnectTimeoutMs, kHttpConnectTimeoutMs, kPhaseTimeoutMs, kPhaseTimeoutMs);

    Handle connection;
    Handle request;
    if (const int error = sendRequest(root.get(), url, connection, request)) return error;
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return lastError();
    if (status == 404) return 404;

    FILE* output = std::fopen(fileName, "wb");
    if (!output) return -2;
    const int copied = copyBody(request.get(), output, deadline);
    const int closed = closeOutput(output);
    return copied != 0 ? copied : closed;
}

} // namespace pelmora
