// S3 requests over libcurl: signing by CURLOPT_AWS_SIGV4, a pool of easy handles so
// that connections are reused, and retries with backoff inside a time window.
#include "zvfd/s3_client.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

namespace zvfd {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    const auto end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string hex(const unsigned char* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

void digest(std::string_view data, const EVP_MD* md, unsigned& size, unsigned char (&out)[EVP_MAX_MD_SIZE]) {
    if (EVP_Digest(data.data(), data.size(), out, &size, md, nullptr) != 1)
        throw S3Error("message digest failed");
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        xmlInitParser();
    });
}

// Children of `node` as name -> text, for the flat records of S3 listings.
std::map<std::string, std::string> child_texts(xmlNode* node) {
    std::map<std::string, std::string> fields;
    for (xmlNode* child = node->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) continue;
        xmlChar* text = xmlNodeGetContent(child);
        fields[reinterpret_cast<const char*>(child->name)] =
            text ? reinterpret_cast<const char*>(text) : "";
        xmlFree(text);
    }
    return fields;
}

template <typename Visit>
void walk_xml(std::string_view document, Visit&& visit) {
    global_init();
    xmlDoc* doc = xmlReadMemory(document.data(), static_cast<int>(document.size()), "s3.xml",
                                nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) return;
    std::vector<xmlNode*> stack{xmlDocGetRootElement(doc)};
    while (!stack.empty()) {
        xmlNode* node = stack.back();
        stack.pop_back();
        if (!node) continue;
        // Siblings are pushed in reverse so that elements come out in document order.
        std::vector<xmlNode*> children;
        for (xmlNode* child = node->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE) children.push_back(child);
        visit(node);
        stack.insert(stack.end(), children.rbegin(), children.rend());
    }
    xmlFreeDoc(doc);
}

struct Records {
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> items;
};

// Every element whose name is one of `names`, with its children's texts.
Records xml_records(std::string_view document, std::initializer_list<const char*> names) {
    Records records;
    walk_xml(document, [&](xmlNode* node) {
        const char* name = reinterpret_cast<const char*>(node->name);
        for (const char* wanted : names)
            if (std::strcmp(name, wanted) == 0) records.items.emplace_back(name, child_texts(node));
    });
    return records;
}

std::string unquoted(const std::string& etag) {
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') return etag.substr(1, etag.size() - 2);
    return etag;
}

std::string first_text(std::string_view document, const char* name) {
    auto texts = s3::xml_texts(document, name);
    return texts.empty() ? std::string() : texts.front();
}

struct Upload {
    std::string_view data;
    std::size_t offset = 0;
};

size_t read_body(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const std::size_t n = std::min(size * count, upload->data.size() - upload->offset);
    std::memcpy(buffer, upload->data.data() + upload->offset, n);
    upload->offset += n;
    return n;
}

// libcurl rewinds an upload to send it again on a fresh connection.
int seek_body(void* user, curl_off_t offset, int origin) {
    auto* upload = static_cast<Upload*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > upload->data.size())
        return CURL_SEEKFUNC_CANTSEEK;
    upload->offset = static_cast<std::size_t>(offset);
    return CURL_SEEKFUNC_OK;
}

