#include "web/web_guard.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool all_digits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Splits "name", "name:port", "[v6]" or "[v6]:port". False for a malformed one.
bool split_host(const std::string& text, std::string& name, std::string& port) {
    port.clear();
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        name = text.substr(1, close - 1);
        if (close + 1 == text.size()) return true;
        if (text[close + 1] != ':') return false;
        port = text.substr(close + 2);
        return all_digits(port);
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        name = text;
        return true;
    }
    if (text.find(':') != colon) return false;  // a bare IPv6 address needs its brackets
    name = text.substr(0, colon);
    port = text.substr(colon + 1);
    return all_digits(port);
}

}  // namespace

bool parse_listen(const std::string& text, std::string& address, unsigned& port, std::string& error) {
    std::string name;
    std::string digits;
    const bool bare_port = all_digits(text);
    if (bare_port) {
        name = "127.0.0.1";
        digits = text;
    } else if (!split_host(text, name, digits) || digits.empty() || name.empty()) {
        error = "takes [ADDRESS:]PORT, such as 8080 or 127.0.0.1:8080, not \"" + text + "\"";
        return false;
    }
    const unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    if (value > 65535) {
        error = "takes a port from 0 to 65535, not " + digits;
        return false;
    }
    // "localhost" is this PC's loopback; any other name is refused: the server
    // listens on an address, which a name could change under it.
    address = name == "localhost" ? "127.0.0.1" : name;
    if (!is_ip_address(address)) {
        error = "takes an IP address, such as 127.0.0.1 or 0.0.0.0, not \"" + name + "\"";
        return false;
    }
    port = static_cast<unsigned>(value);
    return true;
}

bool is_ip_address(const std::string& text) {
    if (text.find(':') != std::string::npos) {  // IPv6: hex digits, colons, and perhaps a dotted IPv4 tail
        return text.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos && text.size() <= 45;
    }
    unsigned parts = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = text.find('.', start);
        const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::strtoul(part.c_str(), nullptr, 10) > 255) {
            return false;
        }
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

bool is_loopback(const std::string& address) {
    return address == "::1" || address.rfind("127.", 0) == 0 || lower(address) == "localhost";
}

bool host_allowed(const std::string& host, const std::vector<std::string>& names, unsigned port) {
    std::string name;
    std::string given_port;
    if (host.empty() || !split_host(host, name, given_port)) return false;
    if (!given_port.empty() && std::strtoul(given_port.c_str(), nullptr, 10) != port) return false;
    const std::string wanted = lower(name);
    for (const std::string& allowed : names) {
        if (!allowed.empty() && lower(allowed) == wanted) return true;
    }
    return false;
}

bool token_matches(const std::string& authorization, const std::string& token) {
    static const std::string scheme = "Bearer ";
    if (token.empty()) return false;
    const std::string given = authorization.size() >= scheme.size() && authorization.compare(0, scheme.size(), scheme) == 0
                                  ? authorization.substr(scheme.size())
                                  : std::string();
    // Every byte of the token is looked at, whatever was given.
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        differ |= static_cast<unsigned char>(g ^ static_cast<unsigned char>(token[i]));
    }
    return differ == 0;
}

std::string served_url(const std::string& address, unsigned port) {
    const bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}
