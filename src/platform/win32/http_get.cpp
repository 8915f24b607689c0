// HTTP GET with WinHTTP: the body goes to the file unless the answer is 404.
// A write or close of the file that fails (a full disk) ends the download
// with the OS error (ERROR_DISK_FULL); the file keeps what was written.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <windows.h>
#include <winhttp.h>

namespace {
constexpr int kConnectTimeoutMs = 10000;
constexpr int kPhaseTimeoutMs = 25000;     // sending, and waiting for the answer
constexpr ULONGLONG kRequestTimeoutMs = 60000;
constexpr wchar_t kAgent[] = L"lcc WinHTTP/1.0";

// What must be released, released together at the end.
struct DownloadHandles {
    int result;
    HINTERNET connection;
    HINTERNET request;
    FILE* output;
};

void release(DownloadHandles& handles)
{
    if (handles.request) WinHttpCloseHandle(handles.request);
    handles.request = nullptr;
    if (handles.connection) WinHttpCloseHandle(handles.connection);
    handles.connection = nullptr;
    if (handles.output) std::fclose(handles.output);
    handles.output = nullptr;
}

bool statusIs404(const char* headers)
{
    const char* p = headers;
    while (*p && *p != ' ') ++p;
    while (*p == ' ') ++p;
    return std::strncmp(p, "404", 3) == 0;
}

// Reads the raw header block as 8-bit text; nullptr on failure.
char* readHeaders(HINTERNET request, wchar_t** wide)
{
    DWORD length = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, nullptr,
                            &length, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    *wide = static_cast<wchar_t*>(std::calloc(length + 1, sizeof(wchar_t)));
    char* narrow = static_cast<char*>(std::calloc(length + 1, 1));
    if (!*wide || !narrow) {
        std::free(narrow);
        return nullptr;
    }
    WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, *wide, &length,
                        WINHTTP_NO_HEADER_INDEX);
    std::wcstombs(narrow, *wide, length);
    return narrow;
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

// Copies the body to the output; 0 when complete, else an error number.
int copyBody(HINTERNET request, FILE* output, ULONGLONG deadline)
{
    long written = 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return ERROR_WINHTTP_TIMEOUT;
        DWORD remaining = static_cast<DWORD>(deadline - now);
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &remaining, sizeof remaining);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return static_cast<int>(GetLastError());
        char* piece = static_cast<char*>(std::calloc(available + 1, 1));
        if (!piece) return ERROR_NOT_ENOUGH_MEMORY;
        DWORD read = 0;
        if (!WinHttpReadData(request, piece, available, &read)) {
            int error = static_cast<int>(GetLastError());
            std::free(piece);
            return error;
        }
        const long room = kMaxBodyBytes - written;
        const long kept = static_cast<long>(read) < room ? static_cast<long>(read) : room;
        clearOutputError();
        const bool stored = std::fwrite(piece, 1, static_cast<size_t>(kept), output) == static_cast<size_t>(kept);
        const int error = stored ? 0 : outputError();
        std::free(piece);
        if (!stored) return error;
        written += kept;
        if (kept < static_cast<long>(read)) return ERROR_FILE_TOO_LARGE;
        if (available == 0) return 0;
    }
}
} // namespace

int httpGet(const char* url, const char* fileName)
{
    const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
    HINTERNET root = WinHttpOpen(kAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
    if (!root) {
        int error = static_cast<int>(GetLastError());
        return error != 0 ? error : -1;
    }
    WinHttpSetTimeouts(root, kConnectTimeoutMs, kConnectTimeoutMs, kPhaseTimeoutMs, kPhaseTimeoutMs);

    DownloadHandles handles = {0, nullptr, nullptr, nullptr};
    const size_t length = std::strlen(url);
    wchar_t* wideUrl = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    if (!wideUrl) {
        WinHttpCloseHandle(root);
        return -1;
    }
    wchar_t* wideHeaders = nullptr;
    char* headers = nullptr;
    bool success = false;
    bool resultSet = false;
    do {
        if (std::mbstowcs(wideUrl, url, length + 1) == static_cast<size_t>(-1)) {
            handles.result = ERROR_NO_UNICODE_TRANSLATION;
            resultSet = true;
            break;
        }
        URL_COMPONENTS parts = {};
        wchar_t hostName[256] = {};
        parts.dwStructSize = sizeof parts;
        parts.dwSchemeLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.lpszHostName = hostName;
        parts.dwHostNameLength = 256;
        if (!WinHttpCrackUrl(wideUrl, 0, 0, &parts)) break;
        handles.connection = WinHttpConnect(root, hostName, parts.nPort, 0);
        if (!handles.connection) break;
        const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
        handles.request = WinHttpOpenRequest(handles.connection, L"GET", parts.lpszUrlPath, nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, secure);
        if (!handles.request) break;
        // The wait for the answer's headers has a limit of its own, 90 s by
        // default, past the whole request's: hold it to the phase time-out.
        DWORD answerWaitMs = kPhaseTimeoutMs;
        WinHttpSetOption(handles.request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answerWaitMs, sizeof answerWaitMs);
        if (!WinHttpSendRequest(handles.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
            break;
        if (!WinHttpReceiveResponse(handles.request, nullptr)) break;
        headers = readHeaders(handles.request, &wideHeaders);
        if (!headers) break;
        if (statusIs404(headers)) {
            handles.result = 404;
            resultSet = true;
            break;
        }
        handles.output = std::fopen(fileName, "wb");
        if (!handles.output) {
            handles.result = -2;
            resultSet = true;
            break;
        }
        int copied = copyBody(handles.request, handles.output, deadline);
        const int closed = closeOutput(handles.output);
        handles.output = nullptr;
        if (copied == 0) copied = closed;
        if (copied == 0) {
            success = true;
        } else {
            handles.result = copied;
            resultSet = true;
        }
    } while (false);

    if (!success && !resultSet) {
        // Never let a failure pass for success.
        const int error = static_cast<int>(GetLastError());
        handles.result = error != 0 ? error : -1;
    }
    std::free(headers);
    std::free(wideHeaders);
    std::free(wideUrl);
    release(handles);
    WinHttpCloseHandle(root);
    return handles.result;
}