size_t write_body(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// An easy handle and the socket of its connection, which libcurl does not tell
// while a transfer runs.
struct Session {
    CURL* curl = nullptr;
    curl_socket_t socket = CURL_SOCKET_BAD;
};

int note_socket(void* user, curl_socket_t socket, curlsocktype) {
    static_cast<Session*>(user)->socket = socket;
    return CURL_SOCKOPT_OK;
}

int close_socket(void* user, curl_socket_t socket) {
    auto* session = static_cast<Session*>(user);
    if (session->socket == socket) session->socket = CURL_SOCKET_BAD;
    return ::close(socket);
}

constexpr std::size_t kMaxReserve = 256u << 20;  // more is grown as it comes

struct HeaderSink {
    std::map<std::string, std::string>* headers;
    std::string* body;
    Session* session;
};

size_t write_header(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<HeaderSink*>(user);
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        const std::string name = lower(trim(line.substr(0, colon)));
        std::string& value = (*sink->headers)[name] = trim(line.substr(colon + 1));
        // Room for the body at once: grown by doubling, a pack's buffer would take twice
        // its size while many downloads are in flight.
        if (name == "content-length" && value.size() <= 10 && value.find_first_not_of("0123456789") == std::string::npos)
            sink->body->reserve(std::min<std::size_t>(std::stoull(value), kMaxReserve));
    } else if (trim(line).empty() && sink->session->socket != CURL_SOCKET_BAD) {
        // The end of the head: acknowledge it now. A store that writes head and body
        // apart without TCP_NODELAY (radosgw's default) holds the body back until this
        // acknowledgement, which the kernel delays by 40 ms on a kept connection.
        const int on = 1;
        ::setsockopt(sink->session->socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return size * count;
}

bool retryable_transport(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_WEIRD_SERVER_REPLY:
        return true;
    default:
        return false;
    }
}

}  // namespace

// ---- Building blocks ----

namespace s3 {

std::string uri_encode(std::string_view text, bool keep_slash) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string query_text(std::vector<std::pair<std::string, std::string>> query) {
    for (auto& [name, value] : query) {
        name = uri_encode(name, false);
        value = uri_encode(value, false);
    }
    std::sort(query.begin(), query.end());
    std::string out;
    for (const auto& [name, value] : query) {
        if (!out.empty()) out += '&';
        out += name + "=" + value;
    }
    return out;
}

std::string sha256_hex(std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    digest(data, EVP_sha256(), size, out);
    return hex(out, size);
}

std::string md5_hex(std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    digest(data, EVP_md5(), size, out);
    return hex(out, size);
}

std::string md5_base64_of_hex(std::string_view md5_hex) {
    unsigned char raw[16];
    if (md5_hex.size() != 2 * sizeof raw) throw S3Error("an MD5 digest of " + std::to_string(md5_hex.size()) + " hex digits");
    auto value = [&](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw S3Error("an MD5 digest with a digit that is not hex");
    };
    for (std::size_t i = 0; i < sizeof raw; ++i)
        raw[i] = static_cast<unsigned char>(value(md5_hex[2 * i]) * 16 + value(md5_hex[2 * i + 1]));
    unsigned char text[32];
    const int n = EVP_EncodeBlock(text, raw, static_cast<int>(sizeof raw));
    return std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n));
}

std::string md5_base64(std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    digest(data, EVP_md5(), size, out);
    unsigned char text[64];
    const int n = EVP_EncodeBlock(text, out, static_cast<int>(size));
    return std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n));
}

std::string iso8601(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::optional<std::int64_t> parse_iso8601(std::string_view text) {
    // 2026-12-11T16:27:35Z, optionally with fractional seconds (2026-12-11T16:27:35.000Z).
    std::tm tm{};
    const std::string copy(text);
    const char* end = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end) return std::nullopt;
    if (*end == '.') {
        ++end;
        while (std::isdigit(static_cast<unsigned char>(*end))) ++end;
    }
    if (std::strcmp(end, "Z") != 0) return std::nullopt;
    return static_cast<std::int64_t>(timegm(&tm));
}

std::vector<std::string> xml_texts(std::string_view document, const char* name) {
    std::vector<std::string> texts;
    walk_xml(document, [&](xmlNode* node) {
        if (std::strcmp(reinterpret_cast<const char*>(node->name), name) != 0) return;
        xmlChar* text = xmlNodeGetContent(node);
        texts.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
        xmlFree(text);
    });
    return texts;
}

bool retryable_status(long status, std::string_view error_code) {
    if (status >= 500 || status == 429) return true;
    return error_code == "SlowDown" || error_code == "RequestTimeout" ||
           error_code == "InternalError" || error_code == "ServiceUnavailable";
}

}  // namespace s3

const char* s3_lock_mode_word(S3LockMode mode) {
    return mode == S3LockMode::Compliance ? "COMPLIANCE" : "GOVERNANCE";
}

std::string S3Response::error_code() const { return first_text(body, "Code"); }
std::string S3Response::error_message() const { return first_text(body, "Message"); }

