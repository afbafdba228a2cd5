// Text for the driver's replies and from its command lines: JSON values written in pure ASCII,
// and the arguments of one command line with the escapes a <text> argument may carry.
#include "driver.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace driver {

// ---------------------------------------------------------------------------------------------
// Text

std::wstring widen(const std::string& utf8)
{
    if (utf8.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], length);
    return out;
}

std::string narrow(const std::wstring& text)  // for error messages: non-ASCII becomes '?'
{
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

std::string quote(const std::wstring& text)
{
    std::string out = "\"";
    char escape[8];
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += "\\\""; break;
        case L'\\': out += "\\\\"; break;
        case L'\n': out += "\\n"; break;
        case L'\r': out += "\\r"; break;
        case L'\t': out += "\\t"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c) & 0xFFFFu);
                out += escape;
            }
        }
    }
    return out + "\"";
}

std::string quote(const char* ascii) { return quote(widen(ascii)); }

static std::string hexString(uint64_t value, int digits = 1)
{
    char text[32];
    snprintf(text, sizeof text, "\"0x%0*llx\"", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string handleString(HWND window) { return hexString(reinterpret_cast<uintptr_t>(window)); }
std::string styleString(LONG_PTR style) { return hexString(static_cast<uint32_t>(style), 8); }
std::string number(long long value) { return std::to_string(value); }
std::string boolean(bool value) { return value ? "true" : "false"; }

std::string object(const Fields& fields)
{
    std::string out = "{";
    for (const auto& field : fields) {
        if (out.size() > 1) out += ",";
        out += quote(field.first) + ":" + field.second;
    }
    return out + "}";
}

std::string array(const std::vector<std::string>& items)
{
    std::string out = "[";
    for (const auto& item : items) {
        if (out.size() > 1) out += ",";
        out += item;
    }
    return out + "]";
}

std::string rectArray(const RECT& r)
{
    return array({number(r.left), number(r.top), number(r.right), number(r.bottom)});
}

// ---------------------------------------------------------------------------------------------
// Arguments of one command line

// The escapes a <text> argument may carry (see the protocol in driver.cpp).
static std::wstring unescape(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        wchar_t next = text[++i];
        switch (next) {
        case L'n': out += L'\n'; break;
        case L'r': out += L'\r'; break;
        case L't': out += L'\t'; break;
        case L's': out += L' '; break;
        case L'u':
            if (i + 4 >= text.size()) fail("bad \\u escape");
            out += static_cast<wchar_t>(wcstoul(text.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
            break;
        default: out += next; break;  // \\ and anything else stands for itself
        }
    }
    return out;
}

bool Args::more() const { return line_.find_first_not_of(' ', at_) != std::string::npos; }

std::string Args::word(const char* what)
{
    size_t start = line_.find_first_not_of(' ', at_);
    if (start == std::string::npos) fail(std::string("missing ") + what);
    size_t end = line_.find(' ', start);
    if (end == std::string::npos) end = line_.size();
    at_ = end < line_.size() ? end + 1 : end;  // one separating space is consumed
    return line_.substr(start, end - start);
}

long long Args::integer(const char* what)
{
    std::string text = word(what);
    char* end = nullptr;
    long long value = strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != 0) fail(std::string("bad ") + what + ": " + text);
    return value;
}

std::wstring Args::text()
{
    std::wstring rest = widen(line_.substr(at_));
    at_ = line_.size();
    return unescape(rest);
}

void Args::end() const
{
    if (more()) fail("unexpected argument: " + line_.substr(line_.find_first_not_of(' ', at_)));
}

}  // namespace driver
