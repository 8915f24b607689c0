// HTTP GET with libcurl: the body goes to the file unless the answer is 404.
#include "platform/platform.h"

#include <cstring>
#include <curl/curl.h>

namespace {
constexpr long kConnectTimeoutSeconds = 10;
constexpr long kRequestTimeoutSeconds = 60;
constexpr const char* kAgent = "lcc WinHTTP/1.0";

struct Download {
    const char* fileName;
    FILE* output;
    bool notFound;       // the status line said 404
    bool cannotWrite;    // the output file could not be opened
    bool tooLong;        // the body passed the cap
    long written;
};

// Looks at the first three characters after the status line's first space.
bool statusIs404(const char* line, size_t length)
{
    size_t i = 0;
    while (i < length && line[i] != ' ') ++i;
    while (i < length && line[i] == ' ') ++i;
    return length - i >= 3 && std::memcmp(line + i, "404", 3) == 0;
}

size_t onHeader(char* line, size_t size, size_t count, void* context)
{
    Download& download = *static_cast<Download*>(context);
    const size_t length = size * count;
    if (length >= 5 && std::memcmp(line, "HTTP/", 5) == 0) {
        download.notFound = statusIs404(line, length);
    } else if ((length == 2 && line[0] == '\r') || (length == 1 && line[0] == '\n')) {
        // The headers are complete: the status decides whether a file is made.
        if (!download.notFound && !download.output) {
            download.output = std::fopen(download.fileName, "wb");
            if (!download.output) {
                download.cannotWrite = true;
                return 0;
            }
        }
    }
    return length;
}

size_t onBody(char* data, size_t size, size_t count, void* context)
{
    Download& download = *static_cast<Download*>(context);
    const size_t length = size * count;
    if (!download.output) return 0; // a 404 body is not wanted
    size_t room = static_cast<size_t>(kMaxBodyBytes - download.written);
    size_t kept = length < room ? length : room;
    if (std::fwrite(data, 1, kept, download.output) != kept) return 0;
    download.written += static_cast<long>(kept);
    if (kept < length) {
        download.tooLong = true;
        return 0;
    }
    return length;
}

bool curlReady()
{
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}
} // namespace

int httpGet(const char* url, const char* fileName)
{
    if (!curlReady()) return -1;
    CURL* curl = curl_easy_init();
    if (!curl) return -1;
    Download download = {fileName, nullptr, false, false, false, 0};
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kAgent);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kRequestTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &download);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (download.output) std::fclose(download.output);

    if (download.notFound) return 404;
    if (download.cannotWrite) return -2;
    if (download.tooLong) return CURLE_FILESIZE_EXCEEDED;
    return code == CURLE_OK ? 0 : static_cast<int>(code);
}