// ---- Credentials ----

S3Keys read_s3_credentials(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw S3Error("cannot open the S3 credentials file " + path + ": " + std::strerror(errno));
    struct stat st {};
    std::string text;
    const auto close_and_throw = [&](const std::string& message) {
        ::close(fd);
        throw S3Error(message);
    };
    if (::fstat(fd, &st) != 0) close_and_throw("cannot read the S3 credentials file " + path);
    if (!S_ISREG(st.st_mode)) close_and_throw("the S3 credentials file " + path + " is not a regular file");
    if (st.st_uid != 0)
        close_and_throw("the S3 credentials file " + path + " must be owned by root (it is owned by uid " +
                        std::to_string(st.st_uid) + ")");
    // Read-only for root (0400) is stricter still, and as good.
    if ((st.st_mode & 07777) != 0600 && (st.st_mode & 07777) != 0400) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        close_and_throw("the S3 credentials file " + path + " must have mode 0600 or 0400 (it has " + mode + ")");
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) close_and_throw("cannot read the S3 credentials file " + path);
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > 65536) close_and_throw("the S3 credentials file " + path + " is too large");
    }
    ::close(fd);

    // Error texts name the line, never its contents: a misplaced key must not reach a log.
    S3Keys keys;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const auto blank = line.find_first_of(" \t");
        const std::string name = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : trim(line.substr(blank));
        std::string* slot = name == "access_key_id"       ? &keys.access_key
                            : name == "secret_access_key" ? &keys.secret_key
                                                          : nullptr;
        if (!slot)
            throw S3Error("line " + std::to_string(number) + " of the S3 credentials file " + path +
                          " is neither access_key_id nor secret_access_key");
        if (value.empty() || value.find_first_of(" \t") != std::string::npos)
            throw S3Error("line " + std::to_string(number) + " of the S3 credentials file " + path +
                          " needs a single value after " + name);
        *slot = value;
    }
    if (keys.access_key.empty() || keys.secret_key.empty())
        throw S3Error("the S3 credentials file " + path + " must set access_key_id and secret_access_key");
    return keys;
}

// ---- Client ----

struct S3Client::Pool {
    std::mutex mutex;
    std::vector<std::unique_ptr<Session>> idle;

    std::unique_ptr<Session> acquire() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!idle.empty()) {
                std::unique_ptr<Session> session = std::move(idle.back());
                idle.pop_back();
                return session;
            }
        }
        auto session = std::make_unique<Session>();
        session->curl = curl_easy_init();
        if (!session->curl) throw S3Error("cannot start an HTTP session (libcurl)");
        return session;
    }
    void release(std::unique_ptr<Session> session) {
        std::lock_guard<std::mutex> lock(mutex);
        idle.push_back(std::move(session));
    }
    ~Pool() {
        for (auto& session : idle) curl_easy_cleanup(session->curl);
    }
};

S3Client::S3Client(S3Location location, S3Keys keys, S3RetryPolicy policy)
    : location_(std::move(location)), keys_(std::move(keys)), policy_(policy), pool_(new Pool) {
    global_init();
    while (!location_.endpoint.empty() && location_.endpoint.back() == '/') location_.endpoint.pop_back();
    const auto scheme = location_.endpoint.find("://");
    if (scheme == std::string::npos ||
        (location_.endpoint.compare(0, scheme, "http") != 0 && location_.endpoint.compare(0, scheme, "https") != 0) ||
        location_.endpoint.size() == scheme + 3 ||
        location_.endpoint.find('/', scheme + 3) != std::string::npos)
        throw S3Error("the S3 endpoint '" + location_.endpoint +
                      "' is not of the form http://host:port or https://host:port");
    if (location_.bucket.empty() || location_.bucket.find('/') != std::string::npos)
        throw S3Error("the S3 bucket name '" + location_.bucket + "' is not valid");
    if (location_.region.empty()) throw S3Error("the S3 region is empty");
}

S3Client::~S3Client() = default;

