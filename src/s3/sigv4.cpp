#include "s3/sigv4.h"

#include "common/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

static const char algorithm[] = "AWS4-HMAC-SHA256";

void ks_s3_sigv4_date(time_t t, char date[KS_S3_SIGV4_DATE_SIZE])
{
    struct tm tm;

    gmtime_r(&t, &tm);
    strftime(date, KS_S3_SIGV4_DATE_SIZE, "%Y%m%dT%H%M%SZ", &tm);
}

static bool unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

size_t ks_s3_sigv4_encode(const char *in, size_t length, bool keep_slash, char *out, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    size_t n = 0;

    auto put = [&](char c) {
        if (n + 1 < size)
            out[n] = c;
        n++;
    };
    for (size_t i = 0; i < length; i++) {
        auto c = static_cast<unsigned char>(in[i]);
        if (unreserved(c) || (keep_slash && c == '/')) {
            put(static_cast<char>(c));
        } else {
            put('%');
            put(digits[c >> 4]);
            put(digits[c & 15]);
        }
    }
    if (size > 0)
        out[n < size ? n : size - 1] = '\0';
    return n;
}

static std::string encoded(const std::string &text)
{
    std::string out(3 * text.size() + 1, '\0');
    size_t n = ks_s3_sigv4_encode(text.data(), text.size(), false, out.data(), out.size());
    out.resize(n);
    return out;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A query parameter as sent may be encoded in any way; it is decoded, then
// encoded the one way that is signed.
static std::string decoded(const char *p, size_t length)
{
    std::string out;

    for (size_t i = 0; i < length; i++) {
        if (p[i] == '%' && i + 2 < length && hex_value(p[i + 1]) >= 0 && hex_value(p[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(p[i + 1]) << 4 | hex_value(p[i + 2]));
            i += 2;
        } else {
            out += p[i];
        }
    }
    return out;
}

static std::string canonical_query(const char *query)
{
    std::vector<std::pair<std::string, std::string>> parameters;

    for (const char *p = query; p != nullptr && *p != '\0';) {
        const char *end = strchr(p, '&');
        size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
        if (length > 0) {
            const auto *equal = static_cast<const char *>(memchr(p, '=', length));
            size_t key_length = equal != nullptr ? static_cast<size_t>(equal - p) : length;
            std::string value = equal != nullptr ? decoded(equal + 1, length - key_length - 1) : "";
            parameters.emplace_back(encoded(decoded(p, key_length)), encoded(value));
        }
        p = end != nullptr ? end + 1 : nullptr;
    }
    std::sort(parameters.begin(), parameters.end());
    std::string out;
    for (const auto &[key, value] : parameters) {
        if (!out.empty())
            out += '&';
        out += key;
        out += '=';
        out += value;
    }
    return out;
}

// Leading and trailing blanks go, inner runs of blanks become one space.
static std::string trimmed(const char *value)
{
    std::string out;
    bool blank = false;

    for (const char *p = value; *p != '\0'; p++) {
        if (*p == ' ' || *p == '\t') {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out += ' ';
        blank = false;
        out += *p;
    }
    return out;
}

struct canonical_headers {
    std::string text;   // "name:value\n" lines
    std::string signed_names; // "a;b;c"
};

static canonical_headers headers_of(const struct ks_s3_sigv4_request *r)
{
    std::vector<std::pair<std::string, std::string>> headers;

    for (size_t i = 0; i < r->n_headers; i++) {
        std::string name = trimmed(r->headers[i].name);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        std::string value = trimmed(r->headers[i].value);
        // A header given twice is signed once, its values joined in order.
        auto same = std::find_if(headers.begin(), headers.end(), [&](const auto &h) { return h.first == name; });
        if (same != headers.end())
            same->second += "," + value;
        else
            headers.emplace_back(std::move(name), std::move(value));
    }
    std::stable_sort(headers.begin(), headers.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    canonical_headers out;
    for (const auto &[name, value] : headers) {
        out.text += name + ":" + value + "\n";
        if (!out.signed_names.empty())
            out.signed_names += ';';
        out.signed_names += name;
    }
    return out;
}

static std::string canonical_request(const struct ks_s3_sigv4_request *r, std::string *signed_names)
{
    canonical_headers headers = headers_of(r);
    std::string out = r->method;

    out += '\n';
    out += r->path;
    out += '\n';
    out += canonical_query(r->query);
    out += '\n';
    out += headers.text;
    out += '\n';
    out += headers.signed_names;
    out += '\n';
    out += r->payload_hash;
    if (signed_names != nullptr)
        *signed_names = std::move(headers.signed_names);
    return out;
}

static std::string hex_digest(const std::string &text)
{
    unsigned char digest[KS_SHA256_SIZE];
    char hex[KS_SHA256_HEX_SIZE];

    ks_sha256(text.data(), text.size(), digest);
    ks_sha256_hex(digest, sizeof digest, hex);
    return hex;
}

static std::string scope_of(const struct ks_s3_sigv4_scope *scope, const char *date)
{
    return std::string(date, 8) + "/" + scope->region + "/" + scope->service + "/aws4_request";
}

static std::string string_to_sign(const struct ks_s3_sigv4_scope *scope, const char *date,
                                  const std::string &request)
{
    return std::string(algorithm) + "\n" + date + "\n" + scope_of(scope, date) + "\n" + hex_digest(request);
}

static char *copy(const std::string &text)
{
    auto *out = static_cast<char *>(malloc(text.size() + 1));
    if (out != nullptr)
        memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

char *ks_s3_sigv4_canonical_request(const struct ks_s3_sigv4_request *r)
{
    try {
        return copy(canonical_request(r, nullptr));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

char *ks_s3_sigv4_string_to_sign(const struct ks_s3_sigv4_scope *scope, const char *date,
                                 const char *canonical_request)
{
    try {
        return copy(string_to_sign(scope, date, canonical_request));
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

static void hmac(const unsigned char *key, size_t key_length, const std::string &data,
                 unsigned char out[KS_SHA256_SIZE])
{
    ks_sha256_hmac(key, key_length, data.data(), data.size(), out);
}

bool ks_s3_sigv4_authorization(const struct ks_s3_sigv4_scope *scope, const char *date,
                               const struct ks_s3_sigv4_request *r, char *out, size_t size)
{
    try {
        std::string signed_names;
        std::string text = string_to_sign(scope, date, canonical_request(r, &signed_names));
        std::string secret = std::string("AWS4") + scope->secret_key;
        unsigned char day[KS_SHA256_SIZE], region[KS_SHA256_SIZE], service[KS_SHA256_SIZE];
        unsigned char key[KS_SHA256_SIZE], signature[KS_SHA256_SIZE];
        char hex[KS_SHA256_HEX_SIZE];

        hmac(reinterpret_cast<const unsigned char *>(secret.data()), secret.size(), std::string(date, 8), day);
        hmac(day, sizeof day, scope->region, region);
        hmac(region, sizeof region, scope->service, service);
        hmac(service, sizeof service, "aws4_request", key);
        hmac(key, sizeof key, text, signature);
        ks_sha256_hex(signature, sizeof signature, hex);
        int n = snprintf(out, size, "%s Credential=%s/%s, SignedHeaders=%s, Signature=%s", algorithm,
                         scope->access_key, scope_of(scope, date).c_str(), signed_names.c_str(), hex);
        return n >= 0 && static_cast<size_t>(n) < size;
    } catch (const std::bad_alloc &) {
        return false;
    }
}
