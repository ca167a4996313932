#include "net/http_helper.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/logger.h"
#include "net/curl_wrapper.h"

namespace {

size_t append_to_string(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// Names whose values never reach a trace, as header names or form fields.
constexpr std::string_view kCredentialNames[] = {
    "ltoken", "token",     "authorization", "proxy-authorization", "cookie", "set-cookie",
    "sign",   "signature", "appsecrect",    "appsecret",           "secret", "key"};

bool is_credential_name(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (std::string_view known : kCredentialNames)
        if (lower == known) return true;
    return false;
}

constexpr std::string_view kHidden = "<hidden>";

void log_dump(const TraceConfig* config, const std::string& text) {
    if (config != nullptr && config->sink) {
        config->sink(text);
        return;
    }
    // The log ends each entry itself.
    log_tagged(kLogInfo, "%s",
               text.ends_with('\n') ? std::string_view(text).substr(0, text.size() - 1)
                                    : std::string_view(text));
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

std::string dump(const char* label, const unsigned char* data, size_t size, bool text_mode) {
    std::string out;
    char piece[64];
    auto add = [&](const char* format, auto... args) {
        std::snprintf(piece, sizeof piece, format, args...);
        out += piece;
    };
    const size_t width = text_mode ? 0x40 : 0x10;
    add("%s, %10.10lu bytes (0x%8.8lx)\n", label, static_cast<unsigned long>(size),
        static_cast<unsigned long>(size));
    size_t i = 0;
    while (i < size) {
        add("%4.4lx: ", static_cast<unsigned long>(i));
        if (!text_mode) {
            for (size_t c = 0; c < width; ++c) {
                if (i + c < size)
                    add("%02x ", data[i + c]);
                else
                    out += "   ";
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
            out += (b >= 0x20 && b < 0x80) ? static_cast<char>(b) : '.';
            if (text_mode && i + c + 2 < size && data[i + c + 1] == 0x0D &&
                data[i + c + 2] == 0x0A) {
                next = i + c + 3;
                break;
            }
        }
        out += '\n';
        i = next;
    }
    return out;
}

// The lines as a libcurl header list; as many as memory allowed.
curl_slist* header_lines(const std::vector<std::string>& lines) {
    curl_slist* list = nullptr;
    for (const auto& line : lines) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) break;
        list = grown;
    }
    return list;
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

int HttpHelper::post_multipart(const std::string& url, const std::vector<FormPart>& parts,
                               std::string& response, long& status,
                               const std::vector<std::string>& extra_headers,
                               int timeout_seconds) const {
    status = 0;
    CurlHandle handle(curl_easy_init());
    if (!handle) return CURLE_FAILED_INIT;
    CURL* h = handle.get();

    CurlMimePtr form(curl_mime_init(h));
    for (const FormPart& field : parts) {
        curl_mimepart* part = curl_mime_addpart(form.get());
        curl_mime_name(part, field.name.c_str());
        if (field.is_file)
            curl_mime_filedata(part, field.value.c_str());
        else
            curl_mime_data(part, field.value.c_str(), field.value.size());
    }
    CurlHeaderList header_list(header_lines(extra_headers));
    curl_slist* list = header_list.get();

    TraceConfig trace;
    trace.text_mode = true;
    const long limit = timeout_seconds;
    // Verified like every other request: posts carry access tokens.
    apply_tls_settings(h);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &curl_trace);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &trace);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &append_to_string);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, limit);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, limit);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(h, CURLOPT_MIMEPOST, form.get());
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());

    const CURLcode result = curl_easy_perform(h);
    if (result == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    // The handle goes first: it still refers to the form and the header list.
    handle.reset();
    return static_cast<int>(result);
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
    CurlHeaderList header_list(header_lines(lines));
    curl_slist* list = header_list.get();
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

std::string hide_credentials(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        size_t body = line.size();
        while (body > 0 && (line[body - 1] == '\n' || line[body - 1] == '\r')) --body;
        const std::string_view ending = line.substr(body);
        line = line.substr(0, body);

        // A header line: "Name: value".
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && colon > 0 && line.find_first_of(" \t=&") > colon &&
            is_credential_name(line.substr(0, colon))) {
            out.append(line.substr(0, colon + 1)).append(kHidden).append(ending);
            continue;
        }
        // Form and query fields: "a=1&sign=...".
        size_t field = 0;
        while (field <= line.size()) {
            size_t stop = line.find('&', field);
            if (stop == std::string_view::npos) stop = line.size();
            const std::string_view pair = line.substr(field, stop - field);
            const size_t eq = pair.find('=');
            size_t name_start = pair.find_last_of("?", eq);
            name_start = name_start == std::string_view::npos ? 0 : name_start + 1;
            if (eq != std::string_view::npos &&
                is_credential_name(pair.substr(name_start, eq - name_start)))
                out.append(pair.substr(0, eq + 1)).append(kHidden);
            else
                out.append(pair);
            if (stop < line.size()) out += '&';
            field = stop + 1;
        }
        out.append(ending);
    }
    return out;
}

int curl_trace(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    const auto* config = static_cast<const TraceConfig*>(user);
    const bool text_mode = config != nullptr && config->text_mode;
    const char* label = nullptr;
    switch (type) {
        case CURLINFO_TEXT:
            log_dump(config, "== Info: " + hide_credentials(std::string_view(data, size)));
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
    // Hidden before the dump cuts lines, so that no part of a value is left.
    const std::string shown = hide_credentials(std::string_view(data, size));
    log_dump(config, dump(label, reinterpret_cast<const unsigned char*>(shown.data()), shown.size(),
                          text_mode));
    return 0;
}