std::string S3Client::object_url(const std::string& key) const {
    const std::string encoded = s3::uri_encode(key, true);
    if (location_.path_style) return location_.endpoint + "/" + location_.bucket + "/" + encoded;
    const auto host = location_.endpoint.find("://") + 3;
    return location_.endpoint.substr(0, host) + location_.bucket + "." + location_.endpoint.substr(host) + "/" +
           encoded;
}

std::string S3Client::url(const S3Request& request) const {
    std::string out = object_url(request.key);
    if (!request.query.empty()) out += "?" + s3::query_text(request.query);
    return out;
}

std::string S3Client::describe(const std::string& method, const std::string& key) const {
    return method + " " + object_url(key);
}

S3Response S3Client::attempt(const S3Request& request, std::chrono::milliseconds limit,
                             std::string& transport_error) {
    S3Response response;
    std::unique_ptr<Session> session = pool_->acquire();
    CURL* handle = session->curl;
    // reset keeps the live connection, so the next request to the store reuses it.
    curl_easy_reset(handle);

    struct curl_slist* headers = nullptr;
    const auto add_header = [&](const std::string& line) {
        if (struct curl_slist* next = curl_slist_append(headers, line.c_str())) headers = next;
    };
    add_header("x-amz-content-sha256: " + s3::sha256_hex(request.body));
    for (const auto& [name, value] : request.headers) add_header(name + ": " + value);
    // No "Expect:" line to drop 100-continue: libcurl would sign the header it then leaves out.

    const std::string target = url(request);
    const std::string sigv4 = "aws:amz:" + location_.region + ":s3";
    Upload upload{request.body, 0};
    char error_buffer[CURL_ERROR_SIZE] = {0};

    curl_easy_setopt(handle, CURLOPT_URL, target.c_str());
    curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(handle, CURLOPT_USERNAME, keys_.access_key.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, keys_.secret_key.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_buffer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response.body);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, write_header);
    HeaderSink header_sink{&response.headers, &response.body, session.get()};
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &header_sink);
    curl_easy_setopt(handle, CURLOPT_SOCKOPTFUNCTION, note_socket);
    curl_easy_setopt(handle, CURLOPT_SOCKOPTDATA, session.get());
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETFUNCTION, close_socket);
    curl_easy_setopt(handle, CURLOPT_CLOSESOCKETDATA, session.get());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min<long long>(10000, std::max<long long>(1000, policy_.window.count()))));
    if (limit.count() > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(policy_.stall.count()));
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    // The signed "Expect: 100-continue" stays, but its answer is not waited for:
    // radosgw leaves it unanswered for a retention, and each would cost curl's second.
    curl_easy_setopt(handle, CURLOPT_EXPECT_100_TIMEOUT_MS, 1L);
    if (request.method == "GET") {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    } else if (request.method == "PUT") {
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(handle, CURLOPT_READDATA, &upload);
        curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seek_body);
        curl_easy_setopt(handle, CURLOPT_SEEKDATA, &upload);
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else {
        curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode code = curl_easy_perform(handle);
    curl_slist_free_all(headers);
    if (code == CURLE_OK) {
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.status);
    } else {
        transport_error = curl_easy_strerror(code);
        if (error_buffer[0] && transport_error != error_buffer) transport_error += std::string(" (") + error_buffer + ")";
        if (!retryable_transport(code)) transport_error = "!" + transport_error;  // marks a final failure
    }
    // The options point into this frame; clear them before the handle goes back.
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    // A store that answers a request before reading its body (an error, a name taken)
    // may keep the connection with that body still in it, and read the body as the
    // start of the next request: such a connection is not used again.
    if (!request.body.empty() && (code != CURLE_OK || response.status >= 300)) {
        curl_easy_cleanup(handle);
        return response;
    }
    pool_->release(std::move(session));
    return response;
}

