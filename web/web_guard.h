// The checks a request passes before any site sees it, and the values the
// server is started with, as pure functions (fuzzed in fuzz/).
#pragma once

#include <string>
#include <vector>

// "[ADDR:]PORT" as --serve and [serve] listen take it: ADDR defaults to
// 127.0.0.1; an IPv6 address goes in brackets ("[::1]:8080"). PORT 0 asks
// for any free port; "localhost" is 127.0.0.1. False, with `error` in
// words, for anything else (a host name among it).
bool parse_listen(const std::string& text, std::string& address, unsigned& port, std::string& error);

// An IPv4 address in dotted form, or what may be an IPv6 one (the server's
// own parsing has the last word).
bool is_ip_address(const std::string& text);

// A loopback address: 127.0.0.0/8 or ::1. Only these may be served without a token.
bool is_loopback(const std::string& address);

// Whether a Host header names one of `names` (compared without regard to
// case), with no port or with `port`. "[::1]:8080" is the IPv6 form.
bool host_allowed(const std::string& host, const std::vector<std::string>& names, unsigned port);

// "Bearer TOKEN" against the token, in time that does not depend on where
// they differ. An empty token matches nothing.
bool token_matches(const std::string& authorization, const std::string& token);

// "http://127.0.0.1:8080/", "http://[::1]:8080/".
std::string served_url(const std::string& address, unsigned port);
