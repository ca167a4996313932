#include "net/http_helper.h"

#include <cstdio>
#include <cstring>

#include "net/curl_wrapper.h"

namespace {

size_t append_to_string(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

int print_debug(CURL*, curl_infotype type, char* data, size_t size, void*) {
    const char* label = nullptr;
    switch (type) {
        case CURLINFO_HEADER_IN:
            label = "[HEADER_IN]";
            break;
        case CURLINFO_HEADER_OUT:
            label = "[HEADER_OUT]";
            break;
        case CURLINFO_DATA_IN:
            label = "[DATA_IN]";
            break;
        case CURLINFO_DATA_OUT:
            label = "[DATA_OUT]";
            break;
        default:
            return 0;
    }
    std::printf("%s%.*s\n", label, static_cast<int>(size), data);
    return 0;
}

void dump(const char* label, const unsigned char* data, size_t size, bool text_mode) {
    const size_t width = text_mode ? 0x40 : 0x10;
    std::fprintf(stderr, "%s, %10.10lu bytes (0x%8.8lx)\n", label, static_cast<unsigned long>(size),
                 static_cast<unsigned long>(size));
    size_t i = 0;
    while (i < size) {
        std::fprintf(stderr, "%4.4lx: ", static_cast<unsigned long>(i));
        if (!text_mode) {
            for (size_t c = 0; c < width; ++c) {
                if (i + c < size)
                    std::fprintf(stderr, "%02x ", data[i + c]);
                else
                    std::fputs("   ", stderr);
            }
        }
        size_t next = i + width;
        for (size_t c = 0; c < width && i + c < size; ++c) {
            // In text form a CR LF ends the line and is not printed.
            if (text_mode && i + c + 1 < size && data[i + c] == 0x0D && data[i + c + 1] == 0x0A) {
                next = i + c + 2;
                break;
            }
            const unsigned char b = data[i + c];
            std::fputc((b >= 0x20 && b < 0x80) ? b : '.', stderr);
            if (text_mode && i + c + 2 < size && data[i + c + 1] == 0x0D &&
                data[i + c + 2] == 0x0A) {
                next = i + c + 3;
                break;
            }
        }
        std::fputc('\n', stderr);
        i = next;
    }
    std::fflush(stderr);
}

}  // namespace

int HttpHelper::get_json(const std::string& url, std::string& response,
                         const std::vector<std::string>& extra_headers, int timeout_seconds) const {
    return perform(url, nullptr, response, extra_headers, timeout_seconds);
}

int HttpHelper::post_form(const std::string& url, const std::string& body, std::string& response,
                          const std::vector<std::string>& extra_headers,
                          int timeout_seconds) const {
    return perform(url, &body, response, extra_headers, timeout_seconds);
}

int HttpHelper::perform(const std::string& url, const std::string* form, std::string& response,
                        const std::vector<std::string>& extra_headers, int timeout_seconds) const {
    CurlHandle handle(curl_easy_init());
    if (!handle) return CURLE_FAILED_INIT;
    CURL* h = handle.get();
    if (debug_) {
        curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &print_debug);
    }
    // Certificates are verified here too: the token request carries signed credentials.
    apply_tls_settings(h);

    std::vector<std::string> lines = {
        "Accept:application/json",
        form ? "Content-Type:application/x-www-form-urlencoded" : "Content-Type:application/json",
        "charset:utf-8"};
    lines.insert(lines.end(), extra_headers.begin(), extra_headers.end());
    curl_slist* list = nullptr;
    for (const auto& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) break;
        list = grown;
    }
    CurlHeaderList header_list(list);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &append_to_string);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout_seconds));
    curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeout_seconds));
    if (form) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, form->c_str());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(form->c_str())));
    }
    return curl_easy_perform(h);
}

int curl_trace(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    const auto* config = static_cast<const TraceConfig*>(user);
    const bool text_mode = config != nullptr && config->text_mode;
    const char* label = nullptr;
    switch (type) {
        case CURLINFO_TEXT:
            std::fprintf(stderr, "== Info: %.*s", static_cast<int>(size), data);
            std::fflush(stderr);
            return 0;
        case CURLINFO_HEADER_IN:
            label = "<= Recv header";
            break;
        case CURLINFO_HEADER_OUT:
            label = "=> Send header";
            break;
        case CURLINFO_DATA_IN:
            label = "<= Recv data";
            break;
        case CURLINFO_DATA_OUT:
            label = "=> Send data";
            break;
        case CURLINFO_SSL_DATA_IN:
            label = "<= Recv SSL data";
            break;
        case CURLINFO_SSL_DATA_OUT:
            label = "=> Send SSL data";
            break;
        default:
            return 0;
    }
    dump(label, reinterpret_cast<const unsigned char*>(data), size, text_mode);
    return 0;
}