S3Response S3Client::perform(const S3Request& request) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    auto delay = policy_.first_delay;
    thread_local std::mt19937 random(std::random_device{}());
    for (unsigned attempts = 1;; ++attempts) {
        std::string transport_error;
        // A retry ends with the window, however the store stalls it.
        auto limit = std::chrono::milliseconds(0);
        if (attempts > 1)
            limit = std::max(std::chrono::milliseconds(1),
                             policy_.window - std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start));
        S3Response response = attempt(request, limit, transport_error);
        std::string reason;
        if (!transport_error.empty()) {
            if (transport_error[0] == '!')
                throw S3Error("S3 request " + describe(request.method, request.key) + " failed: " +
                              transport_error.substr(1));
            reason = transport_error;
        } else if (s3::retryable_status(response.status, response.error_code())) {
            reason = "the store answered " + std::to_string(response.status);
            const std::string code = response.error_code();
            if (!code.empty()) reason += " " + code;
        } else {
            return response;
        }
        // Jitter keeps parallel uploads from retrying in lock step.
        const auto pause = std::chrono::milliseconds(
            delay.count() / 2 + static_cast<long long>(random() % static_cast<unsigned>(delay.count() / 2 + 1)));
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
        if (spent + pause > policy_.window) {
            std::ostringstream message;
            message << "S3 request " << describe(request.method, request.key) << " gave up after " << attempts
                    << (attempts == 1 ? " attempt" : " attempts") << " in " << (spent.count() + 500) / 1000
                    << " s: " << reason;
            throw S3Error(message.str());
        }
        std::this_thread::sleep_for(pause);
        delay = std::min(delay * 2, policy_.max_delay);
    }
}

void S3Client::fail(const S3Request& request, const S3Response& response) const {
    std::string message = "S3 request " + describe(request.method, request.key) + " was refused: " +
                          std::to_string(response.status);
    const std::string code = response.error_code();
    if (!code.empty()) message += " " + code;
    if (code == "SignatureDoesNotMatch" || code == "InvalidAccessKeyId" ||
        (response.status == 403 && code.empty()))
        message += " (the store does not accept the keys of the credentials file)";
    else if (code == "NoSuchBucket")
        message += " (no bucket " + location_.bucket + " at " + location_.endpoint + ")";
    else if (!response.error_message().empty())
        message += ": " + response.error_message();
    // The store's own message could quote what it was sent; keep the keys out all the same.
    for (const std::string* key : {&keys_.secret_key, &keys_.access_key}) {
        for (auto at = message.find(*key); !key->empty() && at != std::string::npos; at = message.find(*key))
            message.replace(at, key->size(), "(key)");
    }
    throw S3Error(message);
}

void S3Client::check_bucket() {
    S3Request request{"GET", "", {{"list-type", "2"}, {"max-keys", "1"}}, {}, {}};
    const S3Response response = perform(request);
    if (response.status == 404 && response.error_code().empty()) {
        throw S3Error("S3 request " + describe("GET", "") + " was refused: 404 (no bucket " + location_.bucket +
                      " at " + location_.endpoint + ")");
    }
    if (response.status != 200) fail(request, response);
}

bool S3Client::object_lock_enabled() {
    S3Request request{"GET", "", {{"object-lock", ""}}, {}, {}};
    const S3Response response = perform(request);
    if (response.status == 404 && response.error_code() == "ObjectLockConfigurationNotFoundError") return false;
    if (response.status != 200) fail(request, response);
    return first_text(response.body, "ObjectLockEnabled") == "Enabled";
}

bool S3Client::versioning_enabled() {
    S3Request request{"GET", "", {{"versioning", ""}}, {}, {}};
    const S3Response response = perform(request);
    if (response.status != 200) fail(request, response);
    const std::string status = first_text(response.body, "Status");
    return status == "Enabled" || status == "Suspended";
}

bool S3Client::put_object(const std::string& key, std::string_view data, const S3Retention* retention,
                          bool if_absent, std::string_view md5_hex) {
    S3Request request{"PUT", key, {}, {}, data};
    if (if_absent) request.headers.emplace_back("If-None-Match", "*");
    if (retention) {
        request.headers.emplace_back("x-amz-object-lock-mode", s3_lock_mode_word(retention->mode));
        request.headers.emplace_back("x-amz-object-lock-retain-until-date", s3::iso8601(retention->until));
        request.headers.emplace_back("Content-MD5",
                                     md5_hex.empty() ? s3::md5_base64(data) : s3::md5_base64_of_hex(md5_hex));
    }
    const S3Response response = perform(request);
    if (response.status == 200) return true;
    if (if_absent && response.status == 412) {
        // An earlier attempt (ours, or libcurl's own on a connection that died) may
        // have stored the object and lost its answer.
        S3Request head{"HEAD", key, {}, {}, {}};
        const S3Response stored = perform(head);
        auto etag = stored.headers.find("etag");
        return stored.status == 200 && etag != stored.headers.end() &&
               unquoted(etag->second) == (md5_hex.empty() ? s3::md5_hex(data) : std::string(md5_hex));
    }
    if (retention && response.status == 400 && response.error_code() == "InvalidRequest")
        throw S3Error("S3 request " + describe("PUT", key) + " was refused: 400 InvalidRequest (the bucket " +
                      location_.bucket + " does not accept a retention; was it created with Object Lock?)");
    fail(request, response);
}

std::optional<std::string> S3Client::get_object(const std::string& key, bool through_markers) {
    S3Request request{"GET", key, {}, {}, {}};
    S3Response response = perform(request);
    if (response.status == 200) return std::move(response.body);
    if (response.status != 404) fail(request, response);
    if (!through_markers) return std::nullopt;
    // Listed newest first: the first real version is the one the marker hides.
    for (const S3Version& version : list_versions(key)) {
        if (version.key != key || version.delete_marker) continue;
        S3Request by_version{"GET", key, {{"versionId", version.version_id}}, {}, {}};
        response = perform(by_version);
        if (response.status == 200) return std::move(response.body);
        if (response.status != 404) fail(by_version, response);
    }
    return std::nullopt;
}

std::optional<std::string> S3Client::get_version(const std::string& key, const std::string& version_id) {
    S3Request request{"GET", key, {{"versionId", version_id}}, {}, {}};
    S3Response response = perform(request);
    if (response.status == 200) return std::move(response.body);
    if (response.status == 404) return std::nullopt;
    fail(request, response);
}

std::optional<std::string> S3Client::get_range(const std::string& key, const std::string& version_id,
                                               std::uint64_t offset, std::size_t length) {
    if (length == 0) return std::string();
    S3Request request{"GET", key, {}, {{"Range", "bytes=" + std::to_string(offset) + "-" +
                                                     std::to_string(offset + length - 1)}}, {}};
    if (!version_id.empty()) request.query.emplace_back("versionId", version_id);
    S3Response response = perform(request);
    if (response.status == 206) return std::move(response.body);
    if (response.status == 200) {  // a store that ignores ranges sends it all
        if (offset >= response.body.size()) return std::string();
        return response.body.substr(static_cast<std::size_t>(offset), length);
    }
    if (response.status == 416) return std::string();  // the range begins past the end
    if (response.status == 404) return std::nullopt;
    fail(request, response);
}

std::vector<S3Version> S3Client::versions_of(const std::string& key) {
    std::vector<S3Version> versions;
    for (S3Version& version : list_versions(key))
        if (version.key == key && !version.delete_marker) versions.push_back(std::move(version));
    // The store lists a key's versions newest first.
    std::reverse(versions.begin(), versions.end());
    return versions;
}

std::optional<std::uint64_t> S3Client::head_object(const std::string& key) {
    S3Request request{"HEAD", key, {}, {}, {}};
    const S3Response response = perform(request);
    if (response.status == 404) return std::nullopt;
    if (response.status != 200) fail(request, response);
    const auto length = response.headers.find("content-length");
    return length == response.headers.end() ? 0 : std::stoull(length->second);
}

std::vector<std::string> S3Client::list_keys(const std::string& prefix) {
    std::vector<std::string> keys;
    std::string token;
    for (;;) {
        S3Request request{"GET", "", {{"list-type", "2"}, {"prefix", prefix}}, {}, {}};
        if (!token.empty()) request.query.emplace_back("continuation-token", token);
        const S3Response response = perform(request);
        if (response.status != 200) fail(request, response);
        for (const auto& [name, fields] : xml_records(response.body, {"Contents"}).items) {
            (void)name;
            const auto key = fields.find("Key");
            if (key != fields.end()) keys.push_back(key->second);
        }
        if (first_text(response.body, "IsTruncated") != "true") break;
        token = first_text(response.body, "NextContinuationToken");
        if (token.empty()) throw S3Error("S3 request " + describe("GET", "") + ": a truncated listing without a continuation token");
    }
    return keys;
}

std::vector<S3Version> S3Client::list_versions(const std::string& prefix) {
    std::vector<S3Version> versions;
    std::string key_marker, version_marker;
    for (;;) {
        S3Request request{"GET", "", {{"versions", ""}, {"prefix", prefix}}, {}, {}};
        if (!key_marker.empty()) request.query.emplace_back("key-marker", key_marker);
        if (!version_marker.empty()) request.query.emplace_back("version-id-marker", version_marker);
        const S3Response response = perform(request);
        if (response.status != 200) fail(request, response);
        for (auto& [name, fields] : xml_records(response.body, {"Version", "DeleteMarker"}).items) {
            versions.push_back({fields["Key"], fields["VersionId"], fields["IsLatest"] == "true",
                                name == "DeleteMarker", unquoted(fields["ETag"])});
        }
        if (first_text(response.body, "IsTruncated") != "true") break;
        key_marker = first_text(response.body, "NextKeyMarker");
        version_marker = first_text(response.body, "NextVersionIdMarker");
        if (key_marker.empty()) throw S3Error("S3 request " + describe("GET", "") + ": a truncated version listing without a marker");
    }
    return versions;
}

void S3Client::delete_object(const std::string& key) {
    S3Request request{"DELETE", key, {}, {}, {}};
    const S3Response response = perform(request);
    if (response.status == 204 || response.status == 200 || response.status == 404) return;
    fail(request, response);
}

void S3Client::delete_version(const std::string& key, const std::string& version_id) {
    S3Request request{"DELETE", key, {{"versionId", version_id}}, {}, {}};
    const S3Response response = perform(request);
    if (response.status == 204 || response.status == 200) return;
    fail(request, response);
}

bool S3Client::extend_retention(const std::string& key, const S3Retention& retention, const std::string& version_id) {
    const std::string body = std::string("<Retention xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Mode>") +
                             s3_lock_mode_word(retention.mode) + "</Mode><RetainUntilDate>" +
                             s3::iso8601(retention.until) + "</RetainUntilDate></Retention>";
    S3Request request{"PUT", key, {{"retention", ""}}, {{"Content-MD5", s3::md5_base64(body)}}, body};
    if (!version_id.empty()) request.query.emplace_back("versionId", version_id);
    const S3Response response = perform(request);
    if (response.status == 200) return true;
    if (response.status == 404 && response.error_code() == "NoSuchKey") return false;
    // A later date already set is what the caller wants; the store refuses to shorten it.
    if (response.status == 403) {
        const auto current = get_retention(key, version_id);
        if (current && current->until >= retention.until) return true;
    }
    if (response.status == 400 && response.error_code() == "InvalidRequest")
        throw S3Error("S3 request " + describe("PUT", key) + "?retention= was refused: 400 InvalidRequest (the bucket " +
                      location_.bucket + " does not accept a retention; was it created with Object Lock?)");
    fail(request, response);
}

std::optional<S3Retention> S3Client::get_retention(const std::string& key, const std::string& version_id) {
    S3Request request{"GET", key, {{"retention", ""}}, {}, {}};
    if (!version_id.empty()) request.query.emplace_back("versionId", version_id);
    const S3Response response = perform(request);
    if (response.status == 404) return std::nullopt;
    if (response.status != 200) fail(request, response);
    S3Retention retention;
    retention.mode = first_text(response.body, "Mode") == "GOVERNANCE" ? S3LockMode::Governance : S3LockMode::Compliance;
    const auto until = s3::parse_iso8601(first_text(response.body, "RetainUntilDate"));
    if (!until) return std::nullopt;
    retention.until = *until;
    return retention;
}

}  // namespace zvfd
